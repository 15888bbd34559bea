#include "portselection.h"

#include "portnumber.h"
#include "remoteport.h"
#include "serialcontrol.h"
#include "serialerror.h"

#include <QRegularExpression>

namespace Serial {

void selectPort(SerialControl &comm, const QString &selectorText, const HostPorts &ports)
{
    // A connection still being made is given up too: the newer text wins.
    comm.setPortOpen(false);

    if (namesDevicePath(selectorText) || RemotePort::names(selectorText)) {
        comm.setDevicePath(selectorText.trimmed());
    } else {
        const qint16 number = readPortNumber(selectorText);
        comm.setCommPort(number, portAt(ports, number).value_or(PortDevice{}));
    }
    // Nothing else to set: the port is write-only, always without flow control, and nothing
    // waits for a notification.
    comm.setSettings(DeviceLine);
    comm.setPortOpen(true);
}

namespace {

ProbeResult probe(SerialControl &comm, const HostPorts &ports, bool keepFirst)
{
    ProbeResult result;
    // A port that fails is left off the list and probing goes on with the next one.
    for (const qint16 number : {qint16(1), qint16(2)}) {
        const std::optional<PortDevice> device = portAt(ports, number);
        comm.setCommPort(number, device.value_or(PortDevice{}));
        try {
            comm.setPortOpen(true);
        } catch (const SerialError &error) {
            // A number without a device is no news; a device that refused is worth telling.
            if (device)
                result.failure = error.message();
            continue;
        }
        // Listed only once the open has succeeded, so a port that fails is never offered.
        result.ports.append(
            {QString::number(number),
             device->description.isEmpty()
                 ? device->path
                 : QStringLiteral("%1 \u2014 %2").arg(device->path, device->description)});
        if (keepFirst)
            break;
        comm.setPortOpen(false);
    }
    return result;
}

} // namespace

ProbeResult probePorts(SerialControl &comm, const HostPorts &ports)
{
    return probe(comm, ports, false);
}

ProbeResult openDefaultPort(SerialControl &comm, const HostPorts &ports)
{
    comm.setSettings(DeviceLine);
    return probe(comm, ports, true);
}

QString portArgumentProblem(const QString &text)
{
    static const QRegularExpression number(QStringLiteral("^\\s*\\d+\\s*$"));
    if (number.match(text).hasMatch() || namesDevicePath(text))
        return {};
    QString problem;
    if (RemotePort::names(text)) {
        RemotePort::parse(text, problem);
        return problem.isEmpty() ? QString() : QStringLiteral("--port: ") + problem;
    }
    if (text.trimmed().isEmpty())
        return QStringLiteral("--port needs a port number or a device path");
    return QStringLiteral("--port \"%1\" is neither a port number, a device path nor a network "
                          "port")
        .arg(shortened(text));
}

} // namespace Serial
