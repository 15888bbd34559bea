#pragma once

#include <QPlainTextEdit>

// The message text box, holding at most MessageCapacity characters, a line break (CR LF) counted
// two, for typing, pasting, dropping, input methods and text set by the program; undo and redo
// go back only to texts that held it. Its font and wrapping are part of the window's layout.
class MessageEdit : public QPlainTextEdit
{
    Q_OBJECT

public:
    using QPlainTextEdit::QPlainTextEdit;

    // The message text as the rest of the program sees it, line breaks as CR LF.
    QString message() const;
    // Sets the text as the program's own change; what doesn't fit is dropped.
    void setMessage(const QString &text);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void inputMethodEvent(QInputMethodEvent *event) override;
    bool canInsertFromMimeData(const QMimeData *source) const override;
    void insertFromMimeData(const QMimeData *source) override;

private:
    // Room for an insertion at the cursor, the selection it would replace counted as free.
    qsizetype room() const;
    // Inserts the CR LF text at the cursor: what fits, or, with clip false, all of it or nothing.
    void insertMessageText(const QString &text, bool clip);
};
