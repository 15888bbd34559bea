#include "portselection.h"

#include "portnumber.h"
#include "serialcontrol.h"
#include "serialerror.h"

void selectPort(SerialControl &comm, const QString &selectorText)
{
    if (comm.portOpen())
        comm.setPortOpen(false);

    try {
        if (namesDevicePath(selectorText))
            comm.setDevicePath(selectorText.trimmed());
        else
            comm.setCommPort(readPortNumber(selectorText));
    } catch (const SerialError &error) {
        comm.setNotOpenReason(error.message());
        throw;
    }
    comm.setHandshaking(SerialControl::Handshaking::None);
    comm.setSettings(QStringLiteral("2400,N,8,1"));
    comm.setInBufferSize(4096);
    // Input length and the receive/send notification thresholds have no counterpart: the port
    // is write-only and nothing here waits for a notification.
    comm.setPortOpen(true);
}

namespace {

void probe(SerialControl &comm, qint16 number, QList<ProbedPort> &entries)
{
    comm.setCommPort(number);
    comm.setPortOpen(true);
    // Listed only once the open has succeeded, so a port that fails is never offered.
    const PortDevice &device = comm.device();
    entries.append({QString::number(number),
                    device.description.isEmpty()
                        ? device.path
                        : QStringLiteral("%1 \u2014 %2").arg(device.path, device.description)});
    comm.setPortOpen(false);
}

} // namespace

QList<ProbedPort> probePorts(SerialControl &comm)
{
    QList<ProbedPort> entries;
    bool probingFirstPort = true;
    for (;;) {
        try {
            if (probingFirstPort)
                probe(comm, 1, entries);
            probingFirstPort = false;
            probe(comm, 2, entries);
            return entries;
        } catch (const SerialError &) {
            // One handler for both probes: a failure of port 1 goes on with port 2, a failure
            // of port 2 ends the probing.
            if (!probingFirstPort)
                return entries;
            probingFirstPort = false;
        }
    }
}
