// The host's serial ports on Linux, read from sysfs alone. QSerialPortInfo would open every 8250
// UART to ask whether a chip is behind it, raising DTR and RTS and dropping them, which resets
// boards; the kernel tells the same in the port's "type" file.

#include "hostports.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

QString readLine(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).trimmed();
}

// What the adapter behind a tty calls itself ("FT232R USB UART"): the product name of the USB
// device it hangs from, up the device tree.
QString productName(const QString &device, const QString &devices)
{
    for (QString folder = device; folder.startsWith(devices + u'/');
         folder = QFileInfo(folder).path()) {
        const QString product = readLine(folder + QStringLiteral("/product"));
        if (!product.isEmpty())
            return product;
    }
    return {};
}

} // namespace

namespace Serial {

HostPorts readHostPortsFrom(const QString &sysfs)
{
    const QString devices = QFileInfo(sysfs + QStringLiteral("/devices")).canonicalFilePath();
    const QDir classTty(sysfs + QStringLiteral("/class/tty"));
    QList<HostTty> ttys;
    for (const QString &name : classTty.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        // A tty with hardware behind it has a device; virtual terminals and ptys have none,
        // Bluetooth's rfcomm and tty0tty's null modems none either, yet are serial lines.
        const QFileInfo device(classTty.filePath(name + QStringLiteral("/device")));
        if (!device.exists() && !name.startsWith(u"rfcomm") && !name.startsWith(u"tnt"))
            continue;
        HostTty tty{name, productName(device.canonicalFilePath(), devices)};
        // The 8250 driver registers every legacy UART slot; those without a chip read type 0.
        tty.ghost = readLine(classTty.filePath(name + QStringLiteral("/type"))) == u"0";
        ttys.append(tty);
    }
    const QStringList consoles = readLine(sysfs + QStringLiteral("/class/tty/console/active"))
                                     .split(u' ', Qt::SkipEmptyParts);
    HostPorts ports;
    for (const HostTty &tty : numberHostPorts(ttys, consoles))
        ports.append({QStringLiteral("/dev/") + tty.name, tty.description});
    return ports;
}

HostPorts readHostPorts()
{
    return readHostPortsFrom(QStringLiteral("/sys"));
}

} // namespace Serial
