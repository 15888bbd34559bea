#pragma once

#include <QString>
#include <QStringList>

class SerialControl;

// Closes the port, points the control at the port the selector's text names, gives it the
// device's line settings and opens it. A failure leaves no port open and is thrown as
// SerialError, after the control has kept its text as the reason no port is open.
void selectPort(SerialControl &comm, const QString &selectorText);

// Tries to open ports 1 and 2 with whatever settings the control holds, closing each again at
// once, and returns the entries for the selector: those that opened, in order.
QStringList probePorts(SerialControl &comm);
