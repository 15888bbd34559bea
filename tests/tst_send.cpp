#include "ptydevice.h"
#include "sendcommand.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {

// Starts the virtual RQ204 for one upload and returns its pty, or an empty path.
QString startDevice(QProcess &device, const QString &pathFile)
{
    QFile::remove(pathFile);
    device.start(QStringLiteral(RQ204_VIRTUAL_PATH),
                 {"--once", "--silence-ms", "150", "--timeout-s", "30", "--path-file", pathFile});
    if (!device.waitForStarted())
        return {};
    for (int waited = 0; !QFile::exists(pathFile) && waited < 5000; waited += 20)
        QTest::qWait(20);
    QFile file(pathFile);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QString path = QString::fromLocal8Bit(file.readAll().trimmed());
    // Whatever the device prints, a test only ever sends to a pseudo-terminal.
    return path.startsWith(QLatin1String("/dev/pts/")) ? path : QString();
}

QJsonObject summaryOf(const QByteArray &output)
{
    const QByteArrayList lines = output.trimmed().split('\n');
    if (!lines.last().startsWith("SUMMARY "))
        return {};
    return QJsonDocument::fromJson(lines.last().mid(8)).object();
}

// A stream the command writes into, read back as text once closed.
class Capture
{
public:
    Capture() : m_stream(::open_memstream(&m_buffer, &m_size)) {}
    ~Capture()
    {
        close();
        std::free(m_buffer);
    }
    Capture(const Capture &) = delete;
    Capture &operator=(const Capture &) = delete;

    FILE *stream() const { return m_stream; }
    QString text()
    {
        close();
        return QString::fromUtf8(m_buffer, qsizetype(m_size));
    }

private:
    void close()
    {
        if (m_stream)
            std::fclose(m_stream);
        m_stream = nullptr;
    }

    char *m_buffer = nullptr;
    size_t m_size = 0;
    FILE *m_stream = nullptr;
};

bool containsAll(const QString &text, const QStringList &parts)
{
    return std::all_of(parts.cbegin(), parts.cend(),
                       [&](const QString &part) { return text.contains(part); });
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
    void listPorts_data();
    void listPorts();
    void interruptStopsTheBytes();
    void helpWithoutDisplay_data();
    void helpWithoutDisplay();

private:
    QTemporaryDir m_scratch;
};

void TestSend::upload_data()
{
    // "%dev" stands for the virtual RQ204's pty, "%file" for a file holding `file`.
    QTest::addColumn<QStringList>("hosts");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("bytes"); // what the device receives
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("errors"); // parts of standard error; none: it stays empty
    QTest::addColumn<QStringList>("output"); // parts of standard output

    const QStringList dev{"%dev"};
    const QString tooLong = QString(123, u'x') + QStringLiteral("\nz");

    QTest::newRow("plain message, port by device path")
        << dev << QStringList{"--port", "%dev", "Hi"} << QByteArray() << QByteArray()
        << QByteArray("Hi\r") << 0 << QStringList() << QStringList();
    QTest::newRow("pause code, port by number")
        << dev << QStringList{"-p", "1", "Open 9-17$ Mon-Sat"} << QByteArray() << QByteArray()
        << QByteArray("Open 9-17\x0B Mon-Sat\r") << 0 << QStringList() << QStringList();
    QTest::newRow("no --port: the first port that opens")
        << QStringList{"", "%dev"} << QStringList{"Hi"} << QByteArray() << QByteArray()
        << QByteArray("Hi\r") << 0 << QStringList() << QStringList();
    QTest::newRow("file with LF and CR LF lines, its last line break dropped")
        << dev << QStringList{"--port", "%dev", "--file", "%file"} << QByteArray()
        << QByteArray("A\nB\r\nC\n") << QByteArray("A\r\nB\r\nC\r") << 0 << QStringList()
        << QStringList();
    QTest::newRow("standard input through -")
        << dev << QStringList{"--port", "%dev", "-"} << QByteArray("Hi") << QByteArray()
        << QByteArray("Hi\r") << 0 << QStringList() << QStringList();
    QTest::newRow("standard input, the line break from echo dropped")
        << dev << QStringList{"--port", "%dev"} << QByteArray("Hi\n") << QByteArray()
        << QByteArray("Hi\r") << 0 << QStringList() << QStringList();
    QTest::newRow("character the RQ204 lacks goes out as ? with a warning")
        << dev << QStringList{"--port", "%dev", QStringLiteral("a\u2192b")} << QByteArray()
        << QByteArray() << QByteArray("a?b\r") << 0
        << QStringList{QStringLiteral("warning: \"\u2192\" (U+2192)"), "goes out as \"?\""}
        << QStringList();

    QTest::newRow("too long, a line break counting two: refused, nothing sent")
        << dev << QStringList{"--port", "%dev", tooLong} << QByteArray() << QByteArray()
        << QByteArray() << 2 << QStringList{"126 characters long, 2 too many"} << QStringList();
    QTest::newRow("--truncate keeps what fits, never half a line break")
        << dev << QStringList{"--dry-run", "--truncate", tooLong} << QByteArray() << QByteArray()
        << QByteArray() << 0 << QStringList{"sending the first 123 characters"}
        << QStringList{"78 78 78 78 78 78 78 78 78 78 78 0D     ",
                       "124 bytes; the upload takes 12.4 s\n"};
    QTest::newRow("--dry-run prints the bytes and opens nothing")
        << dev << QStringList{"--port", "%dev", "--dry-run", QStringLiteral("\u00e9$\u20ac")}
        << QByteArray() << QByteArray() << QByteArray() << 0 << QStringList()
        << QStringList{"E9 0B 80 0D", QStringLiteral("  \u00e9[pause]\u20ac[end]\n"),
                       "4 bytes; the upload takes 0.4 s\n"};
    QTest::newRow("missing port: the window's words")
        << dev << QStringList{"--port", "3", "Hi"} << QByteArray() << QByteArray() << QByteArray()
        << 1
        << QStringList{"rq204-send: The message was not sent: port 3 could not be opened: no "
                       "such port.\n"}
        << QStringList();
    QTest::newRow("no port found")
        << QStringList() << QStringList{"Hi"} << QByteArray() << QByteArray() << QByteArray() << 1
        << QStringList{"rq204-send: The message was not sent: no serial port was found; name one "
                       "with --port.\n"}
        << QStringList();
    // A script whose message command failed must not blank the display.
    QTest::newRow("empty standard input: refused")
        << dev << QStringList{"--port", "%dev"} << QByteArray("\n") << QByteArray() << QByteArray()
        << 2 << QStringList{"standard input holds no message"} << QStringList();
    QTest::newRow("input that is not UTF-8: refused")
        << dev << QStringList{"--port", "%dev"} << QByteArray("caf\xE9") << QByteArray()
        << QByteArray() << 2 << QStringList{"standard input is not UTF-8 text"} << QStringList();
    QTest::newRow("unknown option")
        << dev << QStringList{"--port", "%dev", "--bogus", "Hi"} << QByteArray() << QByteArray()
        << QByteArray() << 2 << QStringList{"bogus", "Try 'rq204-send --help'.\n"} << QStringList();
}

void TestSend::upload()
{
    QFETCH(QStringList, hosts);
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, bytes);
    QFETCH(int, status);
    QFETCH(QStringList, errors);
    QFETCH(QStringList, output);

    QProcess device;
    const QString path = startDevice(device, m_scratch.filePath(QStringLiteral("port")));
    QVERIFY2(!path.isEmpty(), device.readAllStandardError().constData());
    const QString filePath = m_scratch.filePath(QStringLiteral("message"));
    if (!file.isNull()) {
        QFile message(filePath);
        QVERIFY(message.open(QIODevice::WriteOnly));
        QCOMPARE(message.write(file), file.size());
    }
    hosts.replaceInStrings(QStringLiteral("%dev"), path);
    arguments.replaceInStrings(QStringLiteral("%dev"), path);
    arguments.replaceInStrings(QStringLiteral("%file"), filePath);

    FILE *in = std::tmpfile();
    QVERIFY(in);
    const auto closeInput = qScopeGuard([in] { std::fclose(in); });
    QCOMPARE(std::fwrite(input.constData(), 1, size_t(input.size()), in), size_t(input.size()));
    std::rewind(in);
    Capture out;
    Capture err;
    const int exitStatus = runSend(QStringList{"rq204-send"} + arguments, portsAt(hosts), in,
                                   out.stream(), err.stream());
    const QString errText = err.text();
    const QString outText = out.text();
    QCOMPARE(exitStatus, status);
    if (errors.isEmpty())
        QCOMPARE(errText, QString());
    QVERIFY2(containsAll(errText, errors), qPrintable(errText));
    QVERIFY2(containsAll(outText, output), qPrintable(outText));

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
    // Each gap is stamped when the device wakes up to read; a late wake-up shortens the next gap
    // by as much. Single gaps get room for that, the median none.
    QVERIFY2(summary.value("gap_min_ms").toDouble() >= 50, report.constData());
    if (summary.value("gaps_ms").toArray().size() >= 5)
        QVERIFY2(summary.value("gap_median_ms").toDouble() >= 99, report.constData());
}

void TestSend::listPorts_data()
{
    // "%free" and "%held" stand for two ptys, the second held by flock(1) as picocom holds a port.
    QTest::addColumn<QStringList>("hosts");
    QTest::addColumn<QStringList>("lines"); // each with its blanks simplified
    QTest::addColumn<QString>("errors");

    QTest::newRow("free, missing from the host, held, gone")
        << QStringList{"%free", "", "%held", "/dev/rq204-gone"}
        << QStringList{"1 %free pseudo-terminal can be opened",
                       "3 %held pseudo-terminal in use by PID %pid (flock)",
                       "4 /dev/rq204-gone pseudo-terminal cannot be opened: no such device"}
        << QString();
    QTest::newRow("no ports") << QStringList() << QStringList()
                              << "rq204-send: no serial port was found\n";
}

void TestSend::listPorts()
{
    QFETCH(QStringList, hosts);
    QFETCH(QStringList, lines);
    QFETCH(QString, errors);

    if (QStandardPaths::findExecutable(QStringLiteral("flock")).isEmpty())
        QSKIP("the flock program (util-linux) is not installed");
    PtyDevice free;
    PtyDevice held;
    QProcess holder;
    // cat ends at the end of its input, and flock with it.
    const auto endHolder = qScopeGuard([&] {
        holder.closeWriteChannel();
        holder.waitForFinished();
    });
    holder.start(QStringLiteral("flock"), {QStringLiteral("--close"), held.path(), "cat"});
    QVERIFY(holder.waitForStarted());
    holder.write("started\n");
    QTRY_VERIFY(holder.canReadLine());

    const auto fill = [&](QStringList texts) {
        texts.replaceInStrings(QStringLiteral("%free"), free.path());
        texts.replaceInStrings(QStringLiteral("%held"), held.path());
        return texts.replaceInStrings(QStringLiteral("%pid"), QString::number(holder.processId()));
    };
    Capture out;
    Capture err;
    QCOMPARE(runSend({"rq204-send", "--list-ports"}, portsAt(fill(hosts)), stdin, out.stream(),
                     err.stream()),
             0);
    QStringList printed = out.text().split(u'\n', Qt::SkipEmptyParts);
    for (QString &line : printed)
        line = line.simplified();
    QCOMPARE(printed, fill(lines));
    QCOMPARE(err.text(), errors);
}

void TestSend::interruptStopsTheBytes()
{
    QProcess device;
    const QString path = startDevice(device, m_scratch.filePath(QStringLiteral("port")));
    QVERIFY2(!path.isEmpty(), device.readAllStandardError().constData());
    QProcess send;
    send.start(QStringLiteral(RQ204_SEND_PATH), {"--port", path, "Hello there"});
    QVERIFY(send.waitForStarted());
    QByteArray shown;
    QTRY_VERIFY_WITH_TIMEOUT(
        (shown += device.readAllStandardOutput()).contains("RS232 -> RQ204\nHe"), 10000);
    ::kill(pid_t(send.processId()), SIGINT);
    QVERIFY(send.waitForFinished(5000));
    QCOMPARE(send.exitStatus(), QProcess::NormalExit);
    QCOMPARE(send.exitCode(), 130);
    QVERIFY(send.readAllStandardError().contains("rq204-send: The upload stopped after "));

    // Bytes that went on would end in the final CR; the device reports a stalled upload instead.
    QVERIFY(device.waitForFinished(10000));
    const QJsonObject summary = summaryOf(shown + device.readAllStandardOutput());
    QCOMPARE(summary.value("complete").toBool(true), false);
    const QByteArray received =
        QByteArray::fromHex(summary.value("bytes").toString().toLatin1().replace(' ', ""));
    QVERIFY2(received.size() >= 2 && QByteArray("Hello there").startsWith(received),
             received.constData());
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
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QLatin1String(name));
    QProcess send;
    send.setProcessEnvironment(environment);
    send.start(QStringLiteral(RQ204_SEND_PATH), {option});
    QVERIFY(send.waitForFinished(5000));
    QCOMPARE(send.exitStatus(), QProcess::NormalExit);
    QCOMPARE(send.exitCode(), 0);
    QCOMPARE(send.readAllStandardError(), QByteArray());
    const QString output = QString::fromUtf8(send.readAllStandardOutput());
    QVERIFY2(QRegularExpression(pattern, QRegularExpression::DotMatchesEverythingOption)
                 .match(output)
                 .hasMatch(),
             qPrintable(output));
}

QTEST_GUILESS_MAIN(TestSend)
#include "tst_send.moc"
