#include "serialcontrol.h"

#include "localport.h"
#include "remoteport.h"
#include "serialerror.h"

namespace {

LineSettings parseSettings(const QString &text)
{
    const QStringList fields = text.split(u',');
    const auto invalid = [&] {
        return SerialError(
            QStringLiteral("\"%1\" are not line settings of the form \"2400,N,8,1\"").arg(text));
    };
    if (fields.size() != 4)
        throw invalid();
    LineSettings line;
    bool baudOk = false, dataOk = false;
    line.baud = fields[0].trimmed().toInt(&baudOk);
    const QString parity = fields[1].trimmed().toUpper();
    line.dataBits = fields[2].trimmed().toInt(&dataOk);
    const QString stop = fields[3].trimmed();
    if (!baudOk || line.baud <= 0 || parity.size() != 1 ||
        !QStringLiteral("NEOMS").contains(parity) || !dataOk || line.dataBits < 5 ||
        line.dataBits > 8 || !QStringList{"1", "1.5", "2"}.contains(stop))
        throw invalid();
    line.parity = parity.at(0).toLatin1();
    line.stopBits = stop == u"1"     ? LineSettings::StopBits::One
                    : stop == u"1.5" ? LineSettings::StopBits::OneAndHalf
                                     : LineSettings::StopBits::Two;
    return line;
}

} // namespace

SerialControl::SerialControl(QObject *parent) : QObject(parent)
{
    m_line = parseSettings(m_settings);
}

SerialControl::~SerialControl() = default;

void SerialControl::mustBeClosed() const
{
    if (m_device)
        throw SerialError(
            QStringLiteral("%1 must be closed before another port is chosen").arg(portLabel()));
}

void SerialControl::setCommPort(qint16 number, const PortDevice &device)
{
    mustBeClosed();
    m_commPort = number;
    m_target = device;
    m_namedByPath = false;
}

void SerialControl::setDevicePath(const QString &path)
{
    mustBeClosed();
    m_target = {path, {}};
    m_namedByPath = true;
}

QString SerialControl::portLabel() const
{
    if (m_namedByPath)
        return Serial::shortened(m_target.path);
    if (!m_target.path.isEmpty())
        return QStringLiteral("port %1 (%2)").arg(m_commPort).arg(m_target.path);
    return QStringLiteral("port %1").arg(m_commPort);
}

void SerialControl::setSettings(const QString &settings)
{
    m_line = parseSettings(settings);
    m_settings = settings;
}

void SerialControl::setPortOpen(bool open)
{
    if (!open) {
        m_device.reset();
        return;
    }
    if (m_device)
        throw SerialError(QStringLiteral("%1 is already open").arg(portLabel()));
    if (m_target.path.isEmpty())
        throw SerialError(
            QStringLiteral("port %1 could not be opened: no such port").arg(m_commPort));

    QString problem;
    std::unique_ptr<Device> device;
    if (m_namedByPath && RemotePort::names(m_target.path)) {
        const std::optional<RemotePort::Address> address =
            RemotePort::parse(m_target.path, problem);
        if (!address)
            throw SerialError(problem);
        device = std::make_unique<RemotePort>(*address, m_line);
    } else {
        device = LocalPort::open(m_target.path, portLabel(), m_line, problem);
        if (!device)
            throw SerialError(
                QStringLiteral("%1 could not be opened: %2").arg(portLabel(), problem));
    }
    connect(device.get(), &Device::ready, this, &SerialControl::portOpened);
    connect(device.get(), &Device::lost, this, [this](const QString &reason) {
        // The device has closed itself and is inside its own signal: it goes when the event
        // loop next runs, or with this control.
        m_device.release()->deleteLater();
        emit portLost(reason);
    });
    device->setParent(this);
    m_device = std::move(device);
}

void SerialControl::setOutput(char byte)
{
    if (!portOpen())
        throw SerialError(QStringLiteral("no serial port is open"));
    m_device->write(byte);
}
