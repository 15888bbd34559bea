#include "hostports.h"

#include <QRegularExpression>
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

HostPorts numberComPorts(const HostPorts &listed)
{
    static const QRegularExpression com(QStringLiteral("^COM([1-9][0-9]{0,2})$"),
                                        QRegularExpression::CaseInsensitiveOption);
    // COM256 is the highest name Windows hands out.
    constexpr int Highest = 256;
    HostPorts ports;
    for (const PortDevice &port : listed) {
        const int number = com.match(port.path.trimmed()).captured(1).toInt();
        if (number < 1 || number > Highest)
            continue;
        if (ports.size() < number)
            ports.resize(number);
        const QString name = QStringLiteral("COM%1").arg(number);
        // Device Manager's name ends in the port's own, which the port's column already shows.
        QString description = port.description.trimmed();
        if (description.endsWith(QStringLiteral(" (%1)").arg(name), Qt::CaseInsensitive))
            description.chop(name.size() + 3);
        ports[number - 1] = {name, description};
    }
    return ports;
}

std::optional<PortDevice> portAt(const HostPorts &ports, int number)
{
    if (number < 1 || number > ports.size() || ports.at(number - 1).path.isEmpty())
        return std::nullopt;
    return ports.at(number - 1);
}

} // namespace Serial
