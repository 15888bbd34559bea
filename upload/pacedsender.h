#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

class SerialControl;

// Sends the message one character per tick of its timer through the serial control: each
// "$" as the pause code, then a final carriage return. An upload is in progress exactly while
// the timer runs.
class PacedSender : public QObject
{
    Q_OBJECT

public:
    explicit PacedSender(SerialControl &comm, QObject *parent = nullptr);

    // Copies the text as it is now; a Send during an upload starts the new one from its first byte.
    void startUpload(const QString &text);
    void sendNextChar();

    bool isSending() const { return m_timer1.isActive(); }
    QTimer &timer() { return m_timer1; }
    const QString &pendingMessage() const { return m_pendingMessage; }
    qint16 nextCharPos() const { return m_nextCharPos; }

signals:
    // Bytes sent so far of the bytes to send, after Send and after every byte.
    void progressed(int sent, int total);
    // A byte could not be written; the upload has been stopped. Reported once per failure.
    void failed(const QString &message);

private:
    void stopWithFailure(const QString &reason);

    SerialControl &m_comm;
    QTimer m_timer1;
    QString m_pendingMessage;
    qint16 m_nextCharPos = 0;
};
