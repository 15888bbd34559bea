#pragma once

#include <QComboBox>
#include <QTimer>

// The port box, Combo1: an editable list of the ports found at start-up, into which any port
// can be typed. It says when its text names a port to select: at once for a pick, a number or a
// device path; for a port on the network typed at the keyboard, once the typing pauses, at the
// end of the edit or when asked, so that the ports its unfinished number names on the way are
// never reached. As narrow as the form has it, it shows a longer text elided while it does not
// have the focus, and the whole text when hovered and to a screen reader.
class PortBox : public QComboBox
{
    Q_OBJECT

public:
    explicit PortBox(QWidget *parent = nullptr);

    // Names the typed port on the network that waits for the typing to pause, if one does (Send
    // does not wait for the pause). Whether one did.
    bool nameWaitingPort();
    void showPopup() override;

signals:
    void portNamed();

private:
    void portTextChanged(const QString &text);

    QTimer m_typingPause{this};
    // Set while the editor reports the end of an edit.
    bool m_finishingEdit = false;
};
