#pragma once

#include <QComboBox>
#include <QTimer>

// The port box, Combo1. It says when its text names a port to select: at once for a pick, a
// number or a device path; a port on the network typed at the keyboard once the typing pauses
// or the edit ends, so that the ports its unfinished number names on the way are never reached.
class PortBox : public QComboBox
{
    Q_OBJECT

public:
    explicit PortBox(QWidget *parent = nullptr);

    // Names a typed port on the network still waiting for the pause; whether there was one.
    bool nameWaitingPort();
    void showPopup() override;

signals:
    void portNamed();

private:
    QTimer m_typingPause{this};
    bool m_finishingEdit = false; // while the editor reports the end of an edit
};
