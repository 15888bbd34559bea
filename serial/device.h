#pragma once

#include "linesettings.h"

#include <QObject>
#include <QString>

// An open line to a display, as the serial control uses it: a serial port of this host
// (localport.h) or one on the network (remoteport.h). It closes itself when the line goes away.
class Device : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Whether bytes may go out: a port on the network once it is connected and its line set up.
    virtual bool isReady() const { return true; }
    // Hands one byte to the line. Where the line is gone, the device closes and `lost` says why.
    virtual void write(char byte) = 0;

signals:
    void ready();
    // Once: the line went away or never came, and the device has closed; why, in the user's
    // words ("port 1 (/dev/ttyUSB0) was disconnected").
    void lost(const QString &reason);
};
