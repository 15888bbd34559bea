#pragma once

#include <QByteArray>
#include <QString>
#include <chrono>

// The RQ204 keeps at most this many characters; a line break counts as two (CR LF).
constexpr qsizetype MessageCapacity = 124;
// Typed anywhere in the message to make the scrolling pause there.
constexpr char16_t PauseMarker = u'$';
// Sent in place of every PauseMarker.
constexpr char PauseCode = 0x0B;
// Ends every upload; the device starts showing the message when it arrives.
constexpr char EndCode = 0x0D;
// The device takes one character per interval.
constexpr std::chrono::milliseconds SendInterval{100};

// "121  characters remaining" for a message of three characters.
QString counterCaption(qsizetype messageLength);

// Text from outside (clipboard, drop, input method) with every kind of line break (LF, CR,
// CR LF, Unicode line and paragraph separators) turned into CR LF, the message's own form.
QString withCrLfBreaks(QString text);

// The longest start of `text` (in CR LF form) that fits `room` characters without splitting a
// CR LF pair or a surrogate pair.
QString fittingStart(const QString &text, qsizetype room);

// The upload stream, the bytes on the line for `message`: each character as its byte in the
// RQ204's code page (Windows-1252, "?" where it has none), every PauseMarker as PauseCode,
// then EndCode.
QByteArray uploadStream(const QString &message);
