#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <csignal>
#include <optional>
#include <vector>

// A stand-in for the RQ204 LCD: a pseudo-terminal whose slave side the uploader opens like a
// serial port, while this end decodes and times what arrives on the master side.
class VirtualRq204
{
public:
    struct Options
    {
        std::chrono::milliseconds silence{400};
        std::optional<std::chrono::seconds> timeout;
        bool once = false;
        QString pathFile;
    };

    explicit VirtualRq204(Options options);
    ~VirtualRq204();
    VirtualRq204(const VirtualRq204 &) = delete;
    VirtualRq204 &operator=(const VirtualRq204 &) = delete;

    bool open();
    int run();

private:
    using Clock = std::chrono::steady_clock;

    enum class End { Complete, Stalled, Timeout, Signal };

    struct LineReport
    {
        // The summary's baud, data_bits, parity, stop_bits and flow; any left out stay null,
        // e.g. data bits and parity where the pty cannot carry them (see m_framingVisible).
        QJsonObject fields;
        QStringList problems;
    };

    LineReport readLineSettings() const;
    static QString decodeMessage(const QByteArray &bytes, int *chars);

    bool writePathFile();
    void startListening();
    std::optional<Clock::time_point> nextDeadline() const;
    void dropMarkNobodyHolds();
    bool openedElsewhere() const;
    bool readAvailable(Clock::time_point now);
    void receive(unsigned char byte, Clock::time_point at);
    void show(const QString &text);
    void finishUpload(End end);
    void printSummary(End end, const QString &message, int chars,
                      const std::vector<long long> &gapsUs);
    std::chrono::milliseconds stallLimit() const;

    Options m_options;
    int m_master = -1;
    int m_slave = -1;
    int m_watch = -1; // inotify on the pty's path
    QString m_device;
    bool m_pathFileWritten = false;
    bool m_framingVisible = true;
    sigset_t m_waitMask{};
    Clock::time_point m_listenStart{};
    QByteArray m_bytes;
    std::vector<Clock::time_point> m_times;
    bool m_pendingCr = false;
    std::optional<LineReport> m_settings;
    bool m_atLineStart = true;
};
