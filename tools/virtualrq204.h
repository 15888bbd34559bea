#pragma once

#include "linecheck.h"

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

// A stand-in for the RQ204 LCD: a pseudo-terminal whose slave the uploader opens like a serial
// port, while this end decodes and times what arrives on the master, on Qt's event loop.
class VirtualRq204 : public QObject
{
    Q_OBJECT

public:
    struct Options
    {
        std::chrono::milliseconds silence{400};
        std::optional<std::chrono::seconds> timeout;
        bool once = false;
    };

    explicit VirtualRq204(Options options);
    ~VirtualRq204() override;

    // Makes the pty and starts listening; QCoreApplication::exec() then returns the exit status.
    bool open();
    // The pty's path, for the uploader.
    const QString &path() const { return m_device; }
    // A stop signal: what has arrived is reported, and the program ends.
    void stopOnSignal();

private:
    using Clock = std::chrono::steady_clock;

    enum class End { Complete, Stalled, Timeout, Signal };

    void startListening();
    // What ends the upload if nothing more comes, and when: the silence after its CR, a stall,
    // or the end of --once's wait.
    std::optional<std::pair<End, Clock::time_point>> nextEnd() const;
    void armDeadline();
    // Ends whatever has fallen due by `now`; false once the program is done.
    bool settle(Clock::time_point now);
    void stop(int status);
    void dropMarkNobodyHolds();
    bool readAvailable(Clock::time_point now);
    void receive(unsigned char byte, Clock::time_point at);
    void show(const QString &text);
    void finishUpload(End end);
    void printSummary(End end, const QString &message, int chars,
                      const std::vector<long long> &gapsUs);

    Options m_options;
    int m_master = -1;
    int m_slave = -1;
    int m_watch = -1; // inotify on the pty's path
    QString m_device;
    bool m_framingVisible = true;
    std::unique_ptr<QSocketNotifier> m_reader;
    std::unique_ptr<QSocketNotifier> m_closes;
    QTimer m_deadline;
    Clock::time_point m_listenStart{};
    QByteArray m_bytes;
    std::vector<Clock::time_point> m_times;
    bool m_pendingCr = false;
    std::optional<LineReport> m_settings;
    bool m_atLineStart = true;
};
