#include "program.h"
#include "ptydevice.h"
#include "stopsignals.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <cerrno>
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
    void stopSignalsWhileHeld();
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
    QTest::newRow("version") << QStringList{"--version"} << 0 << "rq204-upload 1.0.0";
    QTest::newRow("unknown option")
        << QStringList{"--bogus"} << 2 << "rq204-upload: Unknown option 'bogus'.";
    QTest::newRow("stray argument")
        << QStringList{"hello"} << 2 << "rq204-upload: unexpected argument 'hello'";
    QTest::newRow("port that names no port") << QStringList{"--port", "1.5x"} << 2
                                             << "rq204-upload: --port \"1.5x\" is neither a port "
                                                "number, a device path nor a network port\n"
                                                "Try 'rq204-upload --help'.";
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
    QTest::addColumn<bool>("portGiven"); // --port names a device that is not a numbered port
    QTest::newRow("SIGTERM") << SIGTERM << false;
    QTest::newRow("SIGINT, with --port") << SIGINT << true;
}

void TestProgram::stopSignalClosesInOrder()
{
    QFETCH(int, signal);
    QFETCH(bool, portGiven);

    PtyDevice port1;
    PtyDevice given;
    PtyDevice &device = portGiven ? given : port1;
    const termios initial = device.lineSettings();
    QProcess program;
    startProgram(program, {port1.path()},
                 portGiven ? QStringList{"--port", given.path()} : QStringList{});
    QVERIFY(program.waitForStarted());
    // The port is open once its line runs at the device's speed.
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            const termios line = device.lineSettings();
            return cfgetospeed(&line) == B2400;
        }(),
        30000);
    const QString lockName = QStringLiteral("LCK..") + device.path().mid(5).replace(u'/', u'_');

    QVERIFY(::kill(pid_t(program.processId()), signal) == 0);
    QVERIFY(program.waitForFinished(30000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    // Closed as the user closes it: the line as it was found, and no lock left behind.
    const termios after = device.lineSettings();
    QCOMPARE(cfgetospeed(&after), cfgetospeed(&initial));
    for (const QString &folder : {QStringLiteral("/var/lock"), QStringLiteral("/run/lock"),
                                  QStringLiteral("/tmp"), QDir::tempPath()})
        QVERIFY2(!QFileInfo::exists(folder + u'/' + lockName), qPrintable(folder));
}

void TestProgram::stopSignalsWhileHeld()
{
    const int stops[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};
    struct sigaction before[std::size(stops)] = {};
    for (std::size_t i = 0; i < std::size(stops); ++i)
        QCOMPARE(::sigaction(stops[i], nullptr, &before[i]), 0);
    {
        StopSignals stopSignals;
        QSignalSpy received(&stopSignals, &StopSignals::received);
        QVERIFY(received.isValid());
        // Each of them is caught (stopSignalClosesInOrder shows for two what follows).
        for (const int stop : stops) {
            QCOMPARE(::raise(stop), 0);
            QTRY_COMPARE(received.size(), 1);
            QCOMPARE(received.takeFirst().first().toInt(), stop);
        }
        // Far more signals than the handler's pipe holds: the handler neither blocks on the
        // full pipe nor leaves its errno to the code it interrupted.
        for (int i = 0; i < 5000; ++i) {
            errno = EDOM;
            QCOMPARE(::raise(SIGQUIT), 0);
            QCOMPARE(errno, EDOM);
        }
        QTRY_VERIFY(!received.isEmpty());
        QCOMPARE(received.first().first().toInt(), SIGQUIT);
    }
    // Gone with the object: the next signal does what it did before.
    for (std::size_t i = 0; i < std::size(stops); ++i) {
        struct sigaction action = {};
        QCOMPARE(::sigaction(stops[i], nullptr, &action), 0);
        QVERIFY2(action.sa_handler == before[i].sa_handler, qPrintable(QString::number(stops[i])));
    }
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
