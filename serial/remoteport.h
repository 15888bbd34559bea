#pragma once

#include "device.h"
#include "telnetreader.h"

#include <QByteArray>
#include <QTcpSocket>
#include <QTimer>
#include <optional>

// A display's serial line behind a device server or ser2net, named as pyserial made common:
// "rfc2217://HOST:PORT" sets the remote line up over telnet's COM-PORT-OPTION (RFC 2217);
// "socket://HOST:PORT" is raw TCP to a line already set up. It connects without blocking and is
// ready once connected and, for RFC 2217, once the server has taken every line setting.
class RemotePort : public Device
{
    Q_OBJECT

public:
    struct Address
    {
        bool telnet = true; // rfc2217://, else socket://
        QString host;       // a name, an IPv4 address or an IPv6 address (without brackets)
        quint16 port = 0;
        QString text; // "HOST:PORT" as the user wrote it
    };

    // Whether `text` names a port on the network at all, complete or not.
    static bool names(const QString &text);
    // The address a whole "rfc2217://HOST:PORT" or "socket://HOST:PORT" names; else nothing,
    // with why in `problem`.
    static std::optional<Address> parse(const QString &text, QString &problem);

    // The longest wait for a connection and the server's answers, in seconds.
    static constexpr int AnswerTime = 5;

    RemotePort(const Address &address, const LineSettings &line, QObject *parent = nullptr);
    ~RemotePort() override;

    bool isReady() const override { return m_ready; }
    void write(char byte) override;

private:
    void negotiate();
    void readServer();
    void becomeReady();
    void fail(const QString &reason);

    Address m_address;
    TelnetReader m_reader;
    QTcpSocket m_socket;
    QTimer m_answerTime;
    bool m_ready = false;
    QByteArray m_serverSaid; // the first text the server sent
};
