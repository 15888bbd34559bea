// Responsiveness benchmark: the real window sends a full message (124 characters) to a
// pseudo-terminal while a 1 ms precise timer in the same event loop measures how late each of
// its ticks comes. The largest lateness is the longest the window would freeze during an upload.
// Also checks, at the far end of the pseudo-terminal, that exactly the message's bytes arrived.
//
//   build-bench/bench/bench-stall                                          offscreen
//   QT_QPA_PLATFORM=xcb xvfb-run -a build-bench/bench/bench-stall          on an X server
//
// Exits non-zero only when the upload did not deliver the expected bytes.
#include "mainwindow.h"
#include "messageedit.h"
#include "messagetext.h"
#include "pacedsender.h"
#include "ptydevice.h"

#include <QApplication>
#include <QMetaEnum>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <poll.h>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

double ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// Times every event the loop hands out, so that a stall can be put down to the one handler
// that caused it; nested deliveries count as part of the outermost one.
class TimedApplication : public QApplication
{
public:
    using QApplication::QApplication;

    bool notify(QObject *receiver, QEvent *event) override
    {
        if (!measuring || depth > 0)
            return QApplication::notify(receiver, event);
        // Named before delivery: a deferred delete takes the receiver with it.
        const char *className = receiver->metaObject()->className();
        const QString objectName = receiver->objectName();
        const QEvent::Type type = event->type();
        ++depth;
        const auto start = Clock::now();
        const bool result = QApplication::notify(receiver, event);
        const double took = ms(Clock::now() - start);
        --depth;
        // Ending the measurement is not part of what is measured.
        if (measuring && took > longest) {
            longest = took;
            longestWhat = QStringLiteral("%1 to %2")
                              .arg(QMetaEnum::fromType<QEvent::Type>().valueToKey(type),
                                   QString::fromLatin1(className));
            if (!objectName.isEmpty())
                longestWhat += u' ' + objectName;
        }
        return result;
    }

    bool measuring = false;
    int depth = 0;
    double longest = 0;
    QString longestWhat;
};

struct Lateness
{
    std::vector<double> ms;
    Clock::time_point previous;

    void tick()
    {
        const auto now = Clock::now();
        if (previous != Clock::time_point())
            ms.push_back(::ms(now - previous) - 1.0);
        previous = now;
    }
    void print(const char *when)
    {
        std::sort(ms.begin(), ms.end());
        const auto at = [&](double q) { return ms[size_t(q * (ms.size() - 1) + 0.5)]; };
        std::printf("1 ms timer, %-22s %6zu ticks, lateness median %.3f  p99 %.3f  max %.3f ms\n",
                    when, ms.size(), at(0.5), at(0.99), ms.back());
    }
};

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    std::unique_ptr<PtyDevice> ports[2];
    try {
        for (auto &port : ports)
            port = std::make_unique<PtyDevice>();
    } catch (const std::exception &error) {
        std::fprintf(stderr, "bench-stall: %s\n", error.what());
        return 1;
    }
    const PortLister ptys = portsAt({ports[0]->path(), ports[1]->path()});

    TimedApplication app(argc, argv);
    MainWindow window(ptys);
    window.show();
    auto *text = window.findChild<MessageEdit *>(QStringLiteral("Text1"));
    auto *send = window.findChild<QPushButton *>(QStringLiteral("Command2"));
    if (!text || !send) {
        std::fprintf(stderr, "the window has no Text1 or no Command2\n");
        return 1;
    }

    // Every letter, and pauses, so that a byte out of place would show.
    QString message;
    for (int i = 0; message.size() < MessageCapacity; ++i)
        message += i % 20 == 19 ? QChar(PauseMarker) : QChar(u'A' + i % 26);
    text->setMessage(message);
    QByteArray expected = message.toLatin1().replace(char(PauseMarker), PauseCode);
    expected.append(EndCode);

    // Reads both ports' far ends on a thread of its own, so reading never delays the event loop.
    QByteArray arrived[2];
    std::atomic<bool> stopReading{false};
    std::thread reader([&] {
        while (!stopReading) {
            pollfd pfds[2] = {{ports[0]->masterFd(), POLLIN, 0}, {ports[1]->masterFd(), POLLIN, 0}};
            if (::poll(pfds, 2, 20) <= 0)
                continue;
            for (int i = 0; i < 2; ++i) {
                if (pfds[i].revents & POLLIN)
                    arrived[i].append(ports[i]->take());
            }
        }
    });

    // The same probe on the idle window first: what this machine's scheduler alone costs.
    Lateness idle, upload;
    Lateness *current = &idle;
    bool clicked = false;
    QTimer probe;
    probe.setObjectName(QStringLiteral("probe"));
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(1ms);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        current->tick();
        // A little past the last byte, so that the end of the upload is measured too.
        if (clicked && !window.pacedSender().isSending()) {
            clicked = false;
            QTimer::singleShot(200, &app, [&] {
                app.measuring = false;
                probe.stop();
                app.quit();
            });
        }
    });
    // Settled first: the start-up work belongs to the start-up benchmark.
    QTimer::singleShot(500, &app, [&] { probe.start(); });
    QTimer::singleShot(3500, &app, [&] {
        current = &upload;
        upload.previous = idle.previous;
        app.measuring = true;
        // Clicked from an event of its own, so that the click is timed like any other handler.
        QTimer::singleShot(0, send, [&] {
            send->click();
            clicked = true;
        });
    });
    // An upload takes 12.5 s; one that has not ended long after is a result of its own.
    QTimer::singleShot(40s, &app, [&] { app.quit(); });
    app.exec();
    app.measuring = false;
    stopReading = true;
    reader.join();

    const bool measured = idle.ms.size() > 1 && upload.ms.size() > 1;
    if (measured) {
        std::printf("platform %s\n", qPrintable(QGuiApplication::platformName()));
        idle.print("window idle (3 s):");
        upload.print("during the upload:");
        std::printf("longest single event handled during the upload: %.3f ms (%s)\n", app.longest,
                    qPrintable(app.longestWhat));
    }
    std::printf("bytes at port 1: %lld of %lld, %s; at port 2: %lld\n",
                (long long)arrived[0].size(), (long long)expected.size(),
                arrived[0] == expected ? "as sent" : "NOT as sent", (long long)arrived[1].size());
    return measured && arrived[0] == expected && arrived[1].isEmpty() ? 0 : 1;
}
