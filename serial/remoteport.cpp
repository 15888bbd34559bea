#include "remoteport.h"

#include "serialerror.h"

#include <QHostAddress>
#include <QRegularExpression>

namespace {

// Telnet's commands and the options this program speaks (RFC 854, 856, 858, 2217).
constexpr unsigned char Iac = 255, Dont = 254, Do = 253, Wont = 252, Will = 251, Sb = 250, Se = 240;
constexpr unsigned char Binary = 0, SuppressGoAhead = 3, ComPort = 44;
// COM-PORT-OPTION's settings, in the order sent; the server answers each with its code + 100.
constexpr unsigned char SetBaudRate = 1, SetDataSize = 2, SetParity = 3, SetStopSize = 4,
                        SetControl = 5, ServerOffset = 100;
constexpr int AllSettings = 0b11111;

const QString SchemeRfc2217 = QStringLiteral("rfc2217://");
const QString SchemeSocket = QStringLiteral("socket://");

QByteArray bytes(std::initializer_list<unsigned char> values)
{
    QByteArray result;
    for (const unsigned char value : values)
        result.append(char(value));
    return result;
}

QByteArray command(unsigned char verb, unsigned char option)
{
    return bytes({Iac, verb, option});
}

// A COM-PORT-OPTION setting, its value's 0xFF bytes doubled as telnet wants.
QByteArray setting(unsigned char code, const QByteArray &value)
{
    QByteArray escaped = value;
    escaped.replace(QByteArray(1, char(Iac)), QByteArray(2, char(Iac)));
    return bytes({Iac, Sb, ComPort, code}) + escaped + bytes({Iac, Se});
}

} // namespace

bool RemotePort::names(const QString &text)
{
    const QString trimmed = text.trimmed();
    return trimmed.startsWith(SchemeRfc2217, Qt::CaseInsensitive) ||
           trimmed.startsWith(SchemeSocket, Qt::CaseInsensitive);
}

std::optional<RemotePort::Address> RemotePort::parse(const QString &text, QString &problem)
{
    // HOST:PORT, the host in brackets where it is an IPv6 address.
    static const QRegularExpression form(
        QStringLiteral("^(?:\\[([0-9A-Fa-f:.]+)\\]|([A-Za-z0-9.-]+)):([0-9]{1,5})$"));
    const QString trimmed = text.trimmed();
    Address address;
    address.telnet = trimmed.startsWith(SchemeRfc2217, Qt::CaseInsensitive);
    address.text = trimmed.mid(trimmed.indexOf(u"://") + 3);
    const QRegularExpressionMatch match = form.match(address.text);
    const uint port = match.captured(3).toUInt();
    address.host = match.captured(1).isEmpty() ? match.captured(2) : match.captured(1);
    if (!names(text) || !match.hasMatch() || port == 0 || port > 65535 ||
        (!match.captured(1).isEmpty() &&
         QHostAddress(address.host).protocol() != QAbstractSocket::IPv6Protocol)) {
        problem = QStringLiteral("\"%1\" is not a whole network port; write it as "
                                 "rfc2217://HOST:PORT or socket://HOST:PORT")
                      .arg(Serial::shortened(trimmed));
        return std::nullopt;
    }
    address.port = quint16(port);
    return address;
}

RemotePort::RemotePort(const Address &address, const LineSettings &line, QObject *parent)
    : Device(parent), m_address(address), m_line(line)
{
    m_answerTime.setSingleShot(true);
    connect(&m_answerTime, &QTimer::timeout, this, [this] {
        if (m_socket.state() != QAbstractSocket::ConnectedState)
            fail(QStringLiteral("could not connect to %1: no answer within %2 s")
                     .arg(m_address.text)
                     .arg(AnswerTime));
        else // a server that passes telnet's bytes on as data, or one that never answers
            fail(QStringLiteral("the server at %1 does not take line settings; use socket://%1 "
                                "if its port is already set to %2")
                     .arg(m_address.text, m_line.name()));
    });
    connect(&m_socket, &QTcpSocket::connected, this, &RemotePort::negotiate);
    connect(&m_socket, &QTcpSocket::readyRead, this, &RemotePort::readServer);
    connect(
        &m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
            const QString where = m_address.text;
            if (m_ready || error == QAbstractSocket::RemoteHostClosedError)
                // ser2net and device servers turn a second client away with a word and close.
                fail(m_serverSaid.contains("in use")
                         ? QStringLiteral("the port at %1 is in use").arg(where)
                         : QStringLiteral("the server at %1 closed the connection").arg(where));
            else if (error == QAbstractSocket::ConnectionRefusedError)
                fail(QStringLiteral("could not connect to %1: connection refused").arg(where));
            else if (error == QAbstractSocket::HostNotFoundError)
                fail(QStringLiteral("could not connect to %1: no host of that name").arg(where));
            else
                fail(QStringLiteral("could not connect to %1: the system reports \"%2\"")
                         .arg(where, m_socket.errorString()));
        });
    // Name lookup and connection run on the event loop; a newer port closes this one first.
    m_answerTime.start(AnswerTime * 1000);
    m_socket.connectToHost(m_address.host, m_address.port);
}

RemotePort::~RemotePort()
{
    // Every byte was flushed as it was written; what the system still holds goes out before
    // the connection ends.
    m_socket.disconnect(this);
    m_socket.abort();
}

void RemotePort::negotiate()
{
    // One segment per byte, as the device's pace wants it, not Nagle's bunching.
    m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    if (!m_address.telnet) {
        m_ready = true;
        m_answerTime.stop();
        emit ready();
        return;
    }
    // Binary both ways, so that a CR goes out as itself and nothing is added to it.
    m_saidWill[Binary] = m_saidWill[ComPort] = m_saidDo[Binary] = true;
    m_socket.write(command(Will, Binary) + command(Do, Binary) + command(Will, ComPort));
    m_socket.flush();
}

void RemotePort::readServer()
{
    m_received += m_socket.readAll();
    qsizetype at = 0;
    while (at < m_received.size()) {
        const auto byte = static_cast<unsigned char>(m_received.at(at));
        if (byte != Iac || !m_address.telnet) {
            // What the device or the server says is not for this program, but the server's
            // first words may say why it is about to close.
            if (m_serverSaid.size() < 256)
                m_serverSaid += char(byte);
            ++at;
            continue;
        }
        if (at + 1 >= m_received.size())
            break;
        const auto verb = static_cast<unsigned char>(m_received.at(at + 1));
        if (verb >= Will && verb <= Dont) {
            if (at + 2 >= m_received.size())
                break;
            handleCommand(verb, static_cast<unsigned char>(m_received.at(at + 2)));
            at += 3;
        } else if (verb == Sb) {
            const qsizetype end = m_received.indexOf(bytes({Iac, Se}), at + 2);
            if (end < 0)
                break;
            QByteArray data = m_received.mid(at + 2, end - at - 2);
            handleSubnegotiation(data.replace(QByteArray(2, char(Iac)), QByteArray(1, char(Iac))));
            at = end + 2;
        } else {
            at += 2; // IAC IAC (a data byte 0xFF), or a command without an option
        }
    }
    m_received.remove(0, at);
}

void RemotePort::handleCommand(unsigned char verb, unsigned char option)
{
    if (verb == Dont && option == ComPort) {
        fail(QStringLiteral("the server at %1 does not take line settings; use socket://%1 if "
                            "its port is already set to %2")
                 .arg(m_address.text, m_line.name()));
        return;
    }
    if (verb == Do && option == ComPort && !m_settingsSent) {
        m_settingsSent = true;
        // RFC 2217's numbering: parity none 1, odd 2, even 3, mark 4, space 5; stop bits 1 is
        // 1, 2 is 2, 1.5 is 3; control 1 is no flow control.
        const auto parity = QByteArrayLiteral("NOEMS").indexOf(m_line.parity) + 1;
        const int stop = m_line.stopBits == LineSettings::StopBits::One   ? 1
                         : m_line.stopBits == LineSettings::StopBits::Two ? 2
                                                                          : 3;
        QByteArray baud(4, 0);
        for (int i = 0; i < 4; ++i)
            baud[i] = char((quint32(m_line.baud) >> (8 * (3 - i))) & 0xff);
        m_socket.write(setting(SetBaudRate, baud) +
                       setting(SetDataSize, QByteArray(1, char(m_line.dataBits))) +
                       setting(SetParity, QByteArray(1, char(parity))) +
                       setting(SetStopSize, QByteArray(1, char(stop))) +
                       setting(SetControl, QByteArray(1, char(1))));
        m_socket.flush();
        return;
    }
    // Every other option the server asks for or offers is declined, but binary and suppressed
    // go-aheads; each is answered once, and never an answer to this program's own question.
    const bool wanted = option == Binary || option == SuppressGoAhead;
    std::bitset<256> &said = verb == Do ? m_saidWill : m_saidDo;
    if ((verb != Do && verb != Will) || said[option])
        return;
    said[option] = true;
    m_socket.write(command(verb == Do ? (wanted ? Will : Wont) : (wanted ? Do : Dont), option));
    m_socket.flush();
}

void RemotePort::handleSubnegotiation(const QByteArray &data)
{
    if (data.size() < 2 || static_cast<unsigned char>(data.at(0)) != ComPort)
        return;
    const int code = static_cast<unsigned char>(data.at(1)) - ServerOffset;
    if (code < SetBaudRate || code > SetControl || m_ready)
        return;
    m_settingsTaken |= 1 << (code - 1);
    if (m_settingsTaken == AllSettings) {
        m_ready = true;
        m_answerTime.stop();
        emit ready();
    }
}

void RemotePort::write(char byte)
{
    // Telnet takes 0xFF for the start of a command; a data byte of that value goes twice.
    const QByteArray out(m_address.telnet && byte == char(Iac) ? 2 : 1, byte);
    if (m_socket.write(out) != out.size()) {
        fail(QStringLiteral("the server at %1 closed the connection").arg(m_address.text));
        return;
    }
    m_socket.flush();
}

void RemotePort::fail(const QString &reason)
{
    m_answerTime.stop();
    m_socket.disconnect(this);
    m_socket.abort();
    m_ready = false;
    emit lost(reason);
}
