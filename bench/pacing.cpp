// Pacing benchmark: one full upload (124 characters) through a pseudo-terminal with the real
// timer, timed at the far end by a thread of its own so the event loop is not measured by itself.
#include "messagetext.h"
#include "pacedsender.h"
#include "portselection.h"
#include "serialcontrol.h"

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <poll.h>
#include <pty.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;

static double ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    int master = -1, slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    const QString path = QString::fromLocal8Bit(name);
    SerialControl comm([path] { return HostPorts{{path, {}}}; });
    PacedSender sender(comm);
    Serial::selectPort(comm, QStringLiteral("1"));

    const qsizetype expected = MessageCapacity + 1;
    std::vector<Clock::time_point> arrivals;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        char buffer[256];
        while (static_cast<qsizetype>(arrivals.size()) < expected) {
            pollfd pfd{master, POLLIN, 0};
            if (::poll(&pfd, 1, 20000) <= 0)
                break;
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            const auto now = Clock::now();
            for (ssize_t i = 0; i < n; ++i)
                arrivals.push_back(now);
        }
        done = true;
    });

    Clock::time_point sendAt;
    QTimer::singleShot(200, [&] {
        sendAt = Clock::now();
        sender.startUpload(QString(MessageCapacity, u'x'));
    });
    QTimer poller;
    QObject::connect(&poller, &QTimer::timeout, [&] {
        if (done)
            app.quit();
    });
    poller.start(50);
    app.exec();
    reader.join();

    if (static_cast<qsizetype>(arrivals.size()) != expected) {
        std::fprintf(stderr, "received %zu of %lld bytes\n", arrivals.size(), (long long)expected);
        return 1;
    }
    std::vector<double> deviation;
    for (size_t i = 1; i < arrivals.size(); ++i)
        deviation.push_back(std::abs(ms(arrivals[i] - arrivals[i - 1]) - 100.0));
    std::sort(deviation.begin(), deviation.end());
    const auto at = [&](double q) { return deviation[size_t(q * (deviation.size() - 1) + 0.5)]; };
    std::printf("bytes                 %zu\n", arrivals.size());
    std::printf("first byte after Send %.2f ms (one interval is 100 ms)\n",
                ms(arrivals.front() - sendAt));
    std::printf("|gap - 100 ms|        min %.3f  median %.3f  p99 %.3f  max %.3f ms\n", at(0),
                at(0.5), at(0.99), deviation.back());
    std::printf("total (Send to CR)    %.2f ms (ideal %lld ms)\n", ms(arrivals.back() - sendAt),
                (long long)expected * 100);
    ::close(slave);
    ::close(master);
    return 0;
}
