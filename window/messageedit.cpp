#include "messageedit.h"

#include "messagetext.h"

#include <QKeyEvent>
#include <QMimeData>

namespace {

// The document keeps a line break as one paragraph separator; the message has CR LF there.
QString documentToMessage(QString text)
{
    text.replace(QChar::ParagraphSeparator, QStringLiteral("\r\n"));
    text.replace(QChar::LineSeparator, QStringLiteral("\r\n"));
    return text;
}

QString messageToDocument(QString text)
{
    return text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

// Whether the text edit would insert the key's text, by the rules Qt's own text controls use:
// Ctrl and Ctrl+Shift are shortcuts, AltGr (Ctrl+Alt on Windows) types.
bool insertsText(const QKeyEvent *event)
{
    const QString text = event->text();
    if (text.isEmpty())
        return false;
    const QChar c = text.at(0);
    if (c.category() == QChar::Other_Format)
        return true;
    const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
    if (modifiers == Qt::ControlModifier || modifiers == (Qt::ShiftModifier | Qt::ControlModifier))
        return false;
    // A text edit takes a tab as text whenever the key reaches it (no other widget to go to).
    return c.isPrint() || c.category() == QChar::Other_PrivateUse || c.isHighSurrogate() ||
           c == u'\t';
}

} // namespace

QString MessageEdit::message() const
{
    // Raw text keeps a typed no-break space as it is instead of turning it into a blank.
    return documentToMessage(document()->toRawText());
}

void MessageEdit::setMessage(const QString &text)
{
    setPlainText(messageToDocument(fittingStart(withCrLfBreaks(text), MessageCapacity)));
}

qsizetype MessageEdit::room() const
{
    const QString selected = documentToMessage(textCursor().selectedText());
    return MessageCapacity - message().size() + selected.size();
}

void MessageEdit::insertMessageText(const QString &text, bool clip)
{
    const qsizetype free = room();
    const QString fitting =
        clip ? fittingStart(text, free) : (text.size() <= free ? text : QString());
    if (fitting.isEmpty())
        return;
    // An edit block of its own, so that undo takes back this insertion alone.
    QTextCursor cursor = textCursor();
    cursor.beginEditBlock();
    cursor.insertText(messageToDocument(fitting));
    cursor.endEditBlock();
    setTextCursor(cursor);
    ensureCursorVisible();
}

void MessageEdit::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        // With any modifier: the message knows one kind of line break, and the text edit would
        // otherwise insert one behind the limit's back.
        insertMessageText(QStringLiteral("\r\n"), false);
        event->accept();
        return;
    }
    if (insertsText(event)) {
        // The text edit would put a line or paragraph separator (printable to it) in as it
        // stands, one character by the key's text but two in the message: such a keystroke goes
        // in as the message's own text. At the limit a keystroke is refused outright.
        const QString typed = event->text();
        const QString asMessage = withCrLfBreaks(typed);
        if (asMessage != typed || typed.size() > room()) {
            insertMessageText(asMessage, false);
            event->accept();
            return;
        }
    }
    QPlainTextEdit::keyPressEvent(event);
}

void MessageEdit::inputMethodEvent(QInputMethodEvent *event)
{
    // An input method names the text it replaces relative to the cursor, as if the selection
    // were deleted. A range reaching outside the text is its mistake, and Qt would replace text
    // nobody chose (half a surrogate pair, say): such a commit replaces nothing, only inserts.
    const QTextCursor cursor = textCursor();
    const int textLeft =
        document()->characterCount() - 1 - (cursor.selectionEnd() - cursor.selectionStart());
    const int from = cursor.selectionStart() + event->replacementStart();
    const bool within = from >= 0 && from + event->replacementLength() <= textLeft;
    const QString commit = event->commitString();
    if (commit.isEmpty() && within) {
        QPlainTextEdit::inputMethodEvent(event);
        return;
    }
    // The replaced text comes back to the room before the commit string goes in.
    const int replaced = within ? event->replacementLength() : 0;
    const QString fitting =
        messageToDocument(fittingStart(withCrLfBreaks(commit), room() + replaced));
    QInputMethodEvent clipped(event->preeditString(), event->attributes());
    clipped.setCommitString(fitting, within ? event->replacementStart() : 0, replaced);
    QPlainTextEdit::inputMethodEvent(&clipped);
    event->setAccepted(clipped.isAccepted());
}

bool MessageEdit::canInsertFromMimeData(const QMimeData *source) const
{
    return source->hasText();
}

void MessageEdit::insertFromMimeData(const QMimeData *source)
{
    // Plain text only: rich text or images have no meaning on the device.
    if (source->hasText())
        insertMessageText(withCrLfBreaks(source->text()), true);
}
