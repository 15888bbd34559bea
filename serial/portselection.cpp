#include "portselection.h"

#include "portnumber.h"
#include "serialcontrol.h"
#include "serialerror.h"

namespace Serial {

void selectPort(SerialControl &comm, const QString &selectorText)
{
    if (comm.portOpen())
        comm.setPortOpen(false);

    if (namesDevicePath(selectorText))
        comm.setDevicePath(selectorText.trimmed());
    else
        comm.setCommPort(readPortNumber(selectorText));
    comm.setHandshaking(SerialControl::Handshaking::None);
    comm.setSettings(QStringLiteral("2400,N,8,1"));
    comm.setInBufferSize(4096);
    // Input length and the receive/send notification thresholds have no counterpart: the port
    // is write-only and nothing here waits for a notification.
    comm.setPortOpen(true);
}

namespace {

void probe(SerialControl &comm, qint16 number, ProbeResult &result)
{
    comm.setCommPort(number);
    try {
        comm.setPortOpen(true);
    } catch (const SerialError &error) {
        // A number without a device is no news; a device that refused is worth telling.
        if (!comm.device().path.isEmpty())
            result.failure = error.message();
        throw;
    }
    // Listed only once the open has succeeded, so a port that fails is never offered.
    const PortDevice &device = comm.device();
    result.ports.append(
        {QString::number(number),
         device.description.isEmpty()
             ? device.path
             : QStringLiteral("%1 \u2014 %2").arg(device.path, device.description)});
    comm.setPortOpen(false);
}

} // namespace

ProbeResult probePorts(SerialControl &comm)
{
    ProbeResult result;
    // A port that fails is left off the list and probing goes on with the next one, so the
    // second try runs whatever became of the first.
    for (const qint16 number : {qint16(1), qint16(2)}) {
        try {
            probe(comm, number, result);
        } catch (const SerialError &) {
        }
    }
    return result;
}

} // namespace Serial
