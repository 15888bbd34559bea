// Pacing benchmark: one full upload (124 characters and the closing CR) through a pseudo-terminal
// with the real paced sender and its timer. A reader thread of its own timestamps each byte at the
// pty's far end, so the figures are those of the line, not of the event loop timing itself.
//
//   build-bench/bench/bench-pacing              on the machine as it is
//   build-bench/bench/bench-pacing --busy N     N child processes spinning all along (N = 2
//                                               keeps both cores of a two-core machine busy)
//   build-bench/bench/bench-pacing --stall      the event loop blocked for 95 ms once, half-way
//                                               between two bytes in the middle of the upload
//   build-bench/bench/bench-pacing --ser2net    through ser2net (Debian's, started here on a
//                                               free port of 127.0.0.1) over RFC 2217, as a
//                                               display on the network is reached
//
// Prints when the first byte came after Send, the smallest gap between two bytes, the median,
// p99 and largest lateness (gap - 100 ms), the total from Send to the CR, and which targets were
// met; the targets are judged at the far end. Beside them the same figures as written: taken on
// the sender's thread right after each byte, they tell the sender's timing from the pty's
// delivery, which under load can hold a byte back for a few ms and so shorten the gap after it.
// Exits non-zero only when the measurement could not be made or the bytes at the far end were
// not the message's: a missed target is a figure, not a failure of the benchmark.
#include "messagetext.h"
#include "pacedsender.h"
#include "portselection.h"
#include "ptydevice.h"
#include "ser2net.h"
#include "serialcontrol.h"
#include "serialerror.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

double ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// Child processes that spin until they are killed; they die with this process too, so a crash
// here leaves no load behind on a machine shared with others.
std::vector<pid_t> startBusyLoops(int count)
{
    std::vector<pid_t> children;
    const pid_t parent = ::getpid();
    for (int i = 0; i < count; ++i) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) // died before the line above
                ::_exit(0);
            volatile unsigned long spins = 0;
            for (;;)
                spins = spins + 1;
        }
        if (pid > 0)
            children.push_back(pid);
    }
    return children;
}

void stopBusyLoops(const std::vector<pid_t> &children)
{
    for (const pid_t pid : children) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
}

// The nearest-rank percentile of sorted values.
double percentile(const std::vector<double> &sorted, double p)
{
    const size_t rank = size_t(std::ceil(p * double(sorted.size())));
    return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

struct Figures
{
    double first = 0;         // ms from Send to the first byte
    std::vector<double> gaps; // ms; gaps[0] ends at the second byte
    double minGap = 0;
    double medianLateness = 0, p99Lateness = 0, maxLateness = 0; // gap - interval, ms
    long long lateGaps = 0;                                      // over 10 ms late
    double total = 0;                                            // ms from Send to the last byte
};

Figures figures(const std::vector<Clock::time_point> &bytes, Clock::time_point sendAt)
{
    Figures result;
    result.first = ms(bytes.front() - sendAt);
    result.total = ms(bytes.back() - sendAt);
    std::vector<double> lateness;
    for (size_t i = 1; i < bytes.size(); ++i) {
        result.gaps.push_back(ms(bytes[i] - bytes[i - 1]));
        lateness.push_back(result.gaps.back() - double(SendInterval.count()));
    }
    std::sort(lateness.begin(), lateness.end());
    result.minGap = double(SendInterval.count()) + lateness.front();
    result.medianLateness = percentile(lateness, 0.5);
    result.p99Lateness = percentile(lateness, 0.99);
    result.maxLateness = lateness.back();
    result.lateGaps =
        std::count_if(lateness.begin(), lateness.end(), [](double late) { return late > 10.0; });
    return result;
}

void printTarget(const char *what, bool met)
{
    std::printf("  %-48s %s\n", what, met ? "met" : "NOT met");
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Times one full upload at the far end of a pseudo-terminal."));
    parser.addHelpOption();
    const QCommandLineOption busyOption(QStringLiteral("busy"),
                                        QStringLiteral("Keep N spinning child processes running."),
                                        QStringLiteral("N"));
    const QCommandLineOption stallOption(
        QStringLiteral("stall"),
        QStringLiteral("Block the event loop for 95 ms once in the middle of the upload."));
    const QCommandLineOption ser2netOption(
        QStringLiteral("ser2net"),
        QStringLiteral("Upload through ser2net over RFC 2217 instead of to the pty itself."));
    parser.addOptions({busyOption, stallOption, ser2netOption});
    parser.process(app);
    bool busyOk = true;
    const int busy = parser.isSet(busyOption) ? parser.value(busyOption).toInt(&busyOk) : 0;
    if (!busyOk || busy < 0 || busy > 64) {
        std::fprintf(stderr, "bench-pacing: --busy takes a number of processes from 0 to 64\n");
        return 2;
    }
    const bool stall = parser.isSet(stallOption);

    // Every letter, and pauses, so that a byte lost, doubled or out of place shows.
    QString message;
    for (int i = 0; message.size() < MessageCapacity; ++i)
        message += i % 20 == 19 ? QChar(PauseMarker) : QChar(u'A' + i % 26);
    QByteArray expected = message.toLatin1().replace(char(PauseMarker), PauseCode);
    expected.append(EndCode);

    std::unique_ptr<PtyDevice> device;
    try {
        device = std::make_unique<PtyDevice>();
    } catch (const std::exception &error) {
        std::fprintf(stderr, "bench-pacing: %s\n", error.what());
        return 1;
    }
    SerialControl comm;
    PacedSender sender(comm);
    Ser2net server({device->path()});
    const bool throughSer2net = parser.isSet(ser2netOption);
    if (throughSer2net && !server.start()) {
        std::fprintf(stderr, "bench-pacing: ser2net did not start: %s\n",
                     qPrintable(server.output()));
        return 1;
    }
    try {
        Serial::selectPort(comm, throughSer2net ? server.rfc2217() : QStringLiteral("1"),
                           hostWith({device->path()}));
    } catch (const SerialError &error) {
        std::fprintf(stderr, "bench-pacing: %s\n", qPrintable(error.message()));
        return 1;
    }

    // The reader stands in for the device, which takes each byte off the wire the moment it
    // ends; where it may, it runs ahead of everything else so that the load under test does
    // not delay the stopwatch too.
    QByteArray arrived;
    std::vector<Clock::time_point> arrivals;
    std::atomic<bool> stopReading{false};
    std::atomic<bool> realtime{false};
    std::thread reader([&] {
        const sched_param priority{1};
        realtime = ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &priority) == 0;
        while (!stopReading && arrived.size() < expected.size()) {
            pollfd pfd{device->masterFd(), POLLIN, 0};
            if (::poll(&pfd, 1, 20) <= 0)
                continue;
            const auto now = Clock::now();
            const QByteArray bytes = device->take();
            arrived.append(bytes);
            arrivals.insert(arrivals.end(), size_t(bytes.size()), now);
        }
    });

    const std::vector<pid_t> children = startBusyLoops(busy);
    if (int(children.size()) != busy) {
        std::fprintf(stderr, "bench-pacing: could start only %zu of %d busy processes\n",
                     children.size(), busy);
        stopReading = true;
        reader.join();
        stopBusyLoops(children);
        return 1;
    }

    // The stall begins half-way between two bytes, so the tick due in it comes 45 ms late.
    const int stallAfterByte = int(expected.size() / 2);
    Clock::time_point sendAt, stallStart, stallEnd;
    // The sender's own side: right after each byte's write() and the timer's setting. Where a
    // gap is shorter at the far end than here, the pty's delivery moved the bytes, not the sender;
    // taken after the write, a timestamp here can itself come late on a busy machine.
    std::vector<Clock::time_point> written;
    QString failure;
    QObject::connect(&sender, &PacedSender::progressed, &app, [&](int sent, int total) {
        if (sent > 0)
            written.push_back(Clock::now());
        if (stall && sent == stallAfterByte) {
            QTimer::singleShot(SendInterval / 2, Qt::PreciseTimer, &app, [&] {
                stallStart = Clock::now();
                std::this_thread::sleep_for(95ms);
                stallEnd = Clock::now();
            });
        }
        // The far end may still be reading the last byte.
        if (sent == total)
            QTimer::singleShot(300ms, &app, &QCoreApplication::quit);
    });
    QObject::connect(&sender, &PacedSender::failed, &app, [&](const QString &reason) {
        failure = reason;
        app.quit();
    });
    // Settled first: the load running and the port open, connected where it is on the network.
    QTimer::singleShot(500ms, &app, [&] {
        if (!comm.portOpen()) {
            failure = QStringLiteral("the port is not open half a second on");
            app.quit();
            return;
        }
        sendAt = Clock::now();
        sender.startUpload(message);
    });
    // A full upload takes 12.5 s; one still running long after is a result of its own.
    QTimer::singleShot(40s, &app, &QCoreApplication::quit);
    app.exec();
    stopBusyLoops(children);
    stopReading = true;
    reader.join();

    std::printf("mode: %s%s%s; reader thread %s\n",
                busy ? qPrintable(QStringLiteral("%1 busy processes").arg(busy)) : "machine as is",
                stall ? ", event loop blocked 95 ms once" : "",
                throughSer2net ? ", through ser2net over RFC 2217" : "",
                realtime ? "at real-time priority" : "at normal priority (its delays count too)");
    if (!failure.isEmpty()) {
        std::fprintf(stderr, "bench-pacing: the upload failed: %s\n", qPrintable(failure));
        return 1;
    }
    if (arrived != expected || written.size() != size_t(expected.size())) {
        std::fprintf(stderr, "bench-pacing: %lld of %lld bytes arrived, %s\n",
                     (long long)arrived.size(), (long long)expected.size(),
                     arrived.size() == expected.size() ? "NOT as sent" : "bytes were lost");
        return 1;
    }

    const double interval = double(SendInterval.count());
    const Figures line = figures(arrivals, sendAt);
    const Figures sent = figures(written, sendAt);
    const double ideal = double(expected.size()) * interval;
    std::printf("bytes                    %lld, as sent\n", (long long)arrived.size());
    std::printf("                         at the far end       as written\n");
    std::printf("first byte after Send    %8.2f ms          %8.2f ms\n", line.first, sent.first);
    std::printf("min gap                  %8.2f ms          %8.2f ms\n", line.minGap, sent.minGap);
    std::printf("lateness (gap - %g ms)  median, p99, max:\n", interval);
    std::printf("                         %6.3f %6.3f %6.3f  %6.3f %6.3f %6.3f ms\n",
                line.medianLateness, line.p99Lateness, line.maxLateness, sent.medianLateness,
                sent.p99Lateness, sent.maxLateness);
    std::printf("gaps over 10 ms late     %8lld             %8lld\n", (long long)line.lateGaps,
                (long long)sent.lateGaps);
    std::printf("total, Send to CR        %8.2f ms          %8.2f ms (%lld intervals: %.0f ms)\n",
                line.total, sent.total, (long long)expected.size(), ideal);
    if (stall) {
        const size_t stalled = size_t(stallAfterByte); // the gap that ends at the late byte
        std::printf("event loop blocked %.2f ms from %.2f ms after byte %d; at the far end the "
                    "gaps from there are %.2f, %.2f, %.2f ms\n",
                    ms(stallEnd - stallStart), ms(stallStart - arrivals[stalled - 1]),
                    stallAfterByte, line.gaps[stalled - 1], line.gaps[stalled],
                    line.gaps[stalled + 1]);
    }

    // The targets are the far end's: never two bytes closer than the interval (1 ms allowed
    // for the clock), the first byte one interval after Send, and lateness within what each
    // condition allows. As written, no two bytes ever closer than the interval; on a quiet
    // machine no drift: the whole upload within 10 ms of its intervals, there and as written.
    const double allowed = busy || stall ? 10.0 : 2.0;
    std::printf("targets, at the far end:\n");
    printTarget("every gap >= 99 ms", line.minGap >= interval - 1.0);
    printTarget(
        qPrintable(QStringLiteral("first byte 99 to %1 ms after Send").arg(interval + allowed)),
        line.first >= interval - 1.0 && line.first <= interval + allowed);
    if (stall)
        printTarget("one gap over 10 ms late at most (the stall's)", line.lateGaps <= 1);
    else
        printTarget(qPrintable(QStringLiteral("p99 lateness <= %1 ms").arg(allowed)),
                    line.p99Lateness <= allowed);
    if (!busy && !stall)
        printTarget(qPrintable(QStringLiteral("total <= %1 ms").arg(ideal + 10)),
                    line.total <= ideal + 10);
    std::printf("targets, as written:\n");
    printTarget("every gap >= 100 ms", sent.minGap >= interval);
    if (!busy && !stall)
        printTarget(qPrintable(QStringLiteral("total <= %1 ms").arg(ideal + 10)),
                    sent.total <= ideal + 10);
    return 0;
}
