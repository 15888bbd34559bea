#pragma once

#include <QObject>
#include <csignal>
#include <cstdio>

class QSocketNotifier;

// What both programs need of the process they run in (not process.h, a Windows system header);
// the system's side is in stopsignals_unix.cpp and stopsignals_win.cpp.

// Turns the signals that ask a program to stop (SIGINT, SIGTERM, SIGHUP, SIGQUIT from Ctrl-\ and
// SIGPIPE from a reader that went away; a console's events on Windows) into a Qt signal on the
// event loop, so that the program ends in order (upload cut, port closed, its locks released)
// instead of dying between two bytes. Made before the first port is opened, one at a time; the
// actions it replaced come back when it goes.
class StopSignals : public QObject
{
    Q_OBJECT

public:
    explicit StopSignals(QObject *parent = nullptr);
    ~StopSignals() override;

signals:
    void received(int signal);

private:
    void readSignal();

    QSocketNotifier *m_notifier = nullptr;
};

// Ends the process by `signal` with the system's default action, as if it had never been
// caught, so that a shell loop around the program stops as well; returns only where that
// action does not end it.
void endBySignal(int signal);

// The signal a Windows console event (CTRL_C_EVENT 0 … CTRL_SHUTDOWN_EVENT 6) stands for:
// Ctrl-C and Ctrl-Break ask to stop as SIGINT does; a console closed, a logoff or a shutdown end
// the program as SIGTERM does elsewhere.
inline int stopSignalOf(unsigned long consoleEvent)
{
    return consoleEvent <= 1 ? SIGINT : SIGTERM;
}

// Whether `stream` is a terminal, where a person may be typing and watching.
bool isTerminal(FILE *stream);
