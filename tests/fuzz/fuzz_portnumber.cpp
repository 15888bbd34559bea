// Feeds any text to the port selector's reading. Beyond crashes and undefined behaviour it aborts
// when a reading breaks a rule the user relies on: blanks, tabs and line feeds never matter, a
// decimal number reads as its exact value rounded half to even, or is refused when that value
// is no 16-bit number, and a text (a number, a device path, a network port) names a port or is
// refused in a line of words, never both.
#include "portnumber.h"
#include "portselection.h"
#include "remoteport.h"
#include "serialerror.h"

#include "fuzzbytes.h"

#include <QString>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace {

// The port number read, or nothing when the text was refused as out of range.
using Reading = std::optional<int>;

Reading read(const QString &text)
{
    try {
        return Serial::readPortNumber(text);
    } catch (const SerialError &) {
        return std::nullopt;
    }
}

QString shown(const Reading &reading)
{
    return reading ? QString::number(*reading) : QStringLiteral("out of range");
}

[[noreturn]] void fail(const char *rule, const QString &text, const QString &detail)
{
    std::fprintf(stderr, "%s\n  text (UTF-16 units):", rule);
    for (const QChar c : text.left(200))
        std::fprintf(stderr, " %04x", c.unicode());
    std::fprintf(stderr, "%s\n  %s\n", text.size() > 200 ? " ..." : "", qPrintable(detail));
    std::abort();
}

// Blanks, tabs and line feeds strewn through the text, where the input's bytes say.
QString withBlanks(const QString &text, Bytes &bytes)
{
    static const char16_t blanks[] = {u' ', u'\t', u'\n'};
    QString out;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        const uint8_t b = bytes.next();
        for (int k = 0; k < (b & 3); ++k)
            out.append(QChar(blanks[(b >> (2 + k)) % 3]));
        if (i < text.size())
            out.append(text.at(i));
    }
    return out;
}

// As --port reads it; the port box reads a network port the same way.
void checkPortText(const QString &text)
{
    const QString problem = Serial::portArgumentProblem(text);
    if (problem.size() > 200)
        fail("a refusal longer than a line", text, problem);
    if (!RemotePort::names(text))
        return;
    QString why;
    const std::optional<RemotePort::Address> address = RemotePort::parse(text, why);
    if (address.has_value() == !why.isEmpty() ||
        problem != (address ? QString() : "--port: " + why))
        fail("a network port and a refusal, or neither", text, problem + u'|' + why);
    if (address && (address->host.isEmpty() || address->port == 0))
        fail("a network port without its host or its port", text, address->text);
}

void checkAnyText(const QString &text, Bytes &bytes)
{
    checkPortText(text);
    const Reading reading = read(text);
    if (reading && (*reading < -32768 || *reading > 32767))
        fail("reading outside 16 bits", text, shown(reading));

    const QString blanked = withBlanks(text, bytes);
    const Reading again = read(blanked);
    if (again != reading)
        fail("blanks, tabs or line feeds changed the reading", blanked,
             shown(reading) + QStringLiteral(" without them, ") + shown(again) +
                 QStringLiteral(" with them"));

    const bool path = Serial::namesDevicePath(text);
    if (Serial::namesDevicePath(QStringLiteral(" \t\n") + text + QStringLiteral(" \n")) != path)
        fail("surrounding blanks changed whether a device path is named", text, QString());
}

// The decimal digits with the point after `pointAt` of them (which may lie before the first or
// past the last), rounded half to even; nothing when that is no 16-bit number. Exact integers
// only: the whole part is read as text, and the fraction is compared with one half through its
// first 30 digits plus whether any later digit is nonzero.
Reading exactRounding(bool negative, QString digits, qsizetype pointAt)
{
    if (pointAt < 0) {
        digits.prepend(QString(-pointAt, u'0'));
        pointAt = 0;
    }
    if (pointAt > digits.size())
        digits.append(QString(pointAt - digits.size(), u'0'));
    QString whole = digits.left(pointAt);
    const QString fraction = digits.mid(pointAt);
    while (whole.startsWith(u'0'))
        whole.remove(0, 1);
    if (whole.size() > 6)
        return std::nullopt;

    long long value = whole.isEmpty() ? 0 : whole.toLongLong();
    __int128 numerator = 0;
    __int128 scale = 1;
    bool sticky = false;
    for (qsizetype k = 0; k < fraction.size(); ++k) {
        const int digit = fraction.at(k).unicode() - u'0';
        if (k < 30) {
            numerator = numerator * 10 + digit;
            scale *= 10;
        } else {
            sticky = sticky || digit != 0;
        }
    }
    const __int128 twice = 2 * numerator;
    if (twice > scale || (twice == scale && (sticky || value % 2 == 1)))
        ++value;
    if (negative)
        value = -value;
    if (value < -32768 || value > 32767)
        return std::nullopt;
    return value;
}

QString decimalDigits(Bytes &bytes, int count)
{
    QString digits;
    for (int k = 0; k < count; ++k)
        digits.append(QChar(u'0' + bytes.next() % 10));
    return digits;
}

// A decimal number with a point, its parts and lengths chosen by the input's bytes, compared
// with its exact value. Long runs of zeros and large exponents are where a reading that keeps
// counts in bounded integers goes wrong, so the bytes can ask for them (runs of a few thousand:
// longer ones would slow every run down more than they find).
void checkDecimal(Bytes &bytes)
{
    const uint8_t shape = bytes.next();
    const int signKind = shape % 3;
    const bool withExponent = shape & 0x04;
    const bool negativeExponent = shape & 0x08;
    const QChar exponentLetter = QStringLiteral("eEdD").at((shape >> 4) & 3);
    const bool exactHalf = shape & 0x40;

    const uint8_t zeros = bytes.next();
    const qsizetype leadingZeros = zeros < 250 ? zeros % 16 : (zeros - 249) * 1000;
    const uint8_t fractionZeroBytes = bytes.next();
    const qsizetype fractionZeros =
        fractionZeroBytes < 240 ? fractionZeroBytes % 4 : (fractionZeroBytes - 239) * 300;
    const QString whole = QString(leadingZeros, u'0') + decimalDigits(bytes, bytes.next() % 12);
    QString fraction = QString(fractionZeros, u'0');
    if (exactHalf)
        fraction += u'5' + QString(bytes.next() % 8, u'0');
    else
        fraction += decimalDigits(bytes, bytes.next() % 48);

    long long exponent = 0;
    QString exponentText;
    if (withExponent) {
        exponent = (bytes.next() << 8 | bytes.next()) % 6000;
        const char *exponentSign = negativeExponent ? "-" : shape & 0x80 ? "+" : "";
        exponentText = exponentLetter + QLatin1String(exponentSign) + QString::number(exponent);
        if (negativeExponent)
            exponent = -exponent;
    }

    const char *const signs[] = {"", "+", "-"};
    const QString sign = QLatin1String(signs[signKind]);
    const QString text = sign + whole + u'.' + fraction + exponentText;
    const Reading expected =
        exactRounding(signKind == 2, whole + fraction, whole.size() + exponent);
    const Reading reading = read(text);
    checkAnyText(text, bytes);
    if (reading != expected)
        fail("decimal number not read as its exact value rounded half to even", text,
             QStringLiteral("read ") + shown(reading) + QStringLiteral(", exact value gives ") +
                 shown(expected));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Bytes bytes(data, size);
    // Copied rather than cast: the input need not be aligned for 16-bit units.
    QString utf16(qsizetype(size / 2), Qt::Uninitialized);
    std::memcpy(utf16.data(), data, size / 2 * 2);
    checkAnyText(utf16, bytes);
    const QString utf8 = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    checkAnyText(utf8, bytes);
    checkPortText(QStringLiteral("rfc2217://") + utf8);
    checkPortText(QStringLiteral("socket://") + utf8);

    Bytes decimal(data, size);
    checkDecimal(decimal);
    return 0;
}
