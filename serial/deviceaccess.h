#pragma once

#include <QSerialPort>
#include <QString>

// What stands between this program and a device, found without claiming it.
struct DeviceCheck
{
    QString canonicalPath; // the device itself, symlinks resolved; the path as given if unknown
    QString problem;       // why it can't be used, the words after "could not be opened: "
    qint64 holderPid = 0;  // the other program that holds it, where known
    QString holderName;    // that program's name, where known
};

// Follows `path` to the device and looks whether it can be used as a serial port: a terminal
// that leads to a serial line, not held by another live process through a lock file (UUCP or
// QSerialPort), flock() or exclusive mode, and open to this user. A terminal is opened
// read-only for a moment, never written. Where the system can't be asked (Windows), nothing is
// found and the open itself has to tell.
DeviceCheck checkDevice(const QString &path);

// Takes flock() on the device `port` has just opened, so that programs which look for that lock
// (picocom and other recent tools) see it in use. Returns why it can't be taken (another
// holder, named where the system tells), in which case the caller closes the port.
QString claimDevice(const QSerialPort &port);

// One sentence for an errno that opening a device met, saying what to do. `closedFolder` is
// the folder on the way that the user may not enter, when EACCES came from there and not from
// the device itself.
QString openErrorText(int error, const QString &closedFolder = QString());
