#include "pacedsender.h"

#include "messagetext.h"
#include "serialcontrol.h"
#include "serialerror.h"

PacedSender::PacedSender(SerialControl &comm, QObject *parent) : QObject(parent), m_comm(comm)
{
    m_timer1.setObjectName(QStringLiteral("Timer1"));
    m_timer1.setTimerType(Qt::PreciseTimer);
    m_timer1.setInterval(SendInterval);
    connect(&m_timer1, &QTimer::timeout, this, &PacedSender::sendNextChar);
    connect(&m_comm, &SerialControl::portLost, this, [this](const QString &reason) {
        if (isSending())
            fail(reason);
    });
}

void PacedSender::startUpload(const QString &text)
{
    m_pendingMessage = text + QChar(EndCode);
    m_stream = uploadStream(text);
    m_nextCharPos = 1;
    // A running timer keeps its phase, so the new upload's first byte keeps its distance from
    // the last byte of the one it replaces.
    if (!m_timer1.isActive())
        m_timer1.start();
    emit progressed(0, static_cast<int>(m_pendingMessage.size()));
}

void PacedSender::sendNextChar()
{
    if (m_nextCharPos < 1 || m_nextCharPos > m_stream.size())
        return;
    // A port on the network still connecting: the byte waits for the next tick. How long it
    // may take is the port's to say; when it gives up, portLost ends the upload.
    if (m_comm.portOpening())
        return;
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
    if (m_nextCharPos == m_pendingMessage.size() + 1)
        m_timer1.stop();
    else if (m_timer1.isActive())
        // The device needs the whole interval for each character. Counting it from this byte
        // makes a late tick delay the bytes after it; a fixed schedule would send the next one
        // early to catch up.
        m_timer1.start();
    emit progressed(m_nextCharPos - 1, static_cast<int>(m_pendingMessage.size()));
}

void PacedSender::fail(const QString &reason)
{
    // Retrying the same byte every tick would only repeat the failure; the user is told once
    // and can send again after fixing the port.
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
