// Signals and terminals on POSIX systems.

#include "stopsignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int Stops[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};
int signalPipe[2] = {-1, -1};
struct sigaction replaced[std::size(Stops)];

// Only what is safe in a handler: the number is written down for the event loop, without ever
// blocking (a full pipe drops a repeat, which changes nothing) and without touching the errno of
// the code it interrupted.
void onStopSignal(int signal)
{
    const int savedErrno = errno;
    const unsigned char number = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &number, 1);
    errno = savedErrno;
}

} // namespace

StopSignals::StopSignals(QObject *parent) : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) != 0)
        return;
    m_notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &StopSignals::readSignal);
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(Stops); ++i)
        ::sigaction(Stops[i], &action, &replaced[i]);
}

StopSignals::~StopSignals()
{
    if (!m_notifier)
        return;
    for (std::size_t i = 0; i < std::size(Stops); ++i)
        ::sigaction(Stops[i], &replaced[i], nullptr);
    delete m_notifier;
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    signalPipe[0] = signalPipe[1] = -1;
}

void StopSignals::readSignal()
{
    unsigned char number = 0;
    if (::read(signalPipe[0], &number, 1) == 1)
        emit received(number);
}

void endBySignal(int signal)
{
    ::signal(signal, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(signal);
}

bool isTerminal(FILE *stream)
{
    return ::isatty(::fileno(stream));
}
