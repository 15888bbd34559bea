#include "pacedsender.h"

#include "messagetext.h"
#include "serialcontrol.h"
#include "serialerror.h"

#include <algorithm>

PacedSender::PacedSender(SerialControl &comm, ClockReader now, QObject *parent)
    : QObject(parent), m_comm(comm), m_now(std::move(now))
{
    m_timer1.setObjectName(QStringLiteral("Timer1"));
    m_timer1.setTimerType(Qt::PreciseTimer);
    m_timer1.setInterval(SendInterval);
    connect(&m_timer1, &QTimer::timeout, this, &PacedSender::tick);
    connect(&m_comm, &SerialControl::portLost, this, [this](const QString &reason) {
        if (isSending())
            fail(reason);
    });
    // A byte that waited for a network port goes out once it is ready; the pace counts from it.
    connect(&m_comm, &SerialControl::portOpened, this, [this] {
        if (isSending() && m_now() >= m_due)
            sendNextChar();
    });
}

void PacedSender::startUpload(const QString &text)
{
    m_pendingMessage = text + QChar(EndCode);
    m_stream = uploadStream(text);
    m_nextCharPos = 1;
    // A running upload keeps its schedule, so the new upload's first byte keeps its distance
    // from the last byte of the one it replaces.
    if (!m_timer1.isActive()) {
        m_due = m_now() + SendInterval;
        armTimer1();
    }
    emit progressed(0, static_cast<int>(m_pendingMessage.size()));
}

void PacedSender::tick()
{
    // The timer comes early on purpose (see armTimer1()).
    if (m_now() < m_due)
        armTimer1();
    else
        sendNextChar();
}

void PacedSender::sendNextChar()
{
    if (m_nextCharPos < 1 || m_nextCharPos > m_stream.size())
        return;
    // A port on the network still connecting: the byte waits for portOpened (or portLost), the
    // timer looking in once an interval only, for a port box that names another port by then.
    if (m_comm.portOpening()) {
        m_timer1.setInterval(SendInterval);
        return;
    }
    // Ticks come straight from the event loop: nothing may escape from here.
    try {
        m_comm.setOutput(m_stream.at(m_nextCharPos - 1));
    } catch (const SerialError &error) {
        fail(error.message());
        return;
    }
    // A port lost under the write has ended the upload through portLost already.
    if (!m_comm.portOpen())
        return;
    ++m_nextCharPos;
    if (m_nextCharPos == m_pendingMessage.size() + 1) {
        m_timer1.stop();
    } else if (m_timer1.isActive()) {
        // The device needs the whole interval for each character: the next byte is due an
        // interval after this one was due, so that the timer's lateness does not add up over an
        // upload, or after this one went out where it went out late (the clock is read after
        // the write), so that a late tick delays the bytes after it instead of crowding them.
        m_due = std::max(m_due, m_now()) + SendInterval;
        armTimer1();
    }
    emit progressed(m_nextCharPos - 1, static_cast<int>(m_pendingMessage.size()));
}

void PacedSender::armTimer1()
{
    // The timer counts whole milliseconds and wakes up some way after the time it was set to.
    // Set to the millisecond before the byte is due, it comes a fraction early, and the tick
    // then waits out the rest on the event loop instead of sending late.
    const auto wait = std::chrono::floor<std::chrono::milliseconds>(m_due - m_now());
    m_timer1.start(std::max(wait, std::chrono::milliseconds(0)));
}

void PacedSender::fail(const QString &reason)
{
    // Retrying the same byte every tick would only repeat the failure; the user is told once.
    m_timer1.stop();
    emit failed(reason);
}

QString uploadFailureText(int sent, int total, const QString &reason)
{
    if (sent == 0)
        return QStringLiteral("The message was not sent: %1.").arg(reason);
    return QStringLiteral("The upload stopped after %1 of %2 characters: %3.")
        .arg(sent)
        .arg(total)
        .arg(reason);
}
