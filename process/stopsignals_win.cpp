// Stop requests and terminals on Windows. A console sends no signals: Ctrl-C, Ctrl-Break and
// the closing of the console window come as control events, each on a thread the system makes
// for it, which only passes them on to the event loop.

#include "stopsignals.h"

#include <QMetaObject>
#include <QMutex>
#include <csignal>

#include <io.h>
#include <windows.h>

namespace {

static_assert(CTRL_C_EVENT == 0 && CTRL_BREAK_EVENT == 1 && CTRL_SHUTDOWN_EVENT == 6);

// Held while an event is passed on and while the instance comes and goes.
QMutex guard;
StopSignals *instance = nullptr;
// Set once the instance has gone, that is once the program has stopped in order; made once and
// kept, as a handler may still be waiting on it.
const HANDLE stopped = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);

BOOL WINAPI onControl(DWORD event)
{
    const int signal = stopSignalOf(event);
    {
        const QMutexLocker locker(&guard);
        if (!instance)
            return FALSE;
        QMetaObject::invokeMethod(instance, "received", Qt::QueuedConnection, Q_ARG(int, signal));
    }
    // The system ends the process as soon as this returns from a closing console: the port is
    // closed first (the system allows five seconds).
    if (signal != SIGINT)
        ::WaitForSingleObject(stopped, 4000);
    return TRUE;
}

} // namespace

StopSignals::StopSignals(QObject *parent) : QObject(parent)
{
    const QMutexLocker locker(&guard);
    instance = this;
    ::ResetEvent(stopped);
    // Without a console (the window's program) there is nothing to hear.
    ::SetConsoleCtrlHandler(onControl, TRUE);
}

StopSignals::~StopSignals()
{
    ::SetConsoleCtrlHandler(onControl, FALSE);
    const QMutexLocker locker(&guard);
    instance = nullptr;
    ::SetEvent(stopped);
}

void StopSignals::readSignal() {}

void endBySignal(int signal)
{
    // A console program ends with its status; 128 + N says what stopped it, as on Linux.
    Q_UNUSED(signal);
}

bool isTerminal(FILE *stream)
{
    return ::_isatty(::_fileno(stream));
}
