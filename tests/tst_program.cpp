#include "program.h"
#include "ptydevice.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTest>
#include <csignal>

// The program as a process: its command line, and its end when the desktop session or a
// terminal stops it. The program is this test's own binary run as the program, with
// pseudo-terminals as the host's ports.
class TestProgram : public QObject
{
    Q_OBJECT

private slots:
    void commandLine_data();
    void commandLine();
    void stopSignalClosesInOrder_data();
    void stopSignalClosesInOrder();
};

namespace {

const char HostPortsVariable[] = "RQ204_TEST_HOST_PORTS";

void startProgram(QProcess &program, const QStringList &hostPorts, const QStringList &arguments)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(HostPortsVariable), hostPorts.join(u','));
    program.setProcessEnvironment(environment);
    program.start(QCoreApplication::applicationFilePath(), arguments);
}

} // namespace

void TestProgram::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("output"); // a line the program prints, on stdout or stderr

    QTest::newRow("help") << QStringList{"--help"} << 0 << "  --port <PORT>";
    QTest::newRow("short help") << QStringList{"-h"} << 0 << "  --port <PORT>";
    QTest::newRow("version") << QStringList{"--version"} << 0 << "rq204-upload 1.0.0";
    QTest::newRow("unknown option")
        << QStringList{"--bogus"} << 2 << "rq204-upload: Unknown option 'bogus'.";
    QTest::newRow("stray argument")
        << QStringList{"hello"} << 2 << "rq204-upload: unexpected argument 'hello'";
    QTest::newRow("port without a value")
        << QStringList{"--port"} << 2 << "rq204-upload: Missing value after '--port'.";
}

void TestProgram::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, output);

    // Help and version answer on a machine without a display; usage errors need the display
    // Qt's options are read from, so they get the offscreen one.
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    if (status == 0)
        environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    environment.insert(QString::fromLatin1(HostPortsVariable), QString());
    program.setProcessEnvironment(environment);
    program.start(QCoreApplication::applicationFilePath(), arguments);
    QVERIFY(program.waitForFinished(30000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), status);
    const QString printed =
        QString::fromLocal8Bit(program.readAllStandardOutput() + program.readAllStandardError());
    QVERIFY2(printed.contains(output), qPrintable(printed));
}

void TestProgram::stopSignalClosesInOrder_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGHUP") << SIGHUP;
}

void TestProgram::stopSignalClosesInOrder()
{
    QFETCH(int, signal);

    PtyDevice port1;
    const termios initial = port1.lineSettings();
    QProcess program;
    startProgram(program, {port1.path()}, {});
    QVERIFY(program.waitForStarted());
    // Port 1 is open once its line runs at the device's speed.
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            const termios line = port1.lineSettings();
            return cfgetospeed(&line) == B2400;
        }(),
        30000);
    const QString lockName = QStringLiteral("LCK..") + port1.path().mid(5).replace(u'/', u'_');

    QVERIFY(::kill(pid_t(program.processId()), signal) == 0);
    QVERIFY(program.waitForFinished(30000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    // Closed as the user closes it: the line as it was found, and no lock left behind.
    const termios after = port1.lineSettings();
    QCOMPARE(cfgetospeed(&after), cfgetospeed(&initial));
    for (const QString &folder : {QStringLiteral("/var/lock"), QStringLiteral("/run/lock"),
                                  QStringLiteral("/tmp"), QDir::tempPath()})
        QVERIFY2(!QFileInfo::exists(folder + u'/' + lockName), qPrintable(folder));
}

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsSet(HostPortsVariable)) {
        const QString ports = qEnvironmentVariable(HostPortsVariable);
        return runProgram(argc, argv, portsAt(ports.split(u',', Qt::SkipEmptyParts)));
    }
    QCoreApplication app(argc, argv);
    TestProgram test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_program.moc"
