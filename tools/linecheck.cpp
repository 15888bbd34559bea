// The line an uploader set, as the virtual RQ204 reports it.

#include "linecheck.h"

#include "serial/linesettings.h"

LineReport lineReport(const termios &tio, bool framingVisible)
{
    LineReport settings;
    QStringList &problems = settings.problems;
    const std::optional<qint32> baud = termiosBaud(::cfgetospeed(&tio));
    settings.fields["baud"] = baud ? QJsonValue(*baud) : QJsonValue(); // termios2 sets any rate
    if (baud != 2400)
        problems << (baud ? QStringLiteral("%1 baud").arg(*baud)
                          : QStringLiteral("unknown baud rate"));
    if (framingVisible) {
        const tcflag_t size = tio.c_cflag & CSIZE;
        const int dataBits = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
        QString parity = QStringLiteral("none");
        if (tio.c_cflag & PARENB) {
            const bool odd = tio.c_cflag & PARODD;
            parity = QLatin1String(odd ? "odd" : "even");
#ifdef CMSPAR
            if (tio.c_cflag & CMSPAR)
                parity = QLatin1String(odd ? "mark" : "space");
#endif
        }
        settings.fields["data_bits"] = dataBits;
        settings.fields["parity"] = parity;
        if (dataBits != 8)
            problems << QStringLiteral("%1 data bits").arg(dataBits);
        if (parity != u"none")
            problems << parity + QLatin1String(" parity");
    }
    const bool twoStopBits = tio.c_cflag & CSTOPB;
    settings.fields["stop_bits"] = twoStopBits ? 2 : 1;
    if (twoStopBits)
        problems << QStringLiteral("2 stop bits");
    const bool rtsCts = tio.c_cflag & CRTSCTS;
    const bool xonXoff = tio.c_iflag & (IXON | IXOFF);
    settings.fields["flow"] = QLatin1String(rtsCts && xonXoff ? "rtscts+xonxoff"
                                            : rtsCts          ? "rtscts"
                                            : xonXoff         ? "xonxoff"
                                                              : "none");
    if (rtsCts)
        problems << QStringLiteral("RTS/CTS flow control");
    if (xonXoff)
        problems << QStringLiteral("XON/XOFF flow control");
    // On a real UART output processing rewrites bytes (LF -> CR LF) the uploader meant to send.
    if (tio.c_oflag & OPOST)
        problems << QStringLiteral("output processing (OPOST) on");
    return settings;
}
