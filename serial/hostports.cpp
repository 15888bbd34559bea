#include "hostports.h"

#include <QFile>
#include <QSerialPortInfo>
#include <algorithm>

namespace {

int groupOf(const QString &name)
{
    if (name.startsWith(u"ttyS") || name.startsWith(u"ttyAMA"))
        return 0;
    if (name.startsWith(u"ttyUSB") || name.startsWith(u"ttyACM"))
        return 1;
    return 2;
}

// "ttyUSB10" -> ("ttyUSB", 10), so that ttyUSB2 sorts before ttyUSB10.
std::pair<QString, qlonglong> splitTrailingNumber(const QString &name)
{
    qsizetype digits = name.size();
    while (digits > 0 && name.at(digits - 1).isDigit())
        --digits;
    bool ok = false;
    const qlonglong number = QStringView(name).mid(digits).toLongLong(&ok);
    return {name.left(digits), ok ? number : -1};
}

#ifndef Q_OS_WIN
QString readSysfs(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).trimmed();
}

QList<HostTty> readHostTtys()
{
    QList<HostTty> ttys;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        HostTty tty{info.portName(), info.description()};
        // The 8250 driver registers every legacy UART slot; those without a chip read type 0.
        tty.ghost = readSysfs(QStringLiteral("/sys/class/tty/%1/type").arg(tty.name)) == u"0";
        ttys.append(tty);
    }
    return ttys;
}
#endif

} // namespace

namespace Serial {

QList<HostTty> numberHostPorts(QList<HostTty> ttys, const QStringList &consoleNames)
{
    ttys.removeIf([&](const HostTty &tty) { return tty.ghost || consoleNames.contains(tty.name); });
    std::sort(ttys.begin(), ttys.end(), [](const HostTty &a, const HostTty &b) {
        const auto [prefixA, numberA] = splitTrailingNumber(a.name);
        const auto [prefixB, numberB] = splitTrailingNumber(b.name);
        return std::tuple(groupOf(a.name), prefixA, numberA, a.name) <
               std::tuple(groupOf(b.name), prefixB, numberB, b.name);
    });
    return ttys;
}

HostPorts readHostPorts()
{
    HostPorts ports;
#ifdef Q_OS_WIN
    // Windows names its ports itself; COM256 is the highest name it hands out.
    for (int number = 1; number <= 256; ++number)
        ports.append({QStringLiteral("COM%1").arg(number), {}});
#else
    const QStringList consoles =
        readSysfs(QStringLiteral("/sys/class/tty/console/active")).split(u' ', Qt::SkipEmptyParts);
    for (const HostTty &tty : numberHostPorts(readHostTtys(), consoles))
        ports.append({QStringLiteral("/dev/") + tty.name, tty.description});
#endif
    return ports;
}

std::optional<PortDevice> portAt(const HostPorts &ports, int number)
{
    if (number < 1 || number > ports.size() || ports.at(number - 1).path.isEmpty())
        return std::nullopt;
    return ports.at(number - 1);
}

} // namespace Serial
