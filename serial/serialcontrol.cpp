#include "serialcontrol.h"

#include "deviceaccess.h"
#include "serialerror.h"
#include "windows1252.h"

#include <QSocketNotifier>
#include <cerrno>
#include <optional>

#ifdef Q_OS_UNIX
#include <poll.h>
#include <termios.h>
#endif

namespace {

struct LineSettings
{
    qint32 baud = 0;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;
};

template <typename Value> using Names = std::pair<const char16_t *, Value>;

constexpr Names<QSerialPort::Parity> Parities[] = {{u"N", QSerialPort::NoParity},
                                                   {u"E", QSerialPort::EvenParity},
                                                   {u"O", QSerialPort::OddParity},
                                                   {u"M", QSerialPort::MarkParity},
                                                   {u"S", QSerialPort::SpaceParity}};
constexpr Names<QSerialPort::StopBits> StopBits[] = {{u"1", QSerialPort::OneStop},
                                                     {u"1.5", QSerialPort::OneAndHalfStop},
                                                     {u"2", QSerialPort::TwoStop}};

// The value `name` stands for in `names`; nothing for a name it doesn't list.
template <typename Value, std::size_t Count>
std::optional<Value> lookUp(const Names<Value> (&names)[Count], const QString &name)
{
    for (const auto &[known, value] : names) {
        if (name == QStringView(known))
            return value;
    }
    return std::nullopt;
}

LineSettings parseSettings(const QString &text)
{
    const QStringList fields = text.split(u',');
    auto invalid = [&] {
        return SerialError(
            QStringLiteral("\"%1\" are not line settings of the form \"2400,N,8,1\"").arg(text));
    };
    if (fields.size() != 4)
        throw invalid();

    LineSettings line;
    bool ok = false;
    line.baud = fields[0].trimmed().toInt(&ok);
    if (!ok || line.baud <= 0)
        throw invalid();

    const auto parity = lookUp(Parities, fields[1].trimmed().toUpper());
    const int dataBits = fields[2].trimmed().toInt(&ok);
    const auto stopBits = lookUp(StopBits, fields[3].trimmed());
    if (!parity || !ok || dataBits < 5 || dataBits > 8 || !stopBits)
        throw invalid();
    line.parity = *parity;
    line.dataBits = static_cast<QSerialPort::DataBits>(dataBits);
    line.stopBits = *stopBits;
    return line;
}

} // namespace

SerialControl::SerialControl(PortLister listPorts, QObject *parent)
    : QObject(parent), m_listPorts(std::move(listPorts))
{
    setSettings(m_settings);
    setHandshaking(m_handshaking);
    connect(&m_port, &QSerialPort::errorOccurred, this, &SerialControl::handleError);
}

SerialControl::~SerialControl()
{
    closePort();
}

void SerialControl::setCommPort(qint16 number)
{
    if (portOpen())
        throw SerialError(
            QStringLiteral("%1 must be closed before another port is chosen").arg(portLabel()));
    m_commPort = number;
    m_devicePath.clear();
}

void SerialControl::setDevicePath(const QString &path)
{
    if (portOpen())
        throw SerialError(
            QStringLiteral("%1 must be closed before another port is chosen").arg(portLabel()));
    m_devicePath = path;
}

QString SerialControl::portLabel() const
{
    if (!m_devicePath.isEmpty())
        return Serial::shortened(m_devicePath);
    if (!m_device.path.isEmpty())
        return QStringLiteral("port %1 (%2)").arg(m_commPort).arg(m_device.path);
    return QStringLiteral("port %1").arg(m_commPort);
}

void SerialControl::setSettings(const QString &settings)
{
    const LineSettings line = parseSettings(settings);
    m_port.setBaudRate(line.baud);
    m_port.setParity(line.parity);
    m_port.setDataBits(line.dataBits);
    m_port.setStopBits(line.stopBits);
    m_settings = settings;
}

void SerialControl::setHandshaking(Handshaking handshaking)
{
    // Qt has no combined RTS/CTS plus XON/XOFF mode; hardware handshaking is the stronger half.
    switch (handshaking) {
    case Handshaking::None:
        m_port.setFlowControl(QSerialPort::NoFlowControl);
        break;
    case Handshaking::XonXoff:
        m_port.setFlowControl(QSerialPort::SoftwareControl);
        break;
    case Handshaking::RtsCts:
    case Handshaking::RtsCtsXonXoff:
        m_port.setFlowControl(QSerialPort::HardwareControl);
        break;
    }
    m_handshaking = handshaking;
}

void SerialControl::setInBufferSize(int bytes)
{
    if (bytes < 0)
        throw SerialError(QStringLiteral("the input buffer size can't be negative"));
    // The port is opened write-only, so this only bounds what Qt would ever keep for reading.
    m_port.setReadBufferSize(bytes);
    m_inBufferSize = bytes;
}

void SerialControl::setPortOpen(bool open)
{
    if (!open) {
        closePort();
        return;
    }
    if (portOpen())
        throw SerialError(QStringLiteral("%1 is already open").arg(portLabel()));

    m_device = {};
    QString path = m_devicePath;
    if (path.isEmpty()) {
        const std::optional<PortDevice> device = Serial::portAt(m_listPorts(), m_commPort);
        if (!device)
            throw SerialError(
                QStringLiteral("port %1 could not be opened: no such port").arg(m_commPort));
        m_device = *device;
        path = device->path;
    }
    // Checked, opened and locked under the device's own path, so that every name of one device
    // (a port number, a /dev/serial/by-id link) meets the same lock; the label keeps the name
    // the user gave.
    const DeviceCheck check = checkDevice(path);
    if (!check.problem.isEmpty())
        throw SerialError(
            QStringLiteral("%1 could not be opened: %2").arg(portLabel(), check.problem));
    m_port.setPortName(check.canonicalPath);
    if (!m_port.open(QIODevice::WriteOnly))
        throw SerialError(QStringLiteral("%1 could not be opened: %2")
                              .arg(portLabel(), openFailureReason(check.canonicalPath)));
    // Qt's lock file and exclusive mode go unseen by programs that look for flock(), as
    // picocom does.
    const QString held = claimDevice(m_port);
    if (!held.isEmpty()) {
        closePort();
        throw SerialError(QStringLiteral("%1 could not be opened: %2").arg(portLabel(), held));
    }
    m_lostReason.clear();
    watchForHangUp();
}

void SerialControl::closePort()
{
    // The notifier goes first: a descriptor closed under it would be polled as invalid.
    m_hangUp.reset();
    m_port.close();
}

void SerialControl::watchForHangUp()
{
#ifdef Q_OS_UNIX
    // A write-only port has nothing that wakes up between two writes, yet an unplugged adapter
    // hangs the tty up at once; a read notifier sees the hang-up and costs nothing while the line
    // is quiet.
    m_hangUp = std::make_unique<QSocketNotifier>(m_port.handle(), QSocketNotifier::Read);
    connect(m_hangUp.get(), &QSocketNotifier::activated, this, &SerialControl::checkHangUp);
#endif
}

void SerialControl::checkHangUp()
{
#ifdef Q_OS_UNIX
    pollfd line{static_cast<int>(m_port.handle()), POLLIN, 0};
    if (::poll(&line, 1, 0) != 1)
        return;
    if (!(line.revents & (POLLHUP | POLLERR | POLLNVAL))) {
        // The device has nothing to say; what arrives anyway (noise on an unwired receive pin)
        // is dropped, or it would wake the notifier again and again.
        ::tcflush(line.fd, TCIFLUSH);
        return;
    }
    const QString reason = QStringLiteral("%1 was disconnected").arg(portLabel());
    closePort();
    emit portLost(reason);
#endif
}

QString SerialControl::openFailureReason(const QString &path) const
{
    // Qt files most failures under PermissionError, its own lock among them; looking again
    // tells which one it was.
    const DeviceCheck check = checkDevice(path);
    if (!check.problem.isEmpty())
        return check.problem;
    switch (m_port.error()) {
    case QSerialPort::DeviceNotFoundError:
        return openErrorText(ENOENT);
    case QSerialPort::PermissionError:
        return openErrorText(EBUSY);
    case QSerialPort::UnsupportedOperationError:
        return QStringLiteral("it is not a serial device");
    case QSerialPort::ResourceError:
        return openErrorText(EIO);
    default:
        return m_port.errorString();
    }
}

char SerialControl::toWindows1252(QChar character)
{
    return windows1252Byte(character.unicode());
}

void SerialControl::setOutput(const QString &character)
{
    if (character.size() != 1)
        throw SerialError(QStringLiteral("the serial control sends one character at a time"));
    if (!portOpen())
        throw SerialError(QStringLiteral("no serial port is open"));

    const char byte = toWindows1252(character.at(0));
    // A device that vanished shows up inside write() or flush(); handleError closes the port
    // then, and the throw below is the one report of it.
    const bool written = m_port.write(&byte, 1) == 1;
    if (written && portOpen())
        m_port.flush();
    if (!portOpen())
        throw SerialError(m_lostReason);
    if (!written)
        throw SerialError(
            QStringLiteral("%1 refused the byte: %2").arg(portLabel(), m_port.errorString()));
}

void SerialControl::handleError(QSerialPort::SerialPortError error)
{
    if (!portOpen() || (error != QSerialPort::ResourceError && error != QSerialPort::WriteError))
        return;
    // Qt repeats a resource error for as long as the port stays open, so close it at the first.
    m_lostReason = QStringLiteral("%1 stopped working (%2)").arg(portLabel(), m_port.errorString());
    closePort();
}
