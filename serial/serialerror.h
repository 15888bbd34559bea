#pragma once

#include <QString>
#include <stdexcept>

// Raised by the serial control access that failed; its text is for the user as it stands
// ("port 3 could not be opened: no such port").
class SerialError : public std::runtime_error
{
public:
    explicit SerialError(const QString &message) : std::runtime_error(message.toStdString()) {}
    QString message() const { return QString::fromStdString(what()); }
};

namespace Serial {

// What the user typed, as a message quotes it: a long text (a pasted page would make a box as
// wide as the screen) keeps its start and its end with an ellipsis between.
inline QString shortened(const QString &text)
{
    constexpr qsizetype Most = 60;
    if (text.size() <= Most)
        return text;
    constexpr qsizetype Kept = (Most - 1) / 2;
    QString start = text.left(Kept);
    QString end = text.right(Kept);
    // Half a surrogate pair would show as a box of its own.
    if (start.back().isHighSurrogate())
        start.chop(1);
    if (end.front().isLowSurrogate())
        end.remove(0, 1);
    return start + QChar(0x2026) + end;
}

} // namespace Serial
