#include "remoteport.h"

#include "serialerror.h"

#include <QHostAddress>
#include <QRegularExpression>

namespace {

const QString SchemeRfc2217 = QStringLiteral("rfc2217://");
const QString SchemeSocket = QStringLiteral("socket://");

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
    : Device(parent), m_address(address), m_reader(address.text, line)
{
    m_answerTime.setSingleShot(true);
    connect(&m_answerTime, &QTimer::timeout, this, [this] {
        if (m_socket.state() != QAbstractSocket::ConnectedState)
            fail(QStringLiteral("could not connect to %1: no answer within %2 s")
                     .arg(m_address.text)
                     .arg(AnswerTime));
        else // a server that passes telnet's bytes on as data, or one that never answers
            fail(m_reader.refusal());
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
    // Every byte was flushed as it was written: what the system holds goes out before the end.
    m_socket.disconnect(this);
    m_socket.abort();
}

void RemotePort::negotiate()
{
    // One segment per byte, as the device's pace wants it, not Nagle's bunching.
    m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    if (!m_address.telnet)
        return becomeReady();
    m_socket.write(m_reader.greeting());
    m_socket.flush();
}

void RemotePort::readServer()
{
    const QByteArray received = m_socket.readAll();
    QByteArray data = m_address.telnet ? QByteArray() : received;
    const QByteArray answer = m_address.telnet ? m_reader.read(received, data) : QByteArray();
    // What the device or the server says is not for this program; the server's first words may
    // say why it is about to close.
    m_serverSaid += data.left(256 - m_serverSaid.size());
    // A server at fault is left at once: nothing more it sent is read, nothing answered.
    if (m_reader.state() == TelnetReader::State::Failed)
        return fail(m_reader.failure());
    if (!answer.isEmpty()) {
        m_socket.write(answer);
        m_socket.flush();
    }
    if (m_reader.state() == TelnetReader::State::Ready && !m_ready)
        becomeReady();
}

void RemotePort::becomeReady()
{
    m_ready = true;
    m_answerTime.stop();
    emit ready();
}

void RemotePort::write(char byte)
{
    // Telnet takes 0xFF for the start of a command; a data byte of that value goes twice.
    const QByteArray out(m_address.telnet && byte == '\xff' ? 2 : 1, byte);
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
