#include "pacedsender.h"

#include "messagetext.h"
#include "serialcontrol.h"
#include "serialerror.h"

PacedSender::PacedSender(SerialControl &comm, QObject *parent) : QObject(parent), m_comm(comm)
{
    m_timer1.setTimerType(Qt::PreciseTimer);
    m_timer1.setInterval(SendInterval);
    connect(&m_timer1, &QTimer::timeout, this, [this] {
        // Ticks come straight from the event loop, so nothing may escape from here.
        try {
            sendNextChar();
        } catch (const std::exception &error) {
            stopWithFailure(QString::fromStdString(error.what()));
        }
    });
    // A device that goes away between two ticks is reported at once, not at the next byte.
    connect(&m_comm, &SerialControl::portLost, this, [this](const QString &reason) {
        if (isSending())
            stopWithFailure(reason);
    });
}

void PacedSender::startUpload(const QString &text)
{
    m_pendingMessage = text + QChar(EndCode);
    m_nextCharPos = 1;
    m_timer1.start();
    emit progressed(0, m_pendingMessage.size());
}

void PacedSender::sendNextChar()
{
    if (m_nextCharPos < 1 || m_nextCharPos > m_pendingMessage.size())
        return;
    QChar c = m_pendingMessage.at(m_nextCharPos - 1);
    if (c == PauseMarker)
        c = QChar(PauseCode);
    try {
        m_comm.setOutput(QString(c));
    } catch (const std::exception &error) {
        stopWithFailure(QString::fromStdString(error.what()));
        return;
    }
    ++m_nextCharPos;
    if (m_nextCharPos == m_pendingMessage.size() + 1)
        m_timer1.stop();
    emit progressed(m_nextCharPos - 1, m_pendingMessage.size());
}

void PacedSender::stopWithFailure(const QString &reason)
{
    // Retrying the same byte every tick would only repeat the failure; the user is told once
    // and can send again after fixing the port.
    m_timer1.stop();
    const int sent = m_nextCharPos - 1;
    if (sent == 0)
        emit failed(QStringLiteral("The message was not sent: %1.").arg(reason));
    else
        emit failed(QStringLiteral("The upload stopped after %1 of %2 characters: %3.")
                        .arg(sent)
                        .arg(m_pendingMessage.size())
                        .arg(reason));
}
