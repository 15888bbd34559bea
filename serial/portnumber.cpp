#include "portnumber.h"

#include "serialerror.h"

#include <QRegularExpression>
#include <limits>

namespace {

// Further digits can't bring a magnitude this large back into range, and stopping here keeps
// the arithmetic far from overflow however long the text is.
constexpr long long Saturated = 1'000'000;

// The value of `digits` (all of them digits of `base`), saturated at `limit`.
long long readRadix(const QString &digits, int base, long long limit = Saturated)
{
    bool ok = false;
    const long long value = digits.toLongLong(&ok, base);
    return digits.isEmpty() ? 0 : ok ? std::min(value, limit) : limit;
}

// The decimal number at the start of s, rounded half to even, with its magnitude saturated.
long long readDecimal(const QString &s)
{
    // A sign, digits, a point and more digits; an exponent only where a digit follows its E.
    static const QRegularExpression number(
        QStringLiteral("^([+-]?)([0-9]*)(?:\\.([0-9]*))?(?:[eEdD]([+-]?)([0-9]+))?"));
    const QRegularExpressionMatch match = number.match(s);
    const bool negative = match.captured(1) == u"-";

    // The number is kept as its significant digits (no leading zeros) and `pointAt`, the count
    // of those digits that stand before the decimal point: "12.5" is "125" with 2, "0.05" is
    // "5" with -1. Kept exact, so that a half is rounded on the value typed, not on a binary
    // approximation of it.
    QString digits = match.captured(2) + match.captured(3);
    qsizetype zeros = 0;
    while (zeros < digits.size() && digits.at(zeros) == u'0')
        ++zeros;
    digits.remove(0, zeros);
    long long pointAt = match.capturedLength(2) - zeros;
    if (match.hasCaptured(5)) {
        // Zeros typed after the point move it as far as the text is long, and an exponent can
        // move it back; only an exponent larger than both can never be undone, so reading it
        // stops there, well before the arithmetic could overflow.
        const long long exponent = readRadix(match.captured(5), 10, Saturated + s.size());
        pointAt += match.captured(4) == u"-" ? -exponent : exponent;
    }

    if (digits.isEmpty())
        return 0;
    if (pointAt > 6)
        return negative ? -Saturated : Saturated;

    long long whole = 0;
    for (long long k = 0; k < pointAt; ++k)
        whole = whole * 10 + (k < digits.size() ? digits.at(k).unicode() - u'0' : 0);

    // Rounding half to even looks at what follows the point. With the point among the digits,
    // the first digit after it decides, and a 5 rounds up only if a later digit is not zero or
    // the whole part is odd. With zeros between the point and the digits, the value is below a
    // tenth and rounds to 0.
    if (pointAt >= 0 && pointAt < digits.size()) {
        const QChar first = digits.at(pointAt);
        if (first > u'5')
            ++whole;
        else if (first == u'5') {
            bool moreThanHalf = false;
            for (qsizetype k = pointAt + 1; k < digits.size(); ++k)
                moreThanHalf = moreThanHalf || digits.at(k) != u'0';
            if (moreThanHalf || whole % 2 == 1)
                ++whole;
        }
    }
    return negative ? -whole : whole;
}

} // namespace

namespace Serial {

bool namesDevicePath(const QString &text)
{
#ifdef Q_OS_WIN
    // Windows has no /dev: a device is named as a COM port ("COM3") or in the device namespace
    // ("\\.\COM12"), which is how ports above COM9 are reached.
    static const QRegularExpression comPort(QStringLiteral("^COM[0-9]+$"),
                                            QRegularExpression::CaseInsensitiveOption);
    const QString trimmed = text.trimmed();
    return comPort.match(trimmed).hasMatch() || trimmed.startsWith(QLatin1String("\\\\.\\"));
#else
    return text.trimmed().startsWith(u'/');
#endif
}

qint16 readPortNumber(const QString &text)
{
    QString s = text;
    s.removeIf([](QChar c) { return c == u' ' || c == u'\t' || c == u'\n'; });

    static const QRegularExpression radix(QStringLiteral("^&(?:[Hh]([0-9A-Fa-f]*)|[Oo]([0-7]*))"));
    long long value = 0;
    if (!s.startsWith(u'&'))
        value = readDecimal(s);
    else if (const QRegularExpressionMatch match = radix.match(s); match.hasCaptured(1))
        value = readRadix(match.captured(1), 16);
    else if (match.hasCaptured(2))
        value = readRadix(match.captured(2), 8);

    if (value < std::numeric_limits<qint16>::min() || value > std::numeric_limits<qint16>::max())
        throw SerialError(
            QStringLiteral("\"%1\" is out of the range of port numbers (-32768 to 32767)")
                .arg(shortened(text.trimmed())));
    return static_cast<qint16>(value);
}

} // namespace Serial
