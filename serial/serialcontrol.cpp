#include "serialcontrol.h"

#include "localport.h"
#include "remoteport.h"
#include "serialerror.h"

SerialControl::SerialControl(QObject *parent) : QObject(parent) {}

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
    const std::optional<LineSettings> line = LineSettings::parse(settings);
    if (!line)
        throw SerialError(QStringLiteral("\"%1\" are not line settings of the form \"2400,N,8,1\"")
                              .arg(settings));
    m_line = *line;
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
        // The device has closed itself and is inside its own signal: it goes when the event loop
        // next runs, or with this control.
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
