#include "portnumber.h"

#include "serialerror.h"

#include <QRegularExpression>
#include <limits>

namespace {

// Further digits can't bring a magnitude this large back into range, and stopping here keeps
// the arithmetic far from overflow however long the text is.
constexpr long long Saturated = 1'000'000;

bool isDecimalDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

int digitValue(QChar c, int base)
{
    int value = 99;
    if (isDecimalDigit(c))
        value = c.unicode() - u'0';
    else if (c >= u'a' && c <= u'f')
        value = c.unicode() - u'a' + 10;
    else if (c >= u'A' && c <= u'F')
        value = c.unicode() - u'A' + 10;
    return value < base ? value : -1;
}

long long readRadix(const QString &s, qsizetype i, int base, long long limit = Saturated)
{
    long long value = 0;
    for (; i < s.size(); ++i) {
        const int digit = digitValue(s.at(i), base);
        if (digit < 0)
            break;
        value = std::min(value * base + digit, limit);
    }
    return value;
}

// The decimal number at the start of s, rounded half to even, with its magnitude saturated.
long long readDecimal(const QString &s)
{
    qsizetype i = 0;
    bool negative = false;
    if (i < s.size() && (s.at(i) == u'+' || s.at(i) == u'-'))
        negative = s.at(i++) == u'-';

    // The number is kept as its significant digits (no leading zeros) and `pointAt`, the count
    // of those digits that stand before the decimal point: "12.5" is "125" with 2, "0.05" is
    // "5" with -1. Kept exact, so that a half is rounded on the value typed, not on a binary
    // approximation of it.
    QString digits;
    long long pointAt = 0;
    bool anyDigit = false;
    for (; i < s.size() && isDecimalDigit(s.at(i)); ++i) {
        anyDigit = true;
        if (digits.isEmpty() && s.at(i) == u'0')
            continue;
        digits.append(s.at(i));
        ++pointAt;
    }
    if (i < s.size() && s.at(i) == u'.') {
        for (++i; i < s.size() && isDecimalDigit(s.at(i)); ++i) {
            anyDigit = true;
            if (digits.isEmpty() && s.at(i) == u'0')
                --pointAt;
            else
                digits.append(s.at(i));
        }
    }
    if (!anyDigit)
        return 0;

    if (i < s.size() && QStringLiteral("eEdD").contains(s.at(i))) {
        qsizetype j = i + 1;
        bool negativeExponent = false;
        if (j < s.size() && (s.at(j) == u'+' || s.at(j) == u'-'))
            negativeExponent = s.at(j++) == u'-';
        if (j < s.size() && isDecimalDigit(s.at(j))) {
            // Zeros typed after the point move it as far as the text is long, and an exponent
            // can move it back; only an exponent larger than both can never be undone, so
            // reading it stops there, well before the arithmetic could overflow.
            const long long exponent = readRadix(s, j, 10, Saturated + s.size());
            pointAt += negativeExponent ? -exponent : exponent;
        }
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

    long long value = 0;
    if (s.startsWith(u'&')) {
        const QChar radix = s.size() > 1 ? s.at(1).toUpper() : QChar();
        if (radix == u'H')
            value = readRadix(s, 2, 16);
        else if (radix == u'O')
            value = readRadix(s, 2, 8);
    } else {
        value = readDecimal(s);
    }

    if (value < std::numeric_limits<qint16>::min() || value > std::numeric_limits<qint16>::max())
        throw SerialError(
            QStringLiteral("\"%1\" is out of the range of port numbers (-32768 to 32767)")
                .arg(shortened(text.trimmed())));
    return static_cast<qint16>(value);
}

} // namespace Serial
