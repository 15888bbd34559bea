#pragma once

#include <QProcess>
#include <QSet>
#include <QString>
#include <QStringList>

// Debian's ser2net, started by a test on free ports of 127.0.0.1 in front of devices of its
// own (never the system's service): for each device an RFC 2217 accepter whose line starts at
// 9600 baud (so that 2400 shows the program set it), a raw accepter at 2400 8N1, and a plain
// telnet accepter that takes no line settings.
class Ser2net
{
public:
    explicit Ser2net(const QStringList &devices);
    ~Ser2net();
    Ser2net(const Ser2net &) = delete;
    Ser2net &operator=(const Ser2net &) = delete;

    static bool installed();
    // Starts it and waits until every accepter takes connections.
    bool start();
    // Stops it as a power cut or a crash would: connections end without a word.
    void kill();

    QString rfc2217(int device = 0) const;    // "rfc2217://127.0.0.1:PORT"
    QString raw(int device = 0) const;        // "socket://127.0.0.1:PORT"
    QString telnetOnly(int device = 0) const; // "rfc2217://…" of the accepter without RFC 2217
    QString output();

private:
    QStringList m_devices;
    QList<quint16> m_ports; // three per device
    QProcess m_process;
};

// Debian's other RFC 2217 servers, started by a test on a free port of 127.0.0.1 in front of one
// device: sredird (a 64-bit build answers the speed in eight bytes), forked by socat for each
// client as inetd would, or pyserial's PortManager (tests/rfc2217-server.py). Each opens the
// device only while a client is connected.
class Rfc2217Peer
{
public:
    enum Kind { Sredird, Pyserial };
    Rfc2217Peer(Kind kind, const QString &device) : m_kind(kind), m_device(device) {}
    ~Rfc2217Peer();
    Rfc2217Peer(const Rfc2217Peer &) = delete;
    Rfc2217Peer &operator=(const Rfc2217Peer &) = delete;

    // Empty where it can run, else what to install.
    static QString missing(Kind kind);
    bool start(); // and waits until it takes connections
    QString url() const { return QStringLiteral("rfc2217://127.0.0.1:%1").arg(m_port); }

private:
    Kind m_kind;
    QString m_device;
    quint16 m_port = 0;
    QProcess m_process;
};

// A TCP port of 127.0.0.1 that nothing listens on now.
quint16 freeTcpPort();
// The TCP ports something listens on now, read from the kernel's table without connecting.
QSet<quint16> listeningTcpPorts();
