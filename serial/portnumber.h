#pragma once

#include <QString>

namespace Serial {

// Reads the port selector's text as a port number: blanks, tabs and line feeds are dropped
// wherever they stand; then a decimal number (sign, point, exponent E or D) or "&H"/"&O"
// digits is read from the start, stopping at the first character that can't continue it;
// no number reads as 0. The value is rounded half to even and must fit 16 signed bits,
// else SerialError is thrown.
qint16 readPortNumber(const QString &text);

// True when the selector's text names a device by its path ("/dev/ttyUSB0"; on Windows "COM3"
// or "\\.\COM12") rather than a number.
bool namesDevicePath(const QString &text);

} // namespace Serial
