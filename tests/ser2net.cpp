#include "ser2net.h"

#include <QFile>
#include <QSet>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTest>

#include <algorithm>
#include <unistd.h>

QSet<quint16> listeningTcpPorts()
{
    QSet<quint16> listening;
    for (const QString &table :
         {QStringLiteral("/proc/net/tcp"), QStringLiteral("/proc/net/tcp6")}) {
        QFile file(table);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        // "0: 0100007F:1F90 00000000:0000 0A …": local address:port in hex, state 0A.
        for (const QByteArray &line : file.readAll().split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() > 3 && fields.at(3) == "0A")
                listening.insert(quint16(fields.at(1).split(':').value(1).toUInt(nullptr, 16)));
        }
    }
    return listening;
}

quint16 freeTcpPort()
{
    QTcpServer server;
    return server.listen(QHostAddress::LocalHost) ? server.serverPort() : 0;
}

namespace {

// Listening, read from the kernel's table: a test connection would make the server open the
// device, and its close would set the device's line back behind the next client's back.
bool awaitListening(const QList<quint16> &ports)
{
    for (int attempt = 0; attempt < 200; ++attempt) {
        const QSet<quint16> listening = listeningTcpPorts();
        if (std::all_of(ports.begin(), ports.end(),
                        [&](quint16 port) { return listening.contains(port); }))
            return true;
        QTest::qWait(25);
    }
    return false;
}

} // namespace

Ser2net::Ser2net(const QStringList &devices) : m_devices(devices) {}

Ser2net::~Ser2net()
{
    kill();
}

bool Ser2net::installed()
{
    return !QStandardPaths::findExecutable(QStringLiteral("ser2net")).isEmpty();
}

bool Ser2net::start()
{
    // -n: in the foreground, as the test's child; -u: no UUCP lock left behind by kill().
    QStringList arguments{QStringLiteral("-n"), QStringLiteral("-u")};
    const auto yaml = [&](const QString &line) { arguments << QStringLiteral("-Y") << line; };
    for (int i = 0; i < m_devices.size(); ++i) {
        const QString accepters[] = {QStringLiteral("telnet(rfc2217),tcp"), QStringLiteral("tcp"),
                                     QStringLiteral("telnet,tcp")};
        const QString lines[] = {QStringLiteral("9600n81"), QStringLiteral("2400n81"),
                                 QStringLiteral("2400n81")};
        for (int kind = 0; kind < 3; ++kind) {
            const quint16 port = freeTcpPort();
            m_ports.append(port);
            yaml(QStringLiteral("connection: &c%1x%2").arg(i).arg(kind));
            yaml(QStringLiteral("  accepter: %1,127.0.0.1,%2").arg(accepters[kind]).arg(port));
            yaml(QStringLiteral("  connector: serialdev,%1,%2,local")
                     .arg(m_devices[i], lines[kind]));
        }
    }
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start(QStandardPaths::findExecutable(QStringLiteral("ser2net")), arguments);
    if (!m_process.waitForStarted())
        return false;
    return awaitListening(m_ports);
}

void Ser2net::kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished();
}

QString Ser2net::rfc2217(int device) const
{
    return QStringLiteral("rfc2217://127.0.0.1:%1").arg(m_ports.value(3 * device));
}

QString Ser2net::raw(int device) const
{
    return QStringLiteral("socket://127.0.0.1:%1").arg(m_ports.value(3 * device + 1));
}

QString Ser2net::telnetOnly(int device) const
{
    return QStringLiteral("rfc2217://127.0.0.1:%1").arg(m_ports.value(3 * device + 2));
}

QString Ser2net::output()
{
    return QString::fromLocal8Bit(m_process.readAll());
}

QString startRfc2217Server(QProcess &server, const QString &kind, const QString &device,
                           const QString &scratch)
{
    const quint16 port = freeTcpPort();
    // A process group of its own, so that the test ends the sredird of each client with socat.
    server.setChildProcessModifier([] { ::setpgid(0, 0); });
    if (kind == u"sredird" && QFile::exists(QStringLiteral("/usr/sbin/sredird")))
        server.start(QStringLiteral("socat"),
                     {QStringLiteral("TCP-LISTEN:%1,bind=127.0.0.1,reuseaddr,fork").arg(port),
                      QStringLiteral("EXEC:/usr/sbin/sredird 7 %1 %2/sredird-%3.lock")
                          .arg(device, scratch)
                          .arg(port)});
    else if (kind == u"pyserial") // Debian's python3-serial serves Debian's own Python
        server.start(
            QStringLiteral("/usr/bin/python3"),
            {QStringLiteral(RQ204_TESTS_DIR "/rfc2217-server.py"), device, QString::number(port)});
    return server.waitForStarted() && awaitListening({port})
               ? QStringLiteral("rfc2217://127.0.0.1:%1").arg(port)
               : QString();
}
