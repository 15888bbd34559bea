#pragma once

#include <QList>
#include <QString>

class SerialControl;

namespace Serial {

// Closes the port, points the control at the port the selector's text names, gives it the
// device's line settings and opens it. A failure leaves no port open and is thrown as SerialError.
void selectPort(SerialControl &comm, const QString &selectorText);

// A port that opened at start-up, as the selector lists it.
struct ProbedPort
{
    QString entry;   // "1"
    QString toolTip; // "/dev/ttyUSB0 — FT232R USB UART"
};

struct ProbeResult
{
    QList<ProbedPort> ports; // in order
    // Why the last port that has a device behind it could not be opened; empty when every
    // such port opened or the host has none.
    QString failure;
};

// Tries to open ports 1 and 2 with whatever settings the control holds, closing each again at
// once.
ProbeResult probePorts(SerialControl &comm);

} // namespace Serial
