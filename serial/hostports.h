#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

// A serial device of the host as the port numbering sees it.
struct HostTty
{
    QString name;        // kernel name, "ttyUSB0"
    QString description; // what the host knows of it, "FT232R USB UART"; may be empty
    bool ghost = false;  // a UART the kernel registered without hardware behind it
};

// What a port number stands for on this host.
struct PortDevice
{
    QString path;        // "/dev/ttyUSB0", "COM3"
    QString description; // may be empty
};

// Orders the host's ttys into port numbers: element 0 is port 1. Built-in UARTs come first,
// then USB adapters, then the rest, in natural number order within each group; ghost UARTs
// and the kernel's console are left out, so a laptop with one USB adapter has it as port 1.
QList<HostTty> numberHostPorts(QList<HostTty> ttys, const QStringList &consoleNames);

// The device that port `number` names on this host, read afresh each time so that an adapter
// plugged in while the program runs is found; nothing when the host has no such port.
std::optional<PortDevice> hostPortDevice(int number);
