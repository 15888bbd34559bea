#include "mainwindow.h"
#include "messageedit.h"
#include "ptydevice.h"
#include "sendcommand.h"
#include "sendsupport.h"
#include "ser2net.h"
#include "serialcontrol.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QHostInfo>
#include <QJsonArray>
#include <QLineEdit>
#include <QMap>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTestEventLoop>
#include <QTimer>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {

const char UnresolvableName[] = "rq204-test.invalid";

// What the test's RFC 2217 server does once what it has received contains `after` (at once
// where that is empty): it sends `segments` after `delay` ms, each in a TCP segment of its own,
// 50 ms apart; an empty segment closes the connection.
struct Answer
{
    QByteArray after;
    QByteArrayList segments;
    int delay = 0;
};

// The CPU time, user and system, that process `pid` has used so far, in seconds.
double cpuSeconds(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    // "PID (NAME) STATE …": utime and stime are the 14th and 15th fields; NAME may hold blanks.
    const QByteArray stat = file.readAll();
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) /
           double(sysconf(_SC_CLK_TCK));
}

} // namespace

Q_DECLARE_METATYPE(Answer)

// Displays on the network: rq204-send and the window through a ser2net of the test's own, in
// front of virtual RQ204s, beside a display on a port of this host.
class TestNetwork : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void upload_data();
    void upload();
    void serverStopsMidUpload();
    void interruptStopsEveryDisplay();
    void server_data();
    void server();
    void windowConnectsWithoutWaiting();
    void windowTellsWhyNot();

private:
    // Fills in "{rfc2217 0}", "{raw 1}", "{telnet 0}", "{local 2}" with the ports the row's
    // devices have, and "{at rfc2217 0}" etc. with their HOST:PORT.
    QString named(QString text) const;
    QByteArray readDevice(int device, int bytes);

    QTemporaryDir m_scratch;
    std::array<QProcess, 3> m_devices;
    QStringList m_paths;
    std::unique_ptr<Ser2net> m_server;
    std::array<QProcess, 2> m_peers; // sredird on device 0, pyserial on device 1, where a row asks
    QMap<QString, QString> m_names;
    QByteArray m_shown[3];
};

void TestNetwork::initTestCase()
{
    if (!Ser2net::installed())
        QSKIP("ser2net is not installed (tools/install-deps.sh --test installs it)");
    QVERIFY(m_scratch.isValid());
}

void TestNetwork::init()
{
    m_paths.clear();
    m_names.clear();
    for (int i = 0; i < 3; ++i) {
        m_shown[i].clear();
        const QString path = startDevice(m_devices[i], m_scratch.filePath(QString::number(i)));
        QVERIFY2(!path.isEmpty(), m_devices[i].readAllStandardError().constData());
        m_paths.append(path);
        m_names.insert(QStringLiteral("local %1").arg(i), path);
    }
    m_server = std::make_unique<Ser2net>(m_paths);
    QVERIFY2(m_server->start(), qPrintable(m_server->output()));
    for (int i = 0; i < 3; ++i) {
        const QString ports[] = {m_server->rfc2217(i), m_server->raw(i), m_server->telnetOnly(i)};
        const char *kinds[] = {"rfc2217", "raw", "telnet"};
        for (int kind = 0; kind < 3; ++kind) {
            const QString key = QStringLiteral("%1 %2").arg(QLatin1String(kinds[kind])).arg(i);
            m_names.insert(key, ports[kind]);
            m_names.insert(QStringLiteral("at ") + key,
                           ports[kind].mid(ports[kind].indexOf(u"//") + 2));
        }
    }
    const quint16 nobody = freeTcpPort();
    m_names.insert(QStringLiteral("refused"), QStringLiteral("socket://127.0.0.1:%1").arg(nobody));
    m_names.insert(QStringLiteral("at refused"), QStringLiteral("127.0.0.1:%1").arg(nobody));
    m_names.insert(QStringLiteral("refused port"), QString::number(nobody));
}

void TestNetwork::cleanup()
{
    m_server.reset();
    for (QProcess &peer : m_peers) {
        if (peer.state() != QProcess::NotRunning)
            ::kill(-pid_t(peer.processId()), SIGKILL); // socat with the sredird it forked
        peer.waitForFinished();
    }
    for (QProcess &device : m_devices) {
        device.terminate();
        device.waitForFinished();
    }
}

QString TestNetwork::named(QString text) const
{
    for (auto it = m_names.constBegin(); it != m_names.constEnd(); ++it)
        text.replace(u'{' + it.key() + u'}', it.value());
    return text;
}

// Waits until the device has shown `bytes` characters of an upload, and returns what it shows.
QByteArray TestNetwork::readDevice(int device, int bytes)
{
    const QByteArray start("RS232 -> RQ204\n");
    for (int waited = 0; waited < 10000; waited += 20) {
        m_shown[device] += m_devices[device].readAllStandardOutput();
        const qsizetype at = m_shown[device].lastIndexOf(start);
        if (at >= 0 && m_shown[device].size() - at - start.size() >= bytes)
            break;
        QTest::qWait(20);
    }
    return m_shown[device];
}

void TestNetwork::upload_data()
{
    QTest::addColumn<QStringList>("ports"); // each given with --port
    QTest::addColumn<QString>("message");
    QTest::addColumn<QList<int>>("receivers"); // the devices that get the whole message
    QTest::addColumn<QByteArray>("bytes");     // what they get
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("said"); // all of standard error

    const QByteArray hi("48 69 20 FF 0B 0D");
    const QString hiText = QStringLiteral("Hi \u00ff$");
    QTest::newRow("RFC 2217: the line set over the network, \u00ff as one byte")
        << QStringList{"{rfc2217 0}"} << hiText << QList<int>{0} << hi << 0 << QString();
    QTest::newRow("raw TCP to a line set up beforehand")
        << QStringList{"{raw 0}"} << hiText << QList<int>{0} << hi << 0 << QString();
    QTest::newRow("a server that takes no line settings")
        << QStringList{"{telnet 0}"} << hiText << QList<int>{} << QByteArray() << 1
        << "rq204-send: The message was not sent: the server at {at telnet 0} does not take line "
           "settings; use socket://{at telnet 0} if its port is already set to 2400 8N1.\n";
    QTest::newRow("connection refused")
        << QStringList{"{refused}"} << hiText << QList<int>{} << QByteArray() << 1
        << "rq204-send: The message was not sent: could not connect to {at refused}: connection "
           "refused.\n";
    QTest::newRow("an IPv6 address")
        << QStringList{"rfc2217://[::1]:{refused port}"} << hiText << QList<int>{} << QByteArray()
        << 1
        << "rq204-send: The message was not sent: could not connect to [::1]:{refused port}: "
           "connection refused.\n";
    QTest::newRow("a name that does not resolve")
        << QStringList{QStringLiteral("socket://%1:7").arg(QLatin1String(UnresolvableName))}
        << hiText << QList<int>{} << QByteArray() << 1
        << QStringLiteral("rq204-send: The message was not sent: could not connect to %1:7: no "
                          "host of that name.\n")
               .arg(QLatin1String(UnresolvableName));
    QTest::newRow("a port that another client has")
        << QStringList{"{raw 0}", "busy"} << hiText << QList<int>{} << QByteArray() << 1
        << "rq204-send: The message was not sent: the port at {at raw 0} is in use.\n";
    QTest::newRow("two displays: this host's and one on the network")
        << QStringList{"{local 1}", "{rfc2217 0}"} << hiText << QList<int>{0, 1} << hi << 0
        << "rq204-send: {local 1}: sent, all 6 characters\n"
           "rq204-send: {rfc2217 0}: sent, all 6 characters\n";
    QTest::newRow("three displays, one of them not there")
        << QStringList{"{rfc2217 0}", "{refused}", "{raw 2}"} << hiText << QList<int>{0, 2} << hi
        << 1
        << "rq204-send: {rfc2217 0}: sent, all 6 characters\n"
           "rq204-send: {refused}: The message was not sent: could not connect to {at refused}: "
           "connection refused.\n"
           "rq204-send: {raw 2}: sent, all 6 characters\n";
    // Debian's other RFC 2217 servers, as they answer.
    QTest::newRow("sredird") << QStringList{"{sredird 0}"} << hiText << QList<int>{0} << hi << 0
                             << QString();
    QTest::newRow("pyserial's PortManager")
        << QStringList{"{pyserial 1}"} << hiText << QList<int>{1} << hi << 0 << QString();
    QTest::newRow("sredird and pyserial at once")
        << QStringList{"{sredird 0}", "{pyserial 1}"} << hiText << QList<int>{0, 1} << hi << 0
        << "rq204-send: {sredird 0}: sent, all 6 characters\n"
           "rq204-send: {pyserial 1}: sent, all 6 characters\n";
    QTest::newRow("three displays")
        << QStringList{"{local 0}", "{rfc2217 1}", "{raw 2}"} << QStringLiteral("Open 9-17$")
        << QList<int>{0, 1, 2} << QByteArray("4F 70 65 6E 20 39 2D 31 37 0B 0D") << 0
        << "rq204-send: {local 0}: sent, all 11 characters\n"
           "rq204-send: {rfc2217 1}: sent, all 11 characters\n"
           "rq204-send: {raw 2}: sent, all 11 characters\n";
}

void TestNetwork::upload()
{
    QFETCH(QStringList, ports);
    QFETCH(QString, message);
    QFETCH(QList<int>, receivers);
    QFETCH(QByteArray, bytes);
    QFETCH(int, status);
    QFETCH(QString, said);
    if (QTest::currentDataTag() == QByteArray("a name that does not resolve") &&
        QHostInfo::fromName(QLatin1String(UnresolvableName)).error() != QHostInfo::HostNotFound)
        QSKIP("this machine's resolver gives no answer for names");
    if (QTest::currentDataTag() == QByteArray("an IPv6 address") &&
        !QTcpServer().listen(QHostAddress::LocalHostIPv6))
        QSKIP("this machine has no IPv6 loopback");

    for (int i = 0; i < 2; ++i) {
        const QString key = QStringLiteral("%1 %2").arg(i == 0 ? "sredird" : "pyserial").arg(i);
        if (ports.join(u' ').contains(u'{' + key + u'}')) {
            m_names.insert(key, startRfc2217Server(m_peers[i], key.section(u' ', 0, 0), m_paths[i],
                                                   m_scratch.path()));
            QVERIFY2(m_names[key] != "", "tools/install-deps.sh --test installs sredird, socat and "
                                         "python3-serial");
        }
    }
    // Another client has the port first, as a second copy of a program would.
    QTcpSocket otherClient;
    if (ports.removeAll(QStringLiteral("busy"))) {
        const QUrl other(named(ports.first()));
        otherClient.connectToHost(other.host(), quint16(other.port()));
        QVERIFY(otherClient.waitForConnected(5000));
        QTest::qWait(200); // until ser2net has given it the device
    }
    QStringList arguments{"rq204-send"};
    for (const QString &port : ports)
        arguments << "--port" << named(port);
    arguments << message;
    FILE *err = std::tmpfile();
    QVERIFY(err);
    const auto close = qScopeGuard([err] { std::fclose(err); });
    QCOMPARE(runSend(arguments, portsAt({}), stdin, stdout, err), status);
    QCOMPARE(writtenTo(err), named(said));

    for (int i = 0; i < 3; ++i) {
        if (!receivers.contains(i)) {
            QTest::qWait(50); // a byte sent by mistake has had its time to arrive
            m_devices[i].terminate();
        }
        // (One that ended already has nothing to wait for.)
        QVERIFY(m_devices[i].state() == QProcess::NotRunning ||
                m_devices[i].waitForFinished(10000));
        const QJsonObject summary = summaryOf(m_shown[i] + m_devices[i].readAllStandardOutput());
        QCOMPARE(summary.value("bytes").toString(),
                 QString::fromLatin1(receivers.contains(i) ? bytes : QByteArray()));
        if (!receivers.contains(i))
            continue;
        QCOMPARE(summary.value("complete").toBool(), true);
        QCOMPARE(summary.value("baud").toInt(), 2400);
        QCOMPARE(summary.value("settings_ok").toBool(), true);
        QCOMPARE(summary.value("flow").toString(), QStringLiteral("none"));
        // Paced on each display alike: the device stamps a byte when it wakes up to read it, so
        // single gaps get room for a late wake-up, the median none.
        QVERIFY2(summary.value("gap_min_ms").toDouble() >= 50, qPrintable(QString::number(i)));
        QVERIFY2(summary.value("gap_median_ms").toDouble() >= 99, qPrintable(QString::number(i)));
    }
}

void TestNetwork::serverStopsMidUpload()
{
    QProcess send;
    send.start(QStringLiteral(RQ204_SEND_PATH),
               {"--port", named("{rfc2217 0}"), QStringLiteral("Hello there")});
    QVERIFY(send.waitForStarted());
    readDevice(0, 2);
    m_server->kill();
    QVERIFY(send.waitForFinished(10000));
    QCOMPARE(send.exitStatus(), QProcess::NormalExit);
    QCOMPARE(send.exitCode(), 1);
    // Told once, with how far it got.
    const QString told = QString::fromUtf8(send.readAllStandardError());
    const QRegularExpressionMatch match =
        QRegularExpression(named(QStringLiteral("^rq204-send: The upload stopped after (\\d+) of "
                                                "12 characters: the server at {at rfc2217 0} "
                                                "closed the connection\\.\\n$")))
            .match(told);
    QVERIFY2(match.hasMatch(), qPrintable(told));
    QVERIFY(match.captured(1).toInt() >= 2);
}

void TestNetwork::interruptStopsEveryDisplay()
{
    QProcess send;
    send.start(QStringLiteral(RQ204_SEND_PATH),
               {"--port", m_paths[1], "--port", named("{raw 0}"), QStringLiteral("Hello there")});
    QVERIFY(send.waitForStarted());
    readDevice(0, 2);
    readDevice(1, 2);
    ::kill(pid_t(send.processId()), SIGINT);
    QVERIFY(send.waitForFinished(5000));
    QCOMPARE(send.exitStatus(), QProcess::CrashExit);
    QCOMPARE(send.exitCode(), SIGINT);
    const QStringList told =
        QString::fromUtf8(send.readAllStandardError()).split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(told.size(), 2);
    for (int i = 0; i < 2; ++i) {
        const QString port = i == 0 ? m_paths[1] : named("{raw 0}");
        QVERIFY2(QRegularExpression(QStringLiteral("^rq204-send: %1: The upload stopped after \\d+ "
                                                   "of 12 characters: interrupted\\.$")
                                        .arg(QRegularExpression::escape(port)))
                     .match(told.at(i))
                     .hasMatch(),
                 qPrintable(told.at(i)));
    }
    // Both stopped: neither device gets the final CR.
    for (const int device : {0, 1}) {
        QVERIFY(m_devices[device].state() == QProcess::NotRunning ||
                m_devices[device].waitForFinished(10000));
        const QJsonObject summary =
            summaryOf(m_shown[device] + m_devices[device].readAllStandardOutput());
        QCOMPARE(summary.value("reason").toString(), QStringLiteral("stalled"));
    }
}

void TestNetwork::server_data()
{
    QTest::addColumn<QString>("driver"); // rq204-send as a process, or the window
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<QList<Answer>>("answers");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("received"); // every byte the server gets
    QTest::addColumn<QString>("reason");      // why nothing was sent; empty when all was

    const auto row = [](const char *name, bool bothDrivers, const QString &scheme,
                        const QList<Answer> &answers, const QString &message,
                        const QByteArray &received, const QString &reason) {
        for (const QString driver : {"rq204-send", "window"}) {
            if (driver == u"rq204-send" || bothDrivers)
                QTest::addRow("%s, %s", name, qPrintable(driver))
                    << driver << scheme << answers << message << received << reason;
        }
    };
    const auto hex = [](const QByteArray &text) { return QByteArray::fromHex(text); };
    const QByteArray greeting = hex("fffb00 fffd00 fffb2c"); // WILL and DO BINARY, WILL COM-PORT
    const QByteArray willComPort = hex("fffb2c"), doComPort = hex("fffd2c");
    // The device's line in RFC 2217's words: 2400 baud as a 32-bit big-endian number, data size
    // 8, parity none (1), stop size 1 (1), no flow control (1).
    const QByteArray asked = hex("fffa2c01 00000960 fff0 fffa2c02 08 fff0 fffa2c03 01 fff0 "
                                 "fffa2c04 01 fff0 fffa2c05 01 fff0");
    const QByteArray flowAsked = asked.right(7);
    // What the server reports: each setting's code + 100 with the value it set.
    const auto reported = [&](const char *baud, const char *data = "08", const char *parity = "01",
                              const char *stop = "01", const char *flow = "01") {
        return hex(QByteArray("fffa2c65") + baud + "fff0 fffa2c66" + data + "fff0 fffa2c67" +
                   parity + "fff0 fffa2c68" + stop + "fff0 fffa2c69" + flow + "fff0");
    };
    const QByteArray agreed = reported("00000960");
    const auto reporting = [&](const QByteArrayList &report, int delay = 0) {
        return QList<Answer>{{willComPort, {doComPort}, delay}, {flowAsked, report}};
    };
    const QString refusal = QStringLiteral("the server at {at} does not take line settings; use "
                                           "socket://{at} if its port is already set to 2400 8N1");
    const QString shown = QStringLiteral("the server at {at} set %1 instead of %2");
    const QByteArray sent = greeting + asked;

    row("the device's line, exactly", true, "rfc2217", reporting({agreed}), "Hi", sent + "Hi\r",
        {});
    row("0xFF in the data doubled", true, "rfc2217", reporting({agreed}), "\u00ff$",
        sent + hex("ffff 0b 0d"), {});
    row("COM-PORT agreed half a second late", true, "rfc2217", reporting({agreed}, 500), "Hi",
        sent + "Hi\r", {});
    row("a subnegotiation split across segments", true, "rfc2217",
        reporting({agreed.left(6), agreed.mid(6, 3), agreed.mid(9)}), "Hi", sent + "Hi\r", {});
    row("options answered once, none of its own", true, "rfc2217",
        {{{},
          {hex("fffd00 fffb00 fffd03 fffd03 fffb03 fffb03 fffd18 fffd18 fffb01 fffb01 fffd2c "
               "fffd2c")}},
         {flowAsked, {agreed}}},
        "Hi", greeting + hex("fffb03 fffd03 fffc18 fffe01") + asked + "Hi\r", {});
    // A 64-bit sredird writes each value as a C unsigned long: the value's own bytes first.
    row("the speed in eight bytes, the data size in two", false, "rfc2217",
        reporting({reported("00000960 00000000", "0800")}), "Hi", sent + "Hi\r", {});
    row("another speed", true, "rfc2217", reporting({reported("00002580")}), "Hi", sent,
        shown.arg("9600 baud", "2400"));
    row("another speed in eight bytes", false, "rfc2217",
        reporting({reported("00002580 00000960")}), "Hi", sent, shown.arg("9600 baud", "2400"));
    row("a speed of three bytes", false, "rfc2217", reporting({reported("000009")}), "Hi", sent,
        QStringLiteral("the server at {at} sent a malformed answer"));
    row("another data size", false, "rfc2217", reporting({reported("00000960", "07")}), "Hi", sent,
        shown.arg("7 data bits", "8"));
    row("another parity", false, "rfc2217", reporting({reported("00000960", "08", "03")}), "Hi",
        sent, shown.arg("even parity", "none"));
    row("another stop size", false, "rfc2217", reporting({reported("00000960", "08", "01", "02")}),
        "Hi", sent, shown.arg("2 stop bits", "1"));
    row("flow control", false, "rfc2217", reporting({reported("00000960", "08", "01", "01", "03")}),
        "Hi", sent, shown.arg("RTS/CTS flow control", "none"));
    // 0x0000FFF0 sent as telnet has it: the escaped 0xFF before 0xF0 does not end the answer.
    row("an escaped 0xFF before 0xF0", false, "rfc2217", reporting({reported("0000fffff0")}), "Hi",
        sent, shown.arg("65520 baud", "2400"));
    row("never answers the flow control", false, "rfc2217",
        reporting({agreed.left(agreed.size() - 7)}), "Hi", sent, refusal);
    row("takes the connection, never the line", true, "rfc2217", {}, "Hi", greeting, refusal);
    QByteArray requests = hex("fffe2c");
    for (int option = 50; option < 250; ++option)
        requests += hex("fffd") + char(option) + hex("fffb") + char(option);
    row("COM-PORT refused among 400 requests, then closed", true, "rfc2217",
        {{willComPort, {requests, {}}}}, "Hi", greeting, refusal);
    row("a subnegotiation of 10 MB that never ends", true, "rfc2217",
        reporting({hex("fffa2c65") + QByteArray(10'000'000, 'x')}), "Hi", sent,
        QStringLiteral("the server at {at} sent a malformed answer"));
    // Longer than any connect or answer timer.
    const QString full = QStringLiteral("Sale $ Open 9-17 ").repeated(8).left(124);
    row("socket://, a whole message", false, "socket", {}, full,
        full.toLatin1().replace('$', '\x0b') + '\r', {});
}

void TestNetwork::server()
{
    QFETCH(QString, driver);
    QFETCH(QString, scheme);
    QFETCH(QList<Answer>, answers);
    QFETCH(QString, message);
    QFETCH(QByteArray, received);
    QFETCH(QString, reason);

    // A server of the test's own that records every byte and when it came.
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    const QString at = QStringLiteral("127.0.0.1:%1").arg(server.serverPort());
    QByteArray got;
    QList<qint64> arrived;
    QElapsedTimer clock;
    clock.start();
    QProcess send;
    int connections = 0;
    connect(&server, &QTcpServer::newConnection, this, [&] {
        ++connections;
        QTcpSocket *client = server.nextPendingConnection();
        auto answered = std::make_shared<QList<bool>>(answers.size(), false);
        const auto answer = [&, client, answered] {
            for (qsizetype i = 0; i < answers.size(); ++i) {
                if (answered->at(i) || !got.contains(answers.at(i).after))
                    continue;
                (*answered)[i] = true;
                int delay = answers.at(i).delay;
                for (const QByteArray &segment : answers.at(i).segments) {
                    QTimer::singleShot(delay, client, [client, segment] {
                        if (segment.isEmpty())
                            client->disconnectFromHost();
                        else
                            client->write(segment);
                    });
                    delay += 50;
                }
            }
        };
        connect(client, &QTcpSocket::readyRead, client, [&, client, answer] {
            const QByteArray bytes = client->readAll();
            got += bytes;
            arrived += QList<qint64>(bytes.size(), clock.elapsed());
            answer();
        });
        answer();
        // Waiting costs next to nothing: under a tenth of the time in CPU, over 3.5 s.
        const qint64 pid =
            driver == u"window" ? QCoreApplication::applicationPid() : send.processId();
        const double before = cpuSeconds(pid);
        QTimer::singleShot(3500, client, [pid, before] {
            const double spent = cpuSeconds(pid) - before;
            if (cpuSeconds(pid) >= 0)
                QVERIFY2(spent < 0.35, qPrintable(QStringLiteral("%1 s of CPU").arg(spent)));
        });
    });

    const QString port = scheme + "://" + at;
    const QString told = reason.isEmpty() ? QString()
                                          : QStringLiteral("The message was not sent: %1.")
                                                .arg(QString(reason).replace("{at}", at));
    // A whole event loop, as the programs run one (QTest::qWait looks in every 10 ms only).
    QTestEventLoop waiting;
    if (driver == u"window") {
        MainWindow window(portsAt({}));
        window.show();
        const PacedSender &sender = window.pacedSender();
        const auto ended = [&] {
            if (!sender.isSending())
                waiting.exitLoop();
        };
        connect(&sender, &PacedSender::progressed, &waiting, ended);
        connect(&sender, &PacedSender::failed, &waiting, ended);
        // Typed and entered, and sent while it connects: the upload waits for that connection.
        QTest::keyClicks(window.findChild<QComboBox *>("Combo1")->lineEdit(), port);
        QTest::keyClick(window.findChild<QComboBox *>("Combo1")->lineEdit(), Qt::Key_Return);
        window.findChild<MessageEdit *>("Text1")->setMessage(message);
        QTest::mouseClick(window.findChild<QPushButton *>("Command2"), Qt::LeftButton);
        waiting.enterLoop(20);
        QVERIFY(!sender.isSending());
        auto *report = window.findChild<QMessageBox *>();
        QCOMPARE(report ? report->text() : QString(), told);
    } else {
        connect(&send, &QProcess::finished, &waiting, &QTestEventLoop::exitLoop);
        send.start(QStringLiteral(RQ204_SEND_PATH), {"--port", port, message});
        waiting.enterLoop(20);
        QCOMPARE(send.state(), QProcess::NotRunning);
        QCOMPARE(send.exitCode(), reason.isEmpty() ? 0 : 1);
        // All it says, in its own words only: no warning of Qt's.
        QCOMPARE(QString::fromUtf8(send.readAllStandardError()),
                 told.isEmpty() ? told : QStringLiteral("rq204-send: %1\n").arg(told));
    }
    QTest::qWait(50); // a byte sent by mistake has had its time to arrive
    QTRY_COMPARE(got.toHex(' '), received.toHex(' '));
    QCOMPARE(connections, 1); // the one Send waited for, never a second
    // Paced from the first byte, wherever the wait for the server ended: no burst (the median
    // gap, so that one late read of this busy test does not count).
    if (reason.isEmpty() && !message.contains(u'\u00ff')) {
        QList<qint64> gaps;
        for (qsizetype i = got.size() - message.size(); i < got.size(); ++i)
            gaps += arrived.at(i) - arrived.at(i - 1);
        std::sort(gaps.begin(), gaps.end());
        QVERIFY2(gaps.at(gaps.size() / 2) >= 90,
                 qPrintable(QString::number(gaps.at(gaps.size() / 2))));
    }
}

void TestNetwork::windowConnectsWithoutWaiting()
{
    // Typed as a user types it and ended with Enter, which tries it at once; Send at once, while
    // the connection is still being made: the upload waits for it.
    MainWindow window(portsAt({}));
    window.show();
    auto *combo1 = window.findChild<QComboBox *>("Combo1");
    QLineEdit *portBox = combo1->lineEdit();
    const QColor normal = portBox->palette().color(QPalette::Text);
    QStringList seenAtOpen;
    connect(&window.comm(), &SerialControl::portOpened, this, [&] {
        seenAtOpen << portBox->palette().color(QPalette::Text).name()
                   << combo1->accessibleDescription();
    });
    portBox->setFocus();
    QTest::keyClicks(portBox, named("{rfc2217 0}"));
    QTest::keyClick(portBox, Qt::Key_Return);
    // Connecting is no failure: not red, and said so to a screen reader.
    QVERIFY(window.comm().portOpening());
    QVERIFY(portBox->palette().color(QPalette::Text) != QColor(0xc0, 0x1c, 0x28));
    QCOMPARE(combo1->accessibleDescription(), named("connecting to {rfc2217 0}"));
    window.findChild<MessageEdit *>("Text1")->setMessage(QStringLiteral("Hi \u00ff"));
    QTest::mouseClick(window.findChild<QPushButton *>("Command2"), Qt::LeftButton);

    QTRY_VERIFY_WITH_TIMEOUT(m_devices[0].state() == QProcess::NotRunning, 15000);
    const QJsonObject summary = summaryOf(m_devices[0].readAllStandardOutput());
    QCOMPARE(summary.value("bytes").toString(), QStringLiteral("48 69 20 FF 0D"));
    QCOMPARE(summary.value("baud").toInt(), 2400);
    QCOMPARE(seenAtOpen, (QStringList{normal.name(), QString()}));
    QVERIFY(window.findChildren<QMessageBox *>().isEmpty());
}

void TestNetwork::windowTellsWhyNot()
{
    MainWindow window(portsAt({}));
    window.show();
    auto *combo1 = window.findChild<QComboBox *>("Combo1");
    combo1->setEditText(named("{refused}"));
    const QString refused = named("could not connect to {at refused}: connection refused");
    QTRY_COMPARE(combo1->accessibleDescription(), refused);
    QCOMPARE(combo1->lineEdit()->palette().color(QPalette::Text), QColor(0xc0, 0x1c, 0x28));

    // Send tries the port once more, and tells why it could not.
    window.findChild<MessageEdit *>("Text1")->setMessage(QStringLiteral("Hi"));
    QTest::mouseClick(window.findChild<QPushButton *>("Command2"), Qt::LeftButton);
    QMessageBox *report = nullptr;
    QTRY_VERIFY((report = window.findChild<QMessageBox *>()) != nullptr);
    QCOMPARE(report->text(), QStringLiteral("The message was not sent: %1.").arg(refused));
}

QTEST_MAIN(TestNetwork)
#include "tst_network.moc"
