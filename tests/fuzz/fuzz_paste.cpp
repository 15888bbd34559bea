// Drives the message text box with a sequence of edits taken from the input (pastes, typing,
// keys, cursor moves, undo, redo, program-set text, input-method commits) and aborts as soon as
// the message breaks a rule the device or the user relies on: at most MessageCapacity
// characters, every line break a CR LF pair, no surrogate pair split by clipping, the counter
// telling the room left. The pure text helpers behind the box get their own checks first.
#include "fuzzbytes.h"
#include "messageedit.h"
#include "messagetext.h"

#include <QApplication>
#include <QClipboard>
#include <QInputMethodEvent>
#include <QMimeData>
#include <QTest>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <optional>

namespace {

// Characters with a meaning to the box or the text document under it, so that most inputs
// reach them: every kind of line break, the document's frame markers, surrogate halves,
// no-break space, the object replacement character, controls.
const char16_t Alphabet[] = {u'a',   u'B',    u'$',   u' ',   u'\r',  u'\n',  u'\t',
                             0x2028, 0x2029,  0xFDD0, 0xFDD1, 0xD83D, 0xDE00, 0x00A0,
                             0x0000, 0xFFFC,  0x00E9, 0x000B, 0x000C, 0x0085, 0x200D,
                             0xFEFF, u'\x7f', u'\b',  0x00AD, 0x0301, 0x202E, u'1'};
constexpr uint8_t PairToken = 0xE0; // an emoji as a whole surrogate pair
constexpr uint8_t RawToken = 0xF0;  // from here on: any 16-bit unit from the next two bytes

QChar unitFrom(Bytes &bytes, uint8_t b)
{
    if (b >= RawToken)
        return QChar(char16_t(bytes.next() << 8 | bytes.next()));
    if (b < std::size(Alphabet))
        return QChar(Alphabet[b]);
    return QChar(char16_t(0x20 + b % 0x5f));
}

QString textFrom(Bytes &bytes, int maxLength)
{
    QString text;
    const int length = bytes.next() % (maxLength + 1);
    for (int k = 0; k < length; ++k) {
        const uint8_t b = bytes.next();
        if (b == PairToken)
            text += QStringLiteral("\U0001F600");
        else
            text += unitFrom(bytes, b);
    }
    return text;
}

bool hasLoneBreak(const QString &s)
{
    for (qsizetype i = 0; i < s.size(); ++i) {
        if (s.at(i) == u'\r' && (i + 1 == s.size() || s.at(i + 1) != u'\n'))
            return true;
        if (s.at(i) == u'\n' && (i == 0 || s.at(i - 1) != u'\r'))
            return true;
    }
    return false;
}

bool hasLoneSurrogate(const QString &s)
{
    for (qsizetype i = 0; i < s.size(); ++i) {
        if (s.at(i).isHighSurrogate() && i + 1 < s.size() && s.at(i + 1).isLowSurrogate())
            ++i;
        else if (s.at(i).isSurrogate())
            return true;
    }
    return false;
}

void dump(const char *name, const QString &text)
{
    std::fprintf(stderr, "  %s (%lld UTF-16 units):", name, static_cast<long long>(text.size()));
    for (const QChar c : text)
        std::fprintf(stderr, " %04x", c.unicode());
    std::fprintf(stderr, "\n");
}

[[noreturn]] void fail(const char *rule, const QString &text, const QString &result)
{
    std::fprintf(stderr, "%s\n", rule);
    dump("given", text);
    dump("result", result);
    std::abort();
}

bool isBreak(QChar c)
{
    return c == u'\r' || c == u'\n' || c == QChar::LineSeparator || c == QChar::ParagraphSeparator;
}

// The rules for withCrLfBreaks, counted from the input rather than by repeating its replacements:
// as many breaks as the input has (a CR LF pair being one), each as CR LF, every other character
// kept in order, and nothing left to change on a second pass.
void checkCrLfBreaks(const QString &text)
{
    const QString result = withCrLfBreaks(text);
    if (hasLoneBreak(result))
        fail("withCrLfBreaks left a lone CR or LF", text, result);
    if (result.contains(QChar::LineSeparator) || result.contains(QChar::ParagraphSeparator) ||
        result.contains(QChar(0xFDD0)) || result.contains(QChar(0xFDD1)))
        fail("withCrLfBreaks left a separator or frame marker", text, result);
    if (withCrLfBreaks(result) != result)
        fail("withCrLfBreaks changed its own result", text, result);

    QString kept;
    qsizetype breaks = 0;
    QString unmarked = text;
    unmarked.remove(QChar(0xFDD0));
    unmarked.remove(QChar(0xFDD1));
    for (qsizetype i = 0; i < unmarked.size(); ++i) {
        const QChar c = unmarked.at(i);
        if (!isBreak(c)) {
            kept += c;
            continue;
        }
        ++breaks;
        if (c == u'\r' && i + 1 < unmarked.size() && unmarked.at(i + 1) == u'\n')
            ++i;
    }
    if (result.count(QStringLiteral("\r\n")) != breaks)
        fail("withCrLfBreaks changed the number of line breaks", text, result);
    QString resultKept = result;
    resultKept.remove(QStringLiteral("\r\n"));
    if (resultKept != kept)
        fail("withCrLfBreaks changed characters other than line breaks", text, result);
}

bool splitsPairAt(const QString &text, qsizetype at)
{
    if (at <= 0 || at >= text.size())
        return false;
    return (text.at(at - 1) == u'\r' && text.at(at) == u'\n') ||
           (text.at(at - 1).isHighSurrogate() && text.at(at).isLowSurrogate());
}

// The rules for fittingStart: a start of the text, within the room, ending between two whole
// characters, and not one whole character shorter than the room allows.
void checkFittingStart(const QString &text, qsizetype room)
{
    const QString start = fittingStart(text, room);
    const QString roomText = QStringLiteral("room %1").arg(room);
    if (!text.startsWith(start))
        fail("fittingStart is not a start of the text", text, start);
    if (start.size() > std::max<qsizetype>(room, 0))
        fail("fittingStart is longer than the room", text, start + roomText);
    if (splitsPairAt(text, start.size()))
        fail("fittingStart splits a CR LF or surrogate pair", text, start);
    if (start.size() < text.size()) {
        const qsizetype next = splitsPairAt(text, start.size() + 1) ? 2 : 1;
        if (start.size() + next <= room)
            fail("fittingStart stops short of the room", text, start + roomText);
    }
    if (!fittingStart(text, room + 1).startsWith(start))
        fail("fittingStart with more room is not a longer start", text, start);
}

// The box with its protected paste entry made reachable, as a drop or a paste reaches it.
class FuzzedEdit : public MessageEdit
{
public:
    using MessageEdit::canInsertFromMimeData;
    using MessageEdit::insertFromMimeData;
};

QApplication *application = nullptr;
FuzzedEdit *edit = nullptr;
// What the window's counter shows: it is updated from textChanged, as in the window.
QString *counter = nullptr;

void ignoreMessages(QtMsgType, const QMessageLogContext &, const QString &) {}

// The message's index of a document position: every paragraph or line separator before it
// stands for a CR LF pair, one character more.
qsizetype messageIndex(const QString &document, int position)
{
    const QStringView before = QStringView(document).left(position);
    return position + before.count(QChar::ParagraphSeparator) + before.count(QChar::LineSeparator);
}

// What a paste of `text` must leave: the selection replaced by the longest start of the text,
// in CR LF form, that fits the room; the message unchanged when nothing fits.
QString expectedAfterPaste(const QString &text)
{
    const QString message = edit->message();
    const QString document = edit->document()->toRawText();
    const QTextCursor cursor = edit->textCursor();
    const qsizetype from = messageIndex(document, cursor.selectionStart());
    const qsizetype to = messageIndex(document, cursor.selectionEnd());
    const qsizetype room = MessageCapacity - message.size() + (to - from);
    const QString fitting = fittingStart(withCrLfBreaks(text), room);
    if (fitting.isEmpty())
        return message;
    return message.left(from) + fitting + message.mid(to);
}

struct Key
{
    Qt::Key key;
    Qt::KeyboardModifiers modifiers;
    // As the windowing system sends it: a control character for Ctrl+letter.
    const char *text;
};

const Key Keys[] = {
    {Qt::Key_Return, Qt::NoModifier, "\r"},
    {Qt::Key_Enter, Qt::KeypadModifier, "\r"},
    {Qt::Key_Return, Qt::ShiftModifier, "\r"},
    {Qt::Key_Return, Qt::ControlModifier, "\r"},
    {Qt::Key_Backspace, Qt::NoModifier, "\b"},
    {Qt::Key_Backspace, Qt::ControlModifier, "\b"},
    {Qt::Key_Delete, Qt::NoModifier, "\x7f"},
    {Qt::Key_Delete, Qt::ControlModifier, "\x7f"},
    {Qt::Key_Delete, Qt::ShiftModifier, "\x7f"},
    {Qt::Key_Tab, Qt::NoModifier, "\t"},
    {Qt::Key_Left, Qt::NoModifier, ""},
    {Qt::Key_Right, Qt::NoModifier, ""},
    {Qt::Key_Left, Qt::ShiftModifier, ""},
    {Qt::Key_Right, Qt::ShiftModifier, ""},
    {Qt::Key_Left, Qt::ControlModifier | Qt::ShiftModifier, ""},
    {Qt::Key_Right, Qt::ControlModifier, ""},
    {Qt::Key_Up, Qt::NoModifier, ""},
    {Qt::Key_Down, Qt::ShiftModifier, ""},
    {Qt::Key_Home, Qt::NoModifier, ""},
    {Qt::Key_End, Qt::ShiftModifier, ""},
    {Qt::Key_Insert, Qt::NoModifier, ""},
    {Qt::Key_Insert, Qt::ShiftModifier, ""},
    {Qt::Key_Insert, Qt::ControlModifier, ""},
    {Qt::Key_A, Qt::ControlModifier, "\x01"},
    {Qt::Key_C, Qt::ControlModifier, "\x03"},
    {Qt::Key_V, Qt::ControlModifier, "\x16"},
    {Qt::Key_X, Qt::ControlModifier, "\x18"},
    {Qt::Key_Y, Qt::ControlModifier, "\x19"},
    {Qt::Key_Z, Qt::ControlModifier, "\x1a"},
    {Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier, "\x1a"},
};

const QTextCursor::MoveOperation Moves[] = {
    QTextCursor::Start,
    QTextCursor::End,
    QTextCursor::StartOfLine,
    QTextCursor::EndOfLine,
    QTextCursor::Left,
    QTextCursor::Right,
    QTextCursor::Up,
    QTextCursor::Down,
    QTextCursor::WordLeft,
    QTextCursor::WordRight,
    QTextCursor::NextCharacter,
    QTextCursor::PreviousCharacter,
    QTextCursor::StartOfBlock,
    QTextCursor::EndOfBlock,
    QTextCursor::NextBlock,
    QTextCursor::PreviousBlock,
    QTextCursor::StartOfWord,
    QTextCursor::EndOfWord,
};

// One edit taken from the input. Returns the text it brought in (to know whether a lone
// surrogate half came from outside) and, for the edits whose outcome is known in advance,
// the message they must leave.
struct Outcome
{
    QString broughtIn;
    std::optional<QString> expected;
    QString done; // for the trace
};

QString units(const QString &text)
{
    QStringList list;
    for (const QChar c : text)
        list << QString::number(c.unicode(), 16).rightJustified(4, u'0');
    return u'[' + list.join(u' ') + u']';
}

Outcome applyOne(Bytes &bytes)
{
    Outcome outcome;
    switch (bytes.next() % 10) {
    case 0: { // paste or drop: the data reaches the box as mime data
        const QString text = textFrom(bytes, 160);
        QMimeData data;
        data.setText(text);
        outcome = {text, expectedAfterPaste(text), QStringLiteral("paste mime ") + units(text)};
        if (edit->canInsertFromMimeData(&data))
            edit->insertFromMimeData(&data);
        break;
    }
    case 1: { // paste through the clipboard
        const QString text = textFrom(bytes, 160);
        QGuiApplication::clipboard()->setText(text);
        outcome.broughtIn = text;
        outcome.done = QStringLiteral("paste clipboard ") + units(text);
        if (QGuiApplication::clipboard()->text() == text)
            outcome.expected = expectedAfterPaste(text);
        edit->paste();
        break;
    }
    case 2: { // mime data without text: rich text alone has no place in the message
        QMimeData data;
        data.setHtml(QStringLiteral("<b>bold</b>"));
        outcome.expected = edit->message();
        outcome.done = QStringLiteral("paste html");
        if (edit->canInsertFromMimeData(&data))
            edit->insertFromMimeData(&data);
        break;
    }
    case 3: {
        const uint8_t b = bytes.next();
        edit->moveCursor(Moves[b % std::size(Moves)],
                         b & 0x80 ? QTextCursor::KeepAnchor : QTextCursor::MoveAnchor);
        outcome.done = QStringLiteral("move %1%2")
                           .arg(Moves[b % std::size(Moves)])
                           .arg(b & 0x80 ? " keep anchor" : "");
        break;
    }
    case 4: { // a typed character, or an emoji as one keystroke
        const uint8_t b = bytes.next();
        const QString text = b == PairToken ? QStringLiteral("\U0001F600") : unitFrom(bytes, b);
        outcome.broughtIn = text;
        outcome.done = QStringLiteral("type ") + units(text);
        const char16_t unit = text.at(0).unicode();
        if (text.size() == 1 && unit >= 0x20 && unit < 0x7f)
            QTest::keyClick(edit, char(unit));
        else
            QTest::sendKeyEvent(QTest::Click, edit, Qt::Key_unknown, text, Qt::NoModifier);
        break;
    }
    case 5: {
        const Key &key = Keys[bytes.next() % std::size(Keys)];
        outcome.done =
            QStringLiteral("key %1 modifiers %2").arg(key.key, 0, 16).arg(key.modifiers, 0, 16);
        QTest::sendKeyEvent(QTest::Click, edit, key.key, QString::fromLatin1(key.text),
                            key.modifiers);
        break;
    }
    case 6:
        edit->undo();
        outcome.done = QStringLiteral("undo");
        break;
    case 7:
        edit->redo();
        outcome.done = QStringLiteral("redo");
        break;
    case 8: {
        const QString text = textFrom(bytes, 200);
        outcome = {text, fittingStart(withCrLfBreaks(text), MessageCapacity),
                   QStringLiteral("setMessage ") + units(text)};
        edit->setMessage(text);
        break;
    }
    case 9: { // an input method commits text, maybe replacing some around the cursor
        const QString text = textFrom(bytes, 8);
        const uint8_t b = bytes.next();
        int start = int(b % 7) - 3;
        int length = (b >> 3) % 5;
        // An input method replaces whole characters; one that cut a surrogate pair would bring
        // in the lone half itself, which is no fault of the box.
        const QTextCursor cursor = edit->textCursor();
        const QString raw = edit->document()->toRawText();
        const QString left = raw.left(cursor.selectionStart()) + raw.mid(cursor.selectionEnd());
        if (splitsPairAt(left, cursor.selectionStart() + start) ||
            splitsPairAt(left, cursor.selectionStart() + start + length))
            start = length = 0;
        outcome.broughtIn = text;
        outcome.done = QStringLiteral("input method ") + units(text) +
                       QStringLiteral(" replacing %1,%2").arg(start).arg(length);
        QInputMethodEvent event(QString(), {});
        event.setCommitString(text, start, length);
        QApplication::sendEvent(edit, &event);
        break;
    }
    }
    return outcome;
}

void checkBox(const QString &step, bool loneHalvesBroughtIn)
{
    const QString message = edit->message();
    if (message.size() > MessageCapacity)
        fail("message longer than the capacity", step, message);
    if (hasLoneBreak(message))
        fail("message holds a lone CR or LF", step, message);
    if (!loneHalvesBroughtIn && hasLoneSurrogate(message))
        fail("message holds a lone surrogate half no input brought in", step, message);
    if (*counter != counterCaption(message.size()))
        fail("counter does not show the room left", step, message + u'|' + *counter);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler(ignoreMessages);
    static int argc = 1;
    static char name[] = "fuzz-paste";
    static char *argv[] = {name, nullptr};
    application = new QApplication(argc, argv);
    edit = new FuzzedEdit;
    counter = new QString;
    QObject::connect(edit, &QPlainTextEdit::textChanged,
                     [] { *counter = counterCaption(edit->message().size()); });
    edit->resize(265, 107);
    edit->show();
    QApplication::setActiveWindow(edit);
    edit->setFocus();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Bytes bytes(data, size);

    const QString text = textFrom(bytes, 200);
    const qsizetype room = qsizetype(bytes.next()) - 4;
    checkCrLfBreaks(text);
    checkFittingStart(text, room);
    checkFittingStart(withCrLfBreaks(text), room);
    checkFittingStart(withCrLfBreaks(text), MessageCapacity);

    // Each input starts from an empty box with no history and an empty clipboard.
    QGuiApplication::clipboard()->clear();
    edit->setMessage(QString());
    *counter = counterCaption(edit->message().size());
    bool loneHalvesBroughtIn = false;
    // FUZZ_PASTE_TRACE=1 prints each edit and the message it left, to read a reproducer.
    static const bool trace = qEnvironmentVariableIsSet("FUZZ_PASTE_TRACE");
    for (int step = 0; step < 64 && !bytes.empty(); ++step) {
        const Outcome outcome = applyOne(bytes);
        if (trace)
            std::fprintf(stderr, "%d: %s -> %lld characters, cursor %d-%d: %s\n", step,
                         qPrintable(outcome.done), static_cast<long long>(edit->message().size()),
                         edit->textCursor().selectionStart(), edit->textCursor().selectionEnd(),
                         qPrintable(units(edit->message())));
        loneHalvesBroughtIn = loneHalvesBroughtIn || hasLoneSurrogate(outcome.broughtIn);
        const QString stepText =
            QStringLiteral("step %1, bringing in: ").arg(step) + outcome.broughtIn;
        if (outcome.expected && edit->message() != *outcome.expected)
            fail("edit left another message than the one expected", stepText,
                 edit->message() + QStringLiteral(" | expected: ") + *outcome.expected);
        checkBox(stepText, loneHalvesBroughtIn);
    }
    return 0;
}
