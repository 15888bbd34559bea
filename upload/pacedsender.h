#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

class SerialControl;

// Sends the message's upload stream one byte per tick of its timer `Timer1` through the serial
// control. An upload is in progress exactly while the timer runs; a port lost under it ends it.
class PacedSender : public QObject
{
    Q_OBJECT

public:
    explicit PacedSender(SerialControl &comm, QObject *parent = nullptr);

    // Copies the text as it is now. A Send during an upload starts the new one from its first
    // byte on the running timer's next tick.
    void startUpload(const QString &text);
    // One tick: the next byte goes out, or the upload stops and `failed` tells why.
    void sendNextChar();
    // Cuts the upload off where it is; nothing more is sent.
    void stop() { m_timer1.stop(); }

    bool isSending() const { return m_timer1.isActive(); }
    const QString &pendingMessage() const { return m_pendingMessage; }
    qint16 nextCharPos() const { return m_nextCharPos; }

signals:
    // Bytes sent so far of the bytes to send, after Send and after every byte.
    void progressed(int sent, int total);
    // A byte could not be written or the port went away, for the reason given; the upload has
    // been stopped.
    void failed(const QString &reason);

private:
    void fail(const QString &reason);

    SerialControl &m_comm;
    QTimer m_timer1{this};
    QString m_pendingMessage;
    QByteArray m_stream; // pendingMessage as the bytes on the line
    qint16 m_nextCharPos = 0;
};

// What the user reads when an upload fails for `reason`: "The message was not sent: …." before
// the first byte went out, "The upload stopped after 3 of 6 characters: …." after it.
QString uploadFailureText(int sent, int total, const QString &reason);
