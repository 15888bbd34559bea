// The host's serial ports on Windows, which names them itself.

#include "hostports.h"

namespace Serial {

HostPorts readHostPortsFrom(const QString &sysfs)
{
    Q_UNUSED(sysfs);
    // COM256 is the highest name Windows hands out.
    HostPorts ports;
    for (int number = 1; number <= 256; ++number)
        ports.append({QStringLiteral("COM%1").arg(number), {}});
    return ports;
}

HostPorts readHostPorts()
{
    return readHostPortsFrom({});
}

} // namespace Serial
