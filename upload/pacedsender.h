#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <functional>

class SerialControl;

// Sends the message's upload stream one byte per tick of its timer `Timer1` through the serial
// control. An upload is in progress exactly while the timer runs; a port lost under it ends it.
class PacedSender : public QObject
{
    Q_OBJECT

public:
    using Clock = std::chrono::steady_clock;
    using ClockReader = std::function<Clock::time_point()>;

    explicit PacedSender(SerialControl &comm, ClockReader now = Clock::now,
                         QObject *parent = nullptr);

    // Copies the text as it is now. A Send during an upload starts the new one from its first
    // byte when the next byte of the old one was due.
    void startUpload(const QString &text);
    // What Timer1 runs: the next byte if it is due, otherwise the timer is set for the rest of
    // the wait.
    void tick();
    // The next byte now, due or not; the byte after it is due a whole interval later.
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
    void armTimer1();
    void fail(const QString &reason);

    SerialControl &m_comm;
    ClockReader m_now;
    QTimer m_timer1{this};
    Clock::time_point m_due{}; // when the next byte may go out
    QString m_pendingMessage;
    QByteArray m_stream; // pendingMessage as the bytes on the line
    qint16 m_nextCharPos = 0;
};

// What the user reads when an upload fails for `reason`: "The message was not sent: …." before
// the first byte went out, "The upload stopped after 3 of 6 characters: …." after it.
QString uploadFailureText(int sent, int total, const QString &reason);
