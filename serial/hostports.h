#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
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
    QString path;        // "/dev/ttyUSB0", "COM3"; empty where the host has no such port
    QString description; // may be empty
};

// The host's ports in number order, element 0 being port 1.
using HostPorts = QList<PortDevice>;
// Reads the host's ports; a test hands in pseudo-terminals instead.
using PortLister = std::function<HostPorts()>;

namespace Serial {

// Orders the host's ttys into port numbers: element 0 is port 1. Built-in UARTs come first,
// then USB adapters, then the rest, in natural number order within each group; ghost UARTs
// and the kernel's console are left out, so a laptop with one USB adapter has it as port 1.
QList<HostTty> numberHostPorts(QList<HostTty> ttys, const QStringList &consoleNames);

// Windows numbers its ports itself, port N being COMN: the COM ports the system lists ("COM3",
// with what the system calls the device behind it) by number, with an empty entry for each
// number without a port; other names are left out. Device Manager's name for a port
// ("USB-SERIAL CH340 (COM4)") is shown without the port's own name at its end.
HostPorts numberComPorts(const HostPorts &listed);

// The host's serial ports as they are now, numbered as above, found without opening any
// device: on Linux the ttys with hardware behind them in the kernel's device tree; on Windows
// the COM ports in the registry's device map, named as Device Manager names them.
HostPorts readHostPorts();
// The same from the device tree at `sysfs` (Linux), where a test hands in a tree of its own.
HostPorts readHostPortsFrom(const QString &sysfs);

// The device that port `number` names among `ports`; nothing for 0, negative numbers, numbers
// past the end and ports without a device.
std::optional<PortDevice> portAt(const HostPorts &ports, int number);

} // namespace Serial
