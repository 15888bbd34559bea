#include "hostports.h"

#include <QElapsedTimer>
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

std::optional<PortDevice> hostPortDevice(int number)
{
    if (number < 1)
        return std::nullopt;
#ifdef Q_OS_WIN
    return PortDevice{QStringLiteral("COM%1").arg(number), {}};
#else
    // Start-up looks ports up three times in a row, and listing the host's ttys costs a few
    // milliseconds each time; a list this fresh still finds an adapter plugged in just now.
    static QList<HostTty> ports;
    static QElapsedTimer listedAt;
    if (!listedAt.isValid() || listedAt.elapsed() > 500) {
        const QStringList consoles = readSysfs(QStringLiteral("/sys/class/tty/console/active"))
                                         .split(u' ', Qt::SkipEmptyParts);
        ports = numberHostPorts(readHostTtys(), consoles);
        listedAt.start();
    }
    if (number > ports.size())
        return std::nullopt;
    const HostTty &tty = ports.at(number - 1);
    return PortDevice{QStringLiteral("/dev/") + tty.name, tty.description};
#endif
}
