#pragma once

#include <QList>
#include <QString>

class SerialControl;

// Closes the port, points the control at the port the selector's text names, gives it the
// device's line settings and opens it. A failure leaves no port open and is thrown as
// SerialError, after the control has kept its text as the reason no port is open.
void selectPort(SerialControl &comm, const QString &selectorText);

// A port that opened at start-up, as the selector lists it.
struct ProbedPort
{
    QString entry;   // "1"
    QString toolTip; // "/dev/ttyUSB0 — FT232R USB UART"
};

// Tries to open ports 1 and 2 with whatever settings the control holds, closing each again at
// once, and returns the ports that opened, in order.
QList<ProbedPort> probePorts(SerialControl &comm);
