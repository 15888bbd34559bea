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

// Debian's other RFC 2217 servers, started by a test in front of `device` on a free port of
// 127.0.0.1, each opening it only while a client is connected: "sredird" (a 64-bit build
// answers the speed in eight bytes), forked by socat for each client as inetd would, or
// "pyserial", its PortManager (tests/rfc2217-server.py); sredird's lock file goes in the folder
// `scratch`. Its "rfc2217://127.0.0.1:PORT" once it takes connections; empty where it could not
// start. It leads a process group, which ends it.
QString startRfc2217Server(QProcess &server, const QString &kind, const QString &device,
                           const QString &scratch);

// A TCP port of 127.0.0.1 that nothing listens on now.
quint16 freeTcpPort();
// The TCP ports something listens on now, read from the kernel's table without connecting.
QSet<quint16> listeningTcpPorts();
