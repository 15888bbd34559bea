#pragma once

#include "hostports.h"

#include <QList>
#include <QString>

class SerialControl;

namespace Serial {

// The device's line: 2400 baud, no parity, 8 data bits, 1 stop bit.
inline const QString DeviceLine = QStringLiteral("2400,N,8,1");

// Closes the port, points the control at the port the selector's text names among the host's
// `ports` (or at the device path or network port it names), gives it the device's line
// settings and opens it. A failure leaves no port open and is thrown as SerialError; a port on
// the network goes on opening after this returns.
void selectPort(SerialControl &comm, const QString &selectorText, const HostPorts &ports);

// A port that opened, as the selector lists it.
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

// Which of ports 1 and 2 open, each opened with whatever settings the control holds: the
// program's default ports. Each is closed again at once, as the window's start-up lists them.
ProbeResult probePorts(SerialControl &comm, const HostPorts &ports);

// Opens the first of ports 1 and 2 that opens, with the device's line, as rq204-send takes its
// default port: port 2 is never tried once port 1 is open.
ProbeResult openDefaultPort(SerialControl &comm, const HostPorts &ports);

// Why a port named on the command line can't name a port ("abc"); empty when it is a port
// number, a device path or a whole network port. The port box reads whatever is typed by its
// own rules.
QString portArgumentProblem(const QString &text);

} // namespace Serial
