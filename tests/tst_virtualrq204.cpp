#include "sendsupport.h"
#include "withoutdisplay.h"

#include <QByteArrayList>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

// How the test configures its end of the pty, the way an uploader configures its serial port.
struct PortSetup
{
    speed_t speed = B2400;
    tcflag_t dataBits = CS8;
    tcflag_t cflag = 0;
    tcflag_t iflag = 0;
    tcflag_t oflag = 0;
};
Q_DECLARE_METATYPE(PortSetup)

namespace {

PortSetup port(speed_t speed = B2400, tcflag_t dataBits = CS8, tcflag_t cflag = 0,
               tcflag_t iflag = 0, tcflag_t oflag = 0)
{
    return PortSetup{speed, dataBits, cflag, iflag, oflag};
}

// The uploader's end of the pty, closed however the test leaves.
class OpenPort
{
public:
    explicit OpenPort(const QString &path) : m_path(path) { reopen(); }
    ~OpenPort() { close(); }
    OpenPort(const OpenPort &) = delete;
    OpenPort &operator=(const OpenPort &) = delete;

    int fd() const { return m_fd; }
    void reopen()
    {
        close();
        m_fd = ::open(QFile::encodeName(m_path).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    }

private:
    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    QString m_path;
    int m_fd = -1;
};

bool configurePort(int fd, const PortSetup &setup)
{
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0)
        return false;
    ::cfmakeraw(&tio);
    tio.c_cflag = (tio.c_cflag & ~CSIZE) | setup.dataBits | setup.cflag;
    tio.c_iflag |= setup.iflag;
    tio.c_oflag |= setup.oflag;
    return ::cfsetospeed(&tio, setup.speed) == 0 && ::cfsetispeed(&tio, setup.speed) == 0 &&
           ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

QByteArrayList linesStartingWith(const QByteArray &output, const QByteArray &prefix)
{
    QByteArrayList found;
    for (const QByteArray &line : output.split('\n')) {
        if (line.startsWith(prefix))
            found << line;
    }
    return found;
}

} // namespace

class TestVirtualRq204 : public QObject
{
    Q_OBJECT

private slots:
    void upload_data();
    void upload();
    void consecutiveUploads_data();
    void consecutiveUploads();
    void stopsCleanlyOnSignal_data();
    void stopsCleanlyOnSignal();
    void dropsTheMarkOfAKilledUploader();
    void rejectsBadArguments_data();
    void rejectsBadArguments();
    void answersHelpAndVersion_data();
    void answersHelpAndVersion();

private:
    // Starts the tool and waits until it has published its pty; sets *device to the slave path.
    void startTool(QProcess &tool, const QStringList &arguments, QString *device);
    bool writeByte(int fd, char byte);

    QTemporaryDir m_dir;
    QString m_pathFile = m_dir.filePath(QStringLiteral("pts-path"));
};

void TestVirtualRq204::startTool(QProcess &tool, const QStringList &arguments, QString *device)
{
    QVERIFY(m_dir.isValid());
    QFile::remove(m_pathFile);
    tool.start(QStringLiteral(RQ204_VIRTUAL_PATH),
               arguments + QStringList{QStringLiteral("--path-file"), m_pathFile});
    QVERIFY2(tool.waitForStarted(), qPrintable(tool.errorString()));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(m_pathFile) || tool.state() == QProcess::NotRunning,
                             5000);
    QVERIFY2(tool.state() == QProcess::Running, tool.readAllStandardError().constData());

    QFile file(m_pathFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    *device = QString::fromLocal8Bit(file.readAll().trimmed());
    // Whatever the tool prints, only ever write to a pseudo-terminal, never a real port.
    QVERIFY2(device->startsWith(QLatin1String("/dev/pts/")), qPrintable(*device));
}

bool TestVirtualRq204::writeByte(int fd, char byte)
{
    return ::write(fd, &byte, 1) == 1;
}

void TestVirtualRq204::upload_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<int>("gapMs");
    QTest::addColumn<int>("silenceMs");
    QTest::addColumn<int>("timeoutS");
    QTest::addColumn<PortSetup>("setup");
    QTest::addColumn<bool>("reopenBetweenBytes");
    QTest::addColumn<bool>("complete");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QStringList>("warnings");
    QTest::addColumn<QVariantMap>("fields");

    const QVariantMap settingsOk{{"baud", 2400},
                                 {"stop_bits", 1},
                                 {"flow", "none"},
                                 {"reason", QVariant()},
                                 {"settings_ok", true}};

    QTest::newRow("2400 8N1 with a pause code")
        << QByteArray("AB\x0B"
                      "C\r")
        << 10 << 150 << 10 << port() << false << true << "AB$C" << QStringList() << settingsOk;
    QTest::newRow("CR LF at device pace is a line break, not the end")
        << QByteArray("Hi\r\nyou\r") << 100 << 400 << 10 << port() << false << true << "Hi\nyou"
        << QStringList() << settingsOk;
    QTest::newRow("line break right before the final CR")
        << QByteArray("Hi\r\n\r") << 10 << 150 << 10 << port() << false << true << "Hi\n"
        << QStringList() << settingsOk;
    QTest::newRow("CR followed by a character does not end the upload")
        << QByteArray("A\rB\r") << 10 << 150 << 10 << port() << false << true << "A<0D>B"
        << QStringList() << settingsOk;
    QTest::newRow("LF without a CR is no line break")
        << QByteArray("A\nB\r") << 10 << 150 << 10 << port() << false << true << "A<0A>B"
        << QStringList() << settingsOk;
    QTest::newRow("Windows-1252 bytes")
        << QByteArray("\xE9\x80\x96\r") << 10 << 150 << 10 << port() << false << true
        << QStringLiteral("\u00E9\u20AC\u2013") << QStringList() << settingsOk;
    QTest::newRow("unassigned Windows-1252 byte and DEL shown as hex")
        << QByteArray("\x7F\x81\x9F\xA0\r") << 10 << 150 << 10 << port() << false << true
        << QStringLiteral("<7F><81>\u0178\u00A0") << QStringList() << settingsOk;
    QTest::newRow("port closed and reopened between bytes")
        << QByteArray("AB\r") << 10 << 150 << 10 << port() << true << true << "AB" << QStringList()
        << settingsOk;
    QTest::newRow("message longer than the display")
        << QByteArray(125, 'x') + '\r' << 0 << 150 << 10 << port() << false << true
        << QString(125, 'x') << QStringList{"125 characters"}
        << QVariantMap{{"chars", 125}, {"settings_ok", true}};

    QTest::newRow("9600 baud") << QByteArray("AB\r") << 10 << 150 << 10 << port(B9600) << false
                               << true << "AB" << QStringList{"9600 baud"}
                               << QVariantMap{{"baud", 9600}, {"settings_ok", false}};
    QTest::newRow("RTS/CTS flow control")
        << QByteArray("AB\r") << 10 << 150 << 10 << port(B2400, CS8, CRTSCTS) << false << true
        << "AB" << QStringList{"RTS/CTS"}
        << QVariantMap{{"flow", "rtscts"}, {"settings_ok", false}};
    QTest::newRow("XON/XOFF flow control")
        << QByteArray("AB\r") << 10 << 150 << 10 << port(B2400, CS8, 0, IXON | IXOFF) << false
        << true << "AB" << QStringList{"XON/XOFF"}
        << QVariantMap{{"flow", "xonxoff"}, {"settings_ok", false}};
    QTest::newRow("2 stop bits") << QByteArray("AB\r") << 10 << 150 << 10
                                 << port(B2400, CS8, CSTOPB) << false << true << "AB"
                                 << QStringList{"2 stop bits"}
                                 << QVariantMap{{"stop_bits", 2}, {"settings_ok", false}};
    // Linux ptys force 8 data bits without parity, so the tool cannot see 7E1; it must say it
    // does not know rather than report the forced 8N1 as what the uploader chose.
    QTest::newRow("7 data bits, even parity: unknown through a pty")
        << QByteArray("AB\r") << 10 << 150 << 10 << port(B2400, CS7, PARENB) << false << true
        << "AB" << QStringList()
        << QVariantMap{{"data_bits", QVariant()}, {"parity", QVariant()}, {"baud", 2400}};
    QTest::newRow("output processing on")
        << QByteArray("AB\r") << 10 << 150 << 10 << port(B2400, CS8, 0, 0, OPOST | ONLCR) << false
        << true << "AB" << QStringList{"OPOST"} << QVariantMap{{"settings_ok", false}};

    QTest::newRow("no final CR: stalled")
        << QByteArray("AB") << 10 << 150 << 10 << port() << false << false << "AB" << QStringList()
        << QVariantMap{{"reason", "stalled"}, {"settings_ok", true}};
    QTest::newRow("nothing sent: timeout")
        << QByteArray() << 10 << 150 << 1 << port() << false << false << "" << QStringList()
        << QVariantMap{{"reason", "timeout"}, {"settings_ok", QVariant()}, {"baud", QVariant()}};
}

void TestVirtualRq204::upload()
{
    QFETCH(QByteArray, sent);
    QFETCH(int, gapMs);
    QFETCH(int, silenceMs);
    QFETCH(int, timeoutS);
    QFETCH(PortSetup, setup);
    QFETCH(bool, reopenBetweenBytes);
    QFETCH(bool, complete);
    QFETCH(QString, message);
    QFETCH(QStringList, warnings);
    QFETCH(QVariantMap, fields);

    QProcess tool;
    QString device;
    startTool(tool,
              {"--once", "--silence-ms", QString::number(silenceMs), "--timeout-s",
               QString::number(timeoutS)},
              &device);
    if (QTest::currentTestFailed())
        return;

    OpenPort uploader(device);
    QVERIFY2(uploader.fd() >= 0, strerror(errno));
    QVERIFY(configurePort(uploader.fd(), setup));
    for (int i = 0; i < sent.size(); ++i) {
        if (i > 0 && gapMs > 0)
            QTest::qWait(gapMs);
        if (i > 0 && reopenBetweenBytes) {
            uploader.reopen();
            QVERIFY2(uploader.fd() >= 0, strerror(errno));
        }
        QVERIFY2(writeByte(uploader.fd(), sent.at(i)), strerror(errno));
    }

    QVERIFY(tool.waitForFinished(timeoutS * 1000 + 5000));
    const QByteArray output = tool.readAllStandardOutput();
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.exitCode(), complete ? 0 : 1);
    QVERIFY2(!QFile::exists(m_pathFile), "stale path file left behind");

    const QByteArrayList lines = output.split('\n');
    QVERIFY2(lines.size() > 2, output.constData());
    QCOMPARE(
        QString::fromUtf8(lines.at(0)),
        QStringLiteral("Virtual RQ204 on %1 \u2014 type this path into the port box").arg(device));
    QCOMPARE(lines.at(1), QByteArray("RS232 -> RQ204"));

    const QByteArrayList warningLines = linesStartingWith(output, "Warning:");
    if (warnings.isEmpty())
        QVERIFY2(warningLines.isEmpty(), output.constData());
    for (const QString &warning : warnings) {
        const bool named =
            std::any_of(warningLines.cbegin(), warningLines.cend(),
                        [&](const QByteArray &line) { return line.contains(warning.toUtf8()); });
        QVERIFY2(named, qPrintable(warning + QLatin1String(" not in:\n") + output));
    }

    // What the watcher sees as the bytes come, where it can be told from the message: the same.
    const bool ascii =
        std::all_of(message.cbegin(), message.cend(), [](QChar c) { return c < u'\x80'; });
    if (warnings.isEmpty() && !sent.isEmpty() && ascii) {
        const qsizetype start = output.indexOf("RS232 -> RQ204\n") + 15;
        const QString live =
            QString::fromUtf8(output.mid(start, output.indexOf("Upload", start) - start));
        QCOMPARE(live, QString(message).replace(u'$', QStringLiteral("[pause]")) +
                           (message.endsWith(u'\n') ? "" : "\n"));
    }

    const QJsonObject summary = summaryOf(output);
    QVERIFY2(!summary.isEmpty(), output.constData());
    QCOMPARE(summary.value("device").toString(), device);
    QCOMPARE(summary.value("complete").toBool(), complete);
    QCOMPARE(summary.value("bytes").toString(), QString::fromLatin1(sent.toHex(' ').toUpper()));
    QCOMPARE(summary.value("count").toInt(), int(sent.size()));
    QCOMPARE(summary.value("message").toString(), message);
    QCOMPARE(int(summary.value("gaps_ms").toArray().size()), std::max(0, int(sent.size()) - 1));
    for (auto it = fields.cbegin(); it != fields.cend(); ++it)
        QVERIFY2(summary.value(it.key()) == QJsonValue::fromVariant(it.value()),
                 qPrintable(it.key() + QLatin1String(" in ") + output));
}

void TestVirtualRq204::consecutiveUploads_data()
{
    QTest::addColumn<QByteArrayList>("uploads");
    QTest::addColumn<QByteArrayList>("headlines");
    QTest::addColumn<QByteArrayList>("messageLines");
    // The tool is stopped while the uploads arrive, so that the next bytes are there by the time
    // it sees that the last upload has ended.
    QTest::addColumn<bool>("heldUp");

    QTest::newRow("two complete uploads")
        << QByteArrayList{"AB\r", "C\r\nD\r"}
        << QByteArrayList{"Upload complete: 3 bytes", "Upload complete: 5 bytes"}
        << QByteArrayList{"| AB", "| C", "| D"} << false;
    QTest::newRow("stalled upload is not glued to the next one")
        << QByteArrayList{"AB", "CD\r"}
        << QByteArrayList{"Upload incomplete (stalled): 2 bytes", "Upload complete: 3 bytes"}
        << QByteArrayList{"| AB", "| CD"} << false;
    QTest::newRow("upload ended while the next one waits")
        << QByteArrayList{"AB\r", "CD\r"}
        << QByteArrayList{"Upload complete: 3 bytes", "Upload complete: 3 bytes"}
        << QByteArrayList{"| AB", "| CD"} << true;
}

void TestVirtualRq204::consecutiveUploads()
{
    QFETCH(QByteArrayList, uploads);
    QFETCH(QByteArrayList, headlines);
    QFETCH(QByteArrayList, messageLines);
    QFETCH(bool, heldUp);

    QProcess tool;
    QString device;
    startTool(tool, {"--silence-ms=150"}, &device);
    if (QTest::currentTestFailed())
        return;
    OpenPort uploader(device);
    QVERIFY2(uploader.fd() >= 0, strerror(errno));
    QVERIFY(configurePort(uploader.fd(), port()));

    QByteArray output;
    const auto reports = [&] {
        output += tool.readAllStandardOutput();
        return int(linesStartingWith(output, "Upload ").size());
    };
    for (int i = 0; i < uploads.size(); ++i) {
        if (heldUp && i == 1) {
            // Stopped once it shows the first upload, before the silence confirms its end.
            QTRY_VERIFY(
                (output += tool.readAllStandardOutput()).endsWith(uploads.at(0).chopped(1)));
            ::kill(tool.processId(), SIGSTOP);
            QTest::qWait(300); // twice the silence
        }
        for (const char byte : uploads.at(i)) {
            QVERIFY2(writeByte(uploader.fd(), byte), strerror(errno));
            QTest::qWait(10);
        }
        if (heldUp && i == 0)
            continue;
        if (heldUp)
            ::kill(tool.processId(), SIGCONT);
        QTRY_COMPARE_WITH_TIMEOUT(reports(), i + 1, 5000);
    }
    QTRY_COMPARE_WITH_TIMEOUT(
        linesStartingWith(output += tool.readAllStandardOutput(), "RS232 -> RQ204").size(),
        uploads.size() + 1, 5000);

    ::kill(tool.processId(), SIGTERM);
    QVERIFY(tool.waitForFinished(5000));
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.exitCode(), 0);
    output += tool.readAllStandardOutput();
    QCOMPARE(linesStartingWith(output, "Upload "), headlines);
    QCOMPARE(linesStartingWith(output, "| "), messageLines);
}

void TestVirtualRq204::dropsTheMarkOfAKilledUploader()
{
    QProcess tool;
    QString device;
    startTool(tool, {}, &device);
    if (QTest::currentTestFailed())
        return;
    const QByteArray path = QFile::encodeName(device);
    // An uploader that marks the port for itself alone, as QSerialPort and this program do.
    const pid_t uploader = ::fork();
    if (uploader == 0) {
        const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY);
        if (fd >= 0 && ::ioctl(fd, TIOCEXCL) == 0)
            for (;;)
                ::pause();
        ::_exit(1);
    }
    QVERIFY(uploader > 0);
    const auto marked = [&] {
        const int fd = ::open(path.constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return errno == EBUSY; // anyone but root meets the mark at the open
        int mark = 0;
        ::ioctl(fd, TIOCGEXCL, &mark);
        ::close(fd);
        return mark != 0;
    };
    QTRY_VERIFY(marked());
    QTest::qWait(200);
    QVERIFY(marked()); // kept while the uploader lives, however often others look

    ::kill(uploader, SIGKILL);
    QCOMPARE(::waitpid(uploader, nullptr, 0), uploader);
    QTRY_VERIFY(!marked());
    ::kill(tool.processId(), SIGTERM);
    QVERIFY(tool.waitForFinished(5000));
}

void TestVirtualRq204::stopsCleanlyOnSignal_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<QByteArray>("sent");

    // Every stop signal has the one handler.
    QTest::newRow("SIGINT mid-upload") << int(SIGINT) << QByteArray("A");
    QTest::newRow("SIGTERM while idle") << int(SIGTERM) << QByteArray();
}

void TestVirtualRq204::stopsCleanlyOnSignal()
{
    QFETCH(int, signal);
    QFETCH(QByteArray, sent);

    QProcess tool;
    QString device;
    startTool(tool, {"--once", "--silence-ms", "150", "--timeout-s", "30"}, &device);
    if (QTest::currentTestFailed())
        return;
    OpenPort uploader(device);
    QVERIFY2(uploader.fd() >= 0, strerror(errno));
    QVERIFY(configurePort(uploader.fd(), port()));
    for (const char byte : sent)
        QVERIFY2(writeByte(uploader.fd(), byte), strerror(errno));

    QByteArray output;
    QTRY_VERIFY_WITH_TIMEOUT(
        (output += tool.readAllStandardOutput()).endsWith("RS232 -> RQ204\n" + sent), 5000);
    ::kill(tool.processId(), signal);
    QVERIFY(tool.waitForFinished(5000));
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.exitCode(), 1);
    QVERIFY2(!QFile::exists(m_pathFile), "stale path file left behind");

    const QJsonObject summary = summaryOf(output + tool.readAllStandardOutput());
    QVERIFY2(!summary.isEmpty(), output.constData());
    QCOMPARE(summary.value("complete").toBool(true), false);
    QCOMPARE(summary.value("reason").toString(), QStringLiteral("signal"));
    QCOMPARE(summary.value("bytes").toString(), QString::fromLatin1(sent.toHex(' ').toUpper()));
}

void TestVirtualRq204::rejectsBadArguments_data()
{
    QTest::addColumn<QStringList>("arguments");

    QTest::newRow("unknown option") << QStringList{"--bogus"};
    QTest::newRow("silence without value") << QStringList{"--silence-ms"};
    QTest::newRow("silence not a number") << QStringList{"--silence-ms", "abc"};
    QTest::newRow("silence with trailing junk") << QStringList{"--silence-ms", "15x"};
    QTest::newRow("silence zero") << QStringList{"--silence-ms", "0"};
    QTest::newRow("silence negative") << QStringList{"--silence-ms", "-5"};
    QTest::newRow("silence overflowing") << QStringList{"--silence-ms", "99999999999999999999"};
    QTest::newRow("timeout without --once") << QStringList{"--timeout-s", "5"};
    QTest::newRow("timeout zero") << QStringList{"--once", "--timeout-s", "0"};
    QTest::newRow("path file without name") << QStringList{"--path-file"};
    QTest::newRow("path file with an empty name") << QStringList{"--path-file="};
    QTest::newRow("silence= with trailing junk") << QStringList{"--silence-ms=15x"};
    QTest::newRow("stray argument") << QStringList{"--once", "extra"};
}

void TestVirtualRq204::rejectsBadArguments()
{
    QFETCH(QStringList, arguments);

    QProcess tool;
    tool.start(QStringLiteral(RQ204_VIRTUAL_PATH), arguments);
    QVERIFY(tool.waitForFinished(5000));
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.exitCode(), 2);
    QVERIFY(!tool.readAllStandardError().isEmpty());
    QVERIFY(!tool.readAllStandardOutput().contains("Virtual RQ204 on"));
}

void TestVirtualRq204::answersHelpAndVersion_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("pattern");

    const QString help = QStringLiteral(
        "^Usage: .*rq204-virtual.*--silence-ms <N>.*--once.*--timeout-s <N>.*--path-file <FILE>");
    const QString version = QStringLiteral("^rq204-virtual \\d+\\.\\d+\\.\\d+\n$");
    QTest::newRow("--help") << QStringList{"--help"} << help;
    QTest::newRow("-h") << QStringList{"-h"} << help;
    QTest::newRow("--version") << QStringList{"--version"} << version;
    QTest::newRow("-v") << QStringList{"-v"} << version;
}

void TestVirtualRq204::answersHelpAndVersion()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, pattern);

    // Asked from a bare terminal or a build script: no display, no platform plugin.
    verifyAnswersWithoutDisplay(QStringLiteral(RQ204_VIRTUAL_PATH), arguments, pattern);
}

QTEST_GUILESS_MAIN(TestVirtualRq204)
#include "tst_virtualrq204.moc"
