#include "mainwindow.h"
#include "messageedit.h"
#include "ptydevice.h"
#include "sendcommand.h"
#include "sendsupport.h"
#include "ser2net.h"
#include "serialcontrol.h"

#include <QComboBox>
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
#include <QTimer>

#include <array>
#include <csignal>
#include <cstdio>
#include <memory>

namespace {

const char UnresolvableName[] = "rq204-test.invalid";

} // namespace

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
    void uploadWaitsForASlowServer();
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

void TestNetwork::uploadWaitsForASlowServer()
{
    // An RFC 2217 server that takes its time (a device server on a slow link): it asks for the
    // line settings half a second after the connection, and takes every one.
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    QByteArray received;
    connect(&server, &QTcpServer::newConnection, this, [&] {
        QTcpSocket *client = server.nextPendingConnection();
        QTimer::singleShot(500, client, [client] { client->write("\xff\xfd\x2c"); });
        connect(client, &QTcpSocket::readyRead, client, [client, &received] {
            received += client->readAll();
            // Each setting is answered with its code + 100, as ser2net does.
            for (char code = 1; code <= 5; ++code) {
                const QByteArray asked = QByteArray("\xff\xfa\x2c") + code;
                if (received.contains(asked) && !received.contains("answered" + asked)) {
                    client->write(QByteArray("\xff\xfa\x2c") + char(code + 100) +
                                  QByteArray("\x00\xff\xf0", 3));
                    received += "answered" + asked;
                }
            }
        });
    });
    FILE *err = std::tmpfile();
    QVERIFY(err);
    const auto close = qScopeGuard([err] { std::fclose(err); });
    const QString port = QStringLiteral("rfc2217://127.0.0.1:%1").arg(server.serverPort());
    const int status =
        runSend({"rq204-send", "--port", port, "Hi"}, portsAt({}), stdin, stdout, err);
    QCOMPARE(writtenTo(err), QString());
    QCOMPARE(status, 0);
    QVERIFY2(received.endsWith("\xff\xf0Hi\r") || received.endsWith("Hi\r"), received.toHex(' '));
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
