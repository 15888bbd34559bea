#pragma once

#include <chrono>
#include <csignal>
#include <optional>
#include <string>
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
        std::string pathFile;
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

    struct LineSettings
    {
        bool known = true;
        std::optional<long> baud;
        std::optional<int> dataBits; // unset where the pty cannot carry them, see m_framingVisible
        std::optional<std::string> parity;
        int stopBits = 1;
        std::string flow = "none";
        std::vector<std::string> problems;
    };

    LineSettings readLineSettings() const;
    static std::string decodeMessage(const std::vector<unsigned char> &bytes, size_t *chars);

    bool writePathFile();
    void startListening();
    std::optional<Clock::time_point> nextDeadline() const;
    bool readAvailable(Clock::time_point now);
    void receive(unsigned char byte, Clock::time_point at);
    void show(const std::string &text);
    void finishUpload(End end);
    void printSummary(End end, const std::string &message, size_t chars,
                      const std::vector<long long> &gapsUs);
    std::chrono::milliseconds stallLimit() const;

    Options m_options;
    int m_master = -1;
    int m_slave = -1;
    std::string m_device;
    bool m_pathFileWritten = false;
    bool m_framingVisible = true;
    sigset_t m_waitMask{};
    Clock::time_point m_listenStart{};
    std::vector<unsigned char> m_bytes;
    std::vector<Clock::time_point> m_times;
    bool m_pendingCr = false;
    std::optional<LineSettings> m_settings;
    bool m_atLineStart = true;
};
