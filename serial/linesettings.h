#pragma once

// A serial line's format, as the serial control's Settings text writes it ("2400,N,8,1"), and
// the same in termios' terms: its speed codes and its flags. Header-only and Qt Core alone, so that
// every platform's port, the ports on the network and the virtual RQ204 share one reading of it.

#include <QString>
#include <QStringList>
#include <optional>

struct LineSettings
{
    enum class StopBits { One, OneAndHalf, Two };
    // How each StopBits is written, in its order.
    static constexpr const char *StopBitsText[] = {"1", "1.5", "2"};

    qint32 baud = 9600;
    char parity = 'N'; // N, E, O, M or S
    int dataBits = 8;
    StopBits stopBits = StopBits::One;

    // "baud,parity,data,stop": "2400,N,8,1", also with blanks and a lower-case parity
    // ("9600, e, 7, 2"); nothing for any other text.
    static std::optional<LineSettings> parse(const QString &text);
    // "2400 8N1", as device servers and their manuals write a line.
    QString name() const;
};

inline std::optional<LineSettings> LineSettings::parse(const QString &text)
{
    const QStringList fields = text.split(u',');
    if (fields.size() != 4)
        return std::nullopt;
    LineSettings line;
    bool baudOk = false, dataOk = false;
    line.baud = fields[0].trimmed().toInt(&baudOk);
    const QString parity = fields[1].trimmed().toUpper();
    line.dataBits = fields[2].trimmed().toInt(&dataOk);
    const qsizetype stop =
        QStringList{StopBitsText[0], StopBitsText[1], StopBitsText[2]}.indexOf(fields[3].trimmed());
    if (!baudOk || line.baud <= 0 || parity.size() != 1 ||
        !QStringLiteral("NEOMS").contains(parity) || !dataOk || line.dataBits < 5 ||
        line.dataBits > 8 || stop < 0)
        return std::nullopt;
    line.parity = parity.at(0).toLatin1();
    line.stopBits = StopBits(stop);
    return line;
}

inline QString LineSettings::name() const
{
    return QStringLiteral("%1 %2%3%4")
        .arg(baud)
        .arg(dataBits)
        .arg(QLatin1Char(parity))
        .arg(QLatin1String(StopBitsText[int(stopBits)]));
}

#if __has_include(<termios.h>)
#include <termios.h>

// The speeds termios has a code for: the codes are not the rates (B2400 is 11 on Linux). B0
// hangs the line up; the Settings text never asks for it, as a baud rate must be positive.
struct TermiosSpeed
{
    qint32 baud;
    speed_t code;
};
inline constexpr TermiosSpeed TermiosSpeeds[] = {
    {0, B0},           {50, B50},       {75, B75},         {110, B110},       {134, B134},
    {150, B150},       {200, B200},     {300, B300},       {600, B600},       {1200, B1200},
    {1800, B1800},     {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},
    {38400, B38400},   {57600, B57600}, {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B921600
    {921600, B921600},
#endif
};

inline std::optional<speed_t> termiosSpeed(qint32 baud)
{
    for (const auto &speed : TermiosSpeeds) {
        if (speed.baud == baud)
            return speed.code;
    }
    return std::nullopt;
}

// `tio` made raw, in `line`'s format at `speed`, without flow control in either direction: the
// device listens on one data pin and has no way to ask for a pause.
inline void setTermiosLine(termios &tio, const LineSettings &line, speed_t speed)
{
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#ifdef CMSPAR
    tio.c_cflag &= ~tcflag_t(CMSPAR);
#endif
    tio.c_cflag |= CLOCAL;
    tio.c_cflag |= line.dataBits == 5   ? CS5
                   : line.dataBits == 6 ? CS6
                   : line.dataBits == 7 ? CS7
                                        : CS8;
    if (line.parity != 'N')
        tio.c_cflag |= PARENB;
    if (line.parity == 'O' || line.parity == 'M')
        tio.c_cflag |= PARODD;
#ifdef CMSPAR
    if (line.parity == 'M' || line.parity == 'S')
        tio.c_cflag |= CMSPAR;
#endif
    // With five data bits the UART sends one and a half stop bits for CSTOPB.
    if (line.stopBits != LineSettings::StopBits::One)
        tio.c_cflag |= CSTOPB;
    tio.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY);
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
}

// The rate of a termios speed code; nothing for a rate set some other way (termios2's BOTHER).
inline std::optional<qint32> termiosBaud(speed_t code)
{
    for (const auto &speed : TermiosSpeeds) {
        if (speed.code == code)
            return speed.baud;
    }
    return std::nullopt;
}
#endif
