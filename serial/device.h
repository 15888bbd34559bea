#pragma once

#include <QObject>
#include <QString>

// The line format the serial control's Settings text ("2400,N,8,1") stands for.
struct LineSettings
{
    enum class StopBits { One, OneAndHalf, Two };

    qint32 baud = 9600;
    char parity = 'N'; // N, E, O, M or S
    int dataBits = 8;
    StopBits stopBits = StopBits::One;
};

// An open line to a display, as the serial control uses it: a serial port of this host
// (localport.h). It closes itself when the line goes away, and says so once.
class Device : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Hands one byte to the line. Where the line is gone, the device closes and `lost` says why.
    virtual void write(char byte) = 0;

signals:
    // The line went away and the device has closed; `what` follows the port's name
    // ("was disconnected").
    void lost(const QString &what);
};
