#pragma once

#include "linesettings.h"

#include <QObject>
#include <QString>

// An open line to a display, as the serial control uses it: a serial port of this host
// (localport.h) or one on the network (remoteport.h). It closes itself when the line goes
// away, and says so once.
class Device : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Whether bytes may go out; a port on the network is not ready until it is connected and
    // its line is set up.
    virtual bool isReady() const { return true; }
    // Hands one byte to the line. Where the line is gone, the device closes and `lost` says why.
    virtual void write(char byte) = 0;

signals:
    void ready();
    // The line went away, or never came, and the device has closed: why, as the user reads it
    // ("port 1 (/dev/ttyUSB0) was disconnected").
    void lost(const QString &reason);
};
