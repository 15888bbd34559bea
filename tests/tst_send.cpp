#include "ptydevice.h"
#include "sendcommand.h"
#include "sendsupport.h"
#include "stopsignals.h"
#include "withoutdisplay.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void row(const char *name, const QStringList &hosts, const QStringList &arguments,
         const QByteArray &input, const QByteArray &bytes, int status, const QStringList &said)
{
    QTest::newRow(name) << hosts << arguments << input << bytes << status << said;
}

} // namespace

// rq204-send against the virtual RQ204: the stream it delivers, its exit statuses and its
// words. Host port lists are always the test's own.
class TestSend : public QObject
{
    Q_OBJECT

private slots:
    void upload_data();
    void upload();
    void listPorts();
    void exclusiveHolderIsNamed();
    void consoleEvents_data();
    void consoleEvents();
    void interruptStopsTheBytes_data();
    void interruptStopsTheBytes();
    void helpWithoutDisplay_data();
    void helpWithoutDisplay();

private:
    QTemporaryDir m_scratch;
};

void TestSend::upload_data()
{
    // "%dev" stands for the virtual RQ204's pty; with "%file" among the arguments the input is
    // in that file, else on standard input.
    QTest::addColumn<QStringList>("hosts");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("bytes"); // what the device receives
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("said"); // parts of what it prints; none: stderr stays empty

    const QStringList dev{"%dev"};
    const QString tooLong = QString(123, u'x') + QStringLiteral("\nz");
    row("plain message, port by device path", dev, {"--port", "%dev", "Hi"}, {}, "Hi\r", 0, {});
    row("pause code, port by number", dev, {"-p", "1", "Open 9-17$ Mon-Sat"}, {},
        "Open 9-17\x0B Mon-Sat\r", 0, {});
    row("no --port: the first port that opens", {"", "%dev"}, {"Hi"}, {}, "Hi\r", 0, {});
    row("no --port: port 2 untouched once port 1 opens", {"%dev", "%other"}, {"Hi"}, {}, "Hi\r", 0,
        {});
    row("file with LF and CR LF lines, its last line break dropped", dev,
        {"--port", "%dev", "--file", "%file"}, "A\nB\r\nC\n", "A\r\nB\r\nC\r", 0, {});
    row("file ending in CR LF: the whole line break dropped", dev,
        {"--port", "%dev", "--file", "%file"}, "Hi\r\n", "Hi\r", 0, {});
    row("standard input through -", dev, {"--port", "%dev", "-"}, "Hi", "Hi\r", 0, {});
    row("standard input, the line break from echo dropped", dev, {"--port", "%dev"}, "Hi\n", "Hi\r",
        0, {});
    row("character the RQ204 lacks goes out as ? with a warning, once", dev,
        {"--port", "%dev", QStringLiteral("a\u2192b\u2192c")}, {}, "a?b?c\r", 0,
        {QStringLiteral("warning: \"\u2192\" (U+2192)"), "goes out as \"?\""});
    row("too long, a line break counting two: refused, nothing sent", dev,
        {"--port", "%dev", tooLong}, {}, {}, 2, {"126 characters long, 2 too many"});
    row("--truncate keeps what fits, never half a line break", dev,
        {"--dry-run", "--truncate", tooLong}, {}, {}, 0,
        {"sending the first 123 characters", "78 78 78 78 78 78 78 78 78 78 78 0D     ",
         "124 bytes; the upload takes 12.4 s\n"});
    row("--dry-run prints the bytes and opens nothing", dev,
        {"--port", "%dev", "--dry-run", QStringLiteral("\u00e9$\u20ac")}, {}, {}, 0,
        {"E9 0B 80 0D", QStringLiteral("  \u00e9[pause]\u20ac[end]\n"),
         "4 bytes; the upload takes 0.4 s\n"});
    row("missing port: the window's words", dev, {"--port", "3", "Hi"}, {}, {}, 1,
        {"rq204-send: The message was not sent: port 3 could not be opened: no such port.\n"});
    row("--port that names no port", dev, {"-p", "abc", "Hi"}, {}, {}, 2,
        {"rq204-send: --port \"abc\" is neither a port number, a device path nor a network "
         "port\n"});
    row("--port with a number and more", dev, {"--port", "1.5x", "Hi"}, {}, {}, 2,
        {"rq204-send: --port \"1.5x\" is neither a port number, a device path nor a network "
         "port\n"});
    row("--port empty", dev, {"--port", "", "Hi"}, {}, {}, 2,
        {"rq204-send: --port needs a port number or a device path\n"});
    row("--file empty", dev, {"--port", "%dev", "--file", ""}, {}, {}, 2,
        {"rq204-send: --file needs a file name\n"});
    // A wrong file or a stray escape would land in the display's memory unseen.
    row("NUL bytes, even with --truncate", dev,
        {"--port", "%dev", "--file", "/dev/zero", "--truncate"}, {}, {}, 2,
        {"rq204-send: the message holds a control character, NUL (U+0000), at character 1; only "
         "text and line breaks can be sent\n"});
    row("escape in the message", dev, {"--port", "%dev", "ab\x1b[2J"}, {}, {}, 2,
        {"rq204-send: the message holds a control character, ESC (U+001B), at character 3; only "
         "text and line breaks can be sent\n"});
    // So is every other control character but a line break, C0, DEL and C1, to the last of each.
    row("C0: unit separator, from a file", dev, {"--port", "%dev", "--file", "%file"}, "a\x1f", {},
        2, {"a control character, US (U+001F), at character 2; only text"});
    row("DEL", dev, {"--port", "%dev", "a\x7f"}, {}, {}, 2,
        {"a control character, DEL (U+007F), at character 2; only text"});
    row("C1: U+0080, from a file", dev, {"--port", "%dev", "--file", "%file"}, "ab\xc2\x80", {}, 2,
        {"a control character, U+0080, at character 3; only text"});
    row("C1: U+009F", dev, {"--port", "%dev", QStringLiteral("\u009f")}, {}, {}, 2,
        {"a control character, U+009F, at character 1; only text"});
    row("no-break space, the first after C1, is text", dev,
        {"--port", "%dev", QStringLiteral("a\u00a0")}, {}, "a\xa0\r", 0, {});
    row("64 KiB of input read whole", dev, {"--port", "%dev"}, QByteArray(65536, 'x'), {}, 2,
        {"the message is 65536 characters long, 65412 too many"});
    row("a byte more refused unread", dev, {"--port", "%dev"}, QByteArray(65537, 'x'), {}, 2,
        {"rq204-send: the message is longer than 65536 bytes; the RQ204 holds 124 characters\n"});
    row("no port found", {"", ""}, {"Hi"}, {}, {}, 1,
        {"rq204-send: The message was not sent: no serial port was found; name one with "
         "--port.\n"});
    row("only a port 3", {"", "", "%dev"}, {"Hi"}, {}, {}, 1,
        {"rq204-send: The message was not sent: this computer has no port 1 or 2; name its port "
         "with --port (--list-ports lists them).\n"});
    // A script whose message command failed must not blank the display, nor garble it.
    row("empty standard input: refused", dev, {"--port", "%dev"}, "\n", {}, 2,
        {"standard input holds no message"});
    row("input that is not UTF-8: refused", dev, {"--port", "%dev"}, "caf\xE9", {}, 2,
        {"standard input is not UTF-8 text"});
}

void TestSend::upload()
{
    QFETCH(QStringList, hosts);
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, bytes);
    QFETCH(int, status);
    QFETCH(QStringList, said);

    QProcess device;
    const QString path = startDevice(device, m_scratch.filePath(QStringLiteral("port")));
    QVERIFY2(!path.isEmpty(), device.readAllStandardError().constData());
    PtyDevice other; // a second device, which no row may open
    const QString filePath = m_scratch.filePath(QStringLiteral("message"));
    QFile file(filePath);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(input) == input.size());
    file.close();
    hosts.replaceInStrings(QStringLiteral("%dev"), path);
    hosts.replaceInStrings(QStringLiteral("%other"), other.path());
    arguments.replaceInStrings(QStringLiteral("%dev"), path);
    arguments.replaceInStrings(QStringLiteral("%file"), filePath);

    FILE *in = std::fopen(QFile::encodeName(filePath).constData(), "rb");
    FILE *out = std::tmpfile();
    FILE *err = std::tmpfile();
    const auto close = qScopeGuard([&] {
        for (FILE *stream : {in, out, err})
            if (stream)
                std::fclose(stream);
    });
    QVERIFY(in && out && err);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(runSend(QStringList{"rq204-send"} + arguments, portsAt(hosts), in, out, err), status);
    // The port stays open for the last byte's interval too: a close at once could cut the byte
    // off in the adapter.
    if (!bytes.isEmpty())
        QVERIFY2(clock.elapsed() >= (bytes.size() + 1) * 100 - 5,
                 qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(other.opens(), 0);
    const QString errors = writtenTo(err);
    if (said.isEmpty())
        QCOMPARE(errors, QString());
    const QStringList lines = errors.split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(QSet<QString>(lines.begin(), lines.end()).size(), lines.size()); // nothing twice
    const QString printed = writtenTo(out) + errors;
    for (const QString &part : said)
        QVERIFY2(printed.contains(part), qPrintable(printed));

    // Where nothing may arrive, a byte sent by mistake has had its time to get there.
    if (bytes.isEmpty()) {
        QTest::qWait(50);
        device.terminate();
    }
    QVERIFY(device.waitForFinished(10000));
    const QByteArray report = device.readAllStandardOutput();
    const QJsonObject summary = summaryOf(report);
    QVERIFY2(!summary.isEmpty(), report.constData());
    QCOMPARE(summary.value("bytes").toString(), QString::fromLatin1(bytes.toHex(' ').toUpper()));
    if (bytes.isEmpty())
        return;
    QCOMPARE(summary.value("complete").toBool(), true);
    QCOMPARE(summary.value("settings_ok").toBool(), true);
    // The device stamps a byte when it wakes up to read it; a late wake-up shortens the next
    // gap by as much. Single gaps get room for that, the median none.
    QVERIFY2(summary.value("gap_min_ms").toDouble() >= 50, report.constData());
    if (summary.value("gaps_ms").toArray().size() >= 5)
        QVERIFY2(summary.value("gap_median_ms").toDouble() >= 99, report.constData());
}

void TestSend::listPorts()
{
    if (QStandardPaths::findExecutable(QStringLiteral("flock")).isEmpty())
        QSKIP("the flock program (util-linux) is not installed");
    PtyDevice free;
    PtyDevice held;
    QProcess holder; // holds the port as picocom does; ends with cat at the end of its input
    const auto endHolder = qScopeGuard([&] {
        holder.closeWriteChannel();
        holder.waitForFinished();
    });
    holder.start(QStringLiteral("flock"), {QStringLiteral("--close"), held.path(), "cat"});
    QVERIFY(holder.waitForStarted());
    holder.write("started\n");
    QTRY_VERIFY(holder.canReadLine());

    FILE *out = std::tmpfile();
    QVERIFY(out);
    const auto close = qScopeGuard([out] { std::fclose(out); });
    const int opens = free.opens() + held.opens();
    QCOMPARE(runSend({"rq204-send", "--list-ports"},
                     portsAt({free.path(), "", held.path(), "/dev/rq204-gone"}), stdin, out),
             0);
    QStringList printed = writtenTo(out).split(u'\n', Qt::SkipEmptyParts);
    for (QString &line : printed)
        line = line.simplified();
    const QString inUse = QStringLiteral("cannot be opened: it is in use by another program (PID "
                                         "%1, flock)")
                              .arg(holder.processId());
    QCOMPARE(printed,
             QStringList({QStringLiteral("1 %1 pseudo-terminal can be opened").arg(free.path()),
                          QStringLiteral("3 %1 pseudo-terminal %2").arg(held.path(), inUse),
                          "4 /dev/rq204-gone pseudo-terminal cannot be opened: no such device"}));
    QCOMPARE(free.opens() + held.opens(), opens); // looked at, never opened
}

void TestSend::exclusiveHolderIsNamed()
{
    // The virtual RQ204 keeps the pty's other end and its own copy of this end open; the
    // uploader that marked the port for itself alone is the one named.
    QProcess device;
    const QString path = startDevice(device, m_scratch.filePath(QStringLiteral("port")));
    QVERIFY2(!path.isEmpty(), device.readAllStandardError().constData());
    const pid_t holder = ::fork();
    if (holder == 0) {
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY);
        if (fd >= 0 && ::ioctl(fd, TIOCEXCL) == 0)
            for (;;)
                ::pause();
        ::_exit(1);
    }
    QVERIFY(holder > 0);
    const auto stop = qScopeGuard([&] {
        ::kill(holder, SIGKILL);
        ::waitpid(holder, nullptr, 0);
        device.terminate();
        device.waitForFinished();
    });
    QTest::qWait(200); // the holder has the port by now

    FILE *err = std::tmpfile();
    QVERIFY(err);
    const auto close = qScopeGuard([err] { std::fclose(err); });
    QCOMPARE(runSend({"rq204-send", "--port", path, "Hi"}, portsAt({}), stdin, stdout, err), 1);
    QCOMPARE(writtenTo(err),
             QStringLiteral("rq204-send: The message was not sent: %1 could not be opened: it is "
                            "in use by another program (PID %2, tst_send).\n")
                 .arg(path)
                 .arg(holder));
}

// What each of a Windows console's events does, as wine can deliver only Ctrl-C.
void TestSend::consoleEvents_data()
{
    QTest::addColumn<int>("event");
    QTest::addColumn<int>("signal");
    QTest::newRow("Ctrl-C") << 0 << SIGINT;
    QTest::newRow("Ctrl-Break") << 1 << SIGINT;
    QTest::newRow("console closed") << 2 << SIGTERM;
}

void TestSend::consoleEvents()
{
    QFETCH(int, event);
    QFETCH(int, signal);
    QCOMPARE(stopSignalOf(static_cast<unsigned long>(event)), signal);
}

void TestSend::interruptStopsTheBytes_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("inLoop"); // a shell loop runs it, and the whole job gets the signal

    // Every stop signal has the same handler (tst_program); one signal dies as itself.
    QTest::newRow("Ctrl-C at a shell loop around it") << SIGINT << true;
    QTest::newRow("SIGTERM") << SIGTERM << false;
}

void TestSend::interruptStopsTheBytes()
{
    QFETCH(int, signal);
    QFETCH(bool, inLoop);

    QProcess device;
    const QString path = startDevice(device, m_scratch.filePath(QStringLiteral("port")));
    QVERIFY2(!path.isEmpty(), device.readAllStandardError().constData());
    QProcess send;
    // A job of its own, as a terminal makes one; no core file from SIGQUIT.
    send.setChildProcessModifier([] {
        ::setpgid(0, 0);
        const rlimit noCore{0, 0};
        ::setrlimit(RLIMIT_CORE, &noCore);
    });
    const QStringList command{QStringLiteral(RQ204_SEND_PATH), "--port", path, "Hello there"};
    if (inLoop)
        send.start(QStringLiteral("sh"),
                   QStringList{"-c", "while :; do \"$@\"; done", "sh"} + command);
    else
        send.start(command.first(), command.mid(1));
    QVERIFY(send.waitForStarted());
    QByteArray shown;
    QTRY_VERIFY_WITH_TIMEOUT(
        (shown += device.readAllStandardOutput()).contains("RS232 -> RQ204\nHe"), 10000);
    ::kill(-pid_t(send.processId()), signal);
    // It stops in order, then dies of the signal, so that the loop around it ends too.
    QVERIFY(send.waitForFinished(5000));
    QCOMPARE(send.exitStatus(), QProcess::CrashExit);
    QCOMPARE(send.exitCode(), signal);

    // Bytes that went on would end in the final CR; the device reports a stalled upload instead.
    QVERIFY(device.waitForFinished(10000));
    const QJsonObject summary = summaryOf(shown + device.readAllStandardOutput());
    QCOMPARE(summary.value("reason").toString(), QStringLiteral("stalled"));
    const QByteArray received =
        QByteArray::fromHex(summary.value("bytes").toString().toLatin1().replace(' ', ""));
    QVERIFY2(received.size() >= 2 && QByteArray("Hello there").startsWith(received),
             received.constData());
    QCOMPARE(QString::fromUtf8(send.readAllStandardError()),
             QStringLiteral("rq204-send: The upload stopped after %1 of 12 characters: "
                            "interrupted.\n")
                 .arg(received.size()));
}

void TestSend::helpWithoutDisplay_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("pattern");

    QTest::newRow("--help") << "--help"
                            << "^Usage: .*rq204-send \\[options\\] \\[MESSAGE\\].*--port <PORT>.*"
                               "--file <PATH>.*--truncate.*--quiet.*--list-ports.*--dry-run";
    QTest::newRow("--version") << "--version"
                               << "^rq204-send \\d+\\.\\d+\\.\\d+\n$";
}

void TestSend::helpWithoutDisplay()
{
    QFETCH(QString, option);
    QFETCH(QString, pattern);

    // Over ssh on a board without a screen.
    verifyAnswersWithoutDisplay(QStringLiteral(RQ204_SEND_PATH), {option}, pattern);
}

QTEST_GUILESS_MAIN(TestSend)
#include "tst_send.moc"
