#include "messagetext.h"

#include "windows1252.h"

QString counterCaption(qsizetype messageLength)
{
    return QString::number(MessageCapacity - messageLength) +
           QStringLiteral("  characters remaining");
}

QString withCrLfBreaks(QString text)
{
    // The text document would turn its frame markers into paragraph breaks behind the
    // counter's back; they have no business in a message.
    text.remove(QChar(0xFDD0));
    text.remove(QChar(0xFDD1));
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(u'\r', u'\n');
    text.replace(QChar::LineSeparator, u'\n');
    text.replace(QChar::ParagraphSeparator, u'\n');
    text.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
    return text;
}

QString fittingStart(const QString &text, qsizetype room)
{
    qsizetype end = 0;
    while (end < text.size()) {
        const bool pair = end + 1 < text.size() &&
                          ((text.at(end) == u'\r' && text.at(end + 1) == u'\n') ||
                           (text.at(end).isHighSurrogate() && text.at(end + 1).isLowSurrogate()));
        const qsizetype step = pair ? 2 : 1;
        if (end + step > room)
            break;
        end += step;
    }
    return text.left(end);
}

QByteArray uploadStream(const QString &message)
{
    QByteArray bytes;
    bytes.reserve(message.size() + 1);
    for (const QChar c : message)
        bytes.append(c == PauseMarker ? PauseCode : windows1252Byte(c.unicode()));
    bytes.append(EndCode);
    return bytes;
}
