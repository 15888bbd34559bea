#include "virtualrq204.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr unsigned char kPauseCode = 0x0B;
constexpr unsigned char kCr = 0x0D;
constexpr unsigned char kLf = 0x0A;
constexpr size_t kDisplayCapacity = 124;

volatile std::sig_atomic_t g_stopSignal = 0;

void onStopSignal(int signal)
{
    g_stopSignal = signal;
}

std::string hexByte(unsigned char byte)
{
    char text[3];
    std::snprintf(text, sizeof text, "%02X", byte);
    return text;
}

// Milliseconds with 0.1 ms resolution; gaps are kept in microseconds until printed.
std::string formatMs(long long us)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", static_cast<double>(us) / 1000.0);
    return text;
}

std::string plural(size_t count, const char *noun)
{
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

std::string jsonString(const std::string &text)
{
    std::string json = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            json += '\\';
            json += c;
        } else if (c == '\n') {
            json += "\\n";
        } else if (byte < 0x20) {
            json += "\\u00" + hexByte(byte);
        } else {
            json += c; // message text is already UTF-8
        }
    }
    return json + "\"";
}

// Windows-1252 only differs from Latin-1 in 0x80..0x9F; five of those codes are unassigned.
char32_t windows1252(unsigned char byte)
{
    static const char32_t high[32] = {
        0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
    if (byte >= 0x80 && byte < 0xA0)
        return high[byte - 0x80];
    return byte;
}

void appendUtf8(std::string &text, char32_t cp)
{
    if (cp < 0x80) {
        text += static_cast<char>(cp);
    } else if (cp < 0x800) {
        text += static_cast<char>(0xC0 | (cp >> 6));
        text += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        text += static_cast<char>(0xE0 | (cp >> 12));
        text += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::optional<long> baudOf(speed_t speed)
{
    static const struct
    {
        speed_t speed;
        long baud;
    } table[] = {
        {B0, 0},           {B50, 50},       {B75, 75},         {B110, 110},       {B134, 134},
        {B150, 150},       {B200, 200},     {B300, 300},       {B600, 600},       {B1200, 1200},
        {B1800, 1800},     {B2400, 2400},   {B4800, 4800},     {B9600, 9600},     {B19200, 19200},
        {B38400, 38400},   {B57600, 57600}, {B115200, 115200}, {B230400, 230400},
#ifdef B460800
        {B460800, 460800},
#endif
#ifdef B921600
        {B921600, 921600},
#endif
    };
    for (const auto &entry : table) {
        if (entry.speed == speed)
            return entry.baud;
    }
    return std::nullopt; // e.g. a custom rate set through termios2
}

std::string displayOf(unsigned char byte)
{
    if (byte == kPauseCode)
        return "[pause]";
    if (byte >= 0x20 && byte < 0x7F)
        return std::string(1, static_cast<char>(byte));
    return "<" + hexByte(byte) + ">";
}

bool parseNumber(const char *text, long min, long max, long *value)
{
    if (text == nullptr || *text < '0' || *text > '9')
        return false;
    errno = 0;
    char *end = nullptr;
    const long number = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || number < min || number > max)
        return false;
    *value = number;
    return true;
}

void printUsage(std::FILE *to)
{
    std::fputs("Usage: rq204-virtual [--once] [--timeout-s N] [--silence-ms N] [--path-file FILE]\n"
               "Pretends to be an RQ204 LCD on a pseudo-terminal and shows what an uploader "
               "sends.\n"
               "  --silence-ms N    silence after a CR that ends an upload (default 400)\n"
               "  --once            exit after one upload, last line: SUMMARY {json}\n"
               "  --timeout-s N     with --once: give up after N seconds, exit status 1\n"
               "  --path-file FILE  write the port path to FILE when ready (removed on exit)\n",
               to);
}

int usageError(const std::string &problem)
{
    std::fprintf(stderr, "rq204-virtual: %s\n", problem.c_str());
    printUsage(stderr);
    return 2;
}

struct GapStats
{
    long long min = 0;
    long long median = 0;
    long long max = 0;
};

GapStats gapStats(std::vector<long long> gapsUs)
{
    std::sort(gapsUs.begin(), gapsUs.end());
    const size_t mid = gapsUs.size() / 2;
    const long long median = gapsUs.size() % 2 ? gapsUs[mid] : (gapsUs[mid - 1] + gapsUs[mid]) / 2;
    return {gapsUs.front(), median, gapsUs.back()};
}

const char *reasonOf(int end)
{
    static const char *const reasons[] = {"complete", "stalled", "timeout", "signal"};
    return reasons[end];
}

} // namespace

VirtualRq204::VirtualRq204(Options options) : m_options(std::move(options)) {}

VirtualRq204::~VirtualRq204()
{
    // A stale path file would point scripts at a pts number the system may hand to someone else.
    if (m_pathFileWritten)
        ::unlink(m_options.pathFile.c_str());
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_master >= 0)
        ::close(m_master);
}

bool VirtualRq204::open()
{
    // Block the stop signals outside ppoll() so one arriving between two polls is not lost.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&stopSignals, signal);
    sigprocmask(SIG_BLOCK, &stopSignals, &m_waitMask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigdelset(&m_waitMask, signal);
        struct sigaction action = {};
        action.sa_handler = onStopSignal;
        sigemptyset(&action.sa_mask);
        sigaction(signal, &action, nullptr);
    }

    if (::openpty(&m_master, &m_slave, nullptr, nullptr, nullptr) != 0) {
        std::fprintf(stderr, "rq204-virtual: cannot open a pseudo-terminal: %s\n",
                     std::strerror(errno));
        return false;
    }
    ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_slave, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);

    char name[128] = {};
    if (::ttyname_r(m_slave, name, sizeof name) != 0) {
        std::fprintf(stderr, "rq204-virtual: cannot name the pseudo-terminal\n");
        return false;
    }
    m_device = name;

    // Linux ptys silently force 8 data bits without parity. Find out rather than assume, so
    // that a 7E1 uploader is reported as unknown instead of passing as 8N1.
    termios tio{};
    if (::tcgetattr(m_slave, &tio) == 0) {
        termios framing = tio;
        framing.c_cflag = (framing.c_cflag & ~CSIZE) | CS7 | PARENB;
        termios readBack{};
        m_framingVisible = ::tcsetattr(m_slave, TCSANOW, &framing) == 0 &&
                           ::tcgetattr(m_slave, &readBack) == 0 &&
                           (readBack.c_cflag & CSIZE) == CS7 && (readBack.c_cflag & PARENB);
        // Raw like a bare UART, but at the pty's default speed: a port the uploader never set
        // up must show up in the settings warning rather than pass as 2400 baud.
        ::cfmakeraw(&tio);
        ::tcsetattr(m_slave, TCSANOW, &tio);
    }
    if (!m_framingVisible)
        std::fputs("rq204-virtual: note: this system's pseudo-terminals always run 8 data bits "
                   "without parity, so the uploader's data bits and parity cannot be checked\n",
                   stderr);

    show("Virtual RQ204 on " + m_device + " \u2014 type this path into the port box\n");
    startListening();
    return m_options.pathFile.empty() || writePathFile();
}

bool VirtualRq204::writePathFile()
{
    // Written under another name and renamed, so a reader never sees a half-written path.
    const std::string temporary = m_options.pathFile + ".tmp";
    std::FILE *file = std::fopen(temporary.c_str(), "w");
    bool ok = file != nullptr && std::fprintf(file, "%s\n", m_device.c_str()) > 0;
    if (file != nullptr)
        ok = (std::fclose(file) == 0) && ok;
    ok = ok && std::rename(temporary.c_str(), m_options.pathFile.c_str()) == 0;
    if (!ok) {
        std::fprintf(stderr, "rq204-virtual: cannot write %s: %s\n", m_options.pathFile.c_str(),
                     std::strerror(errno));
        ::unlink(temporary.c_str());
        return false;
    }
    m_pathFileWritten = true;
    return true;
}

void VirtualRq204::startListening()
{
    m_bytes.clear();
    m_times.clear();
    m_pendingCr = false;
    m_settings.reset();
    m_listenStart = Clock::now();
    show("RS232 -> RQ204\n");
}

// An uploader that dies mid-message never sends the final CR; without a limit its bytes would
// be glued to the front of the next upload.
std::chrono::milliseconds VirtualRq204::stallLimit() const
{
    return 5 * m_options.silence;
}

std::optional<VirtualRq204::Clock::time_point> VirtualRq204::nextDeadline() const
{
    std::optional<Clock::time_point> deadline;
    if (m_pendingCr)
        deadline = m_times.back() + m_options.silence;
    else if (!m_bytes.empty())
        deadline = m_times.back() + stallLimit();
    if (m_options.once && m_options.timeout) {
        const Clock::time_point giveUp = m_listenStart + *m_options.timeout;
        deadline = deadline ? std::min(*deadline, giveUp) : giveUp;
    }
    return deadline;
}

int VirtualRq204::run()
{
    for (;;) {
        timespec wait{};
        timespec *waitFor = nullptr; // idle: sleep until a byte or a signal arrives
        if (const auto deadline = nextDeadline()) {
            const auto left = std::max(Clock::duration::zero(), *deadline - Clock::now());
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            wait.tv_sec = static_cast<time_t>(ns / 1000000000);
            wait.tv_nsec = static_cast<long>(ns % 1000000000);
            waitFor = &wait;
        }
        pollfd master{m_master, POLLIN, 0};
        const int ready = g_stopSignal == 0 ? ::ppoll(&master, 1, waitFor, &m_waitMask) : -1;
        if (ready < 0 && errno != EINTR && g_stopSignal == 0) {
            std::fprintf(stderr, "rq204-virtual: poll failed: %s\n", std::strerror(errno));
            return 2;
        }
        if (g_stopSignal != 0) {
            if (m_options.once || !m_bytes.empty())
                finishUpload(End::Signal);
            return m_options.once ? 1 : 0;
        }

        const Clock::time_point now = Clock::now();
        if (m_pendingCr && now >= m_times.back() + m_options.silence) {
            finishUpload(End::Complete);
            if (m_options.once)
                return 0;
            startListening();
            continue;
        }
        if (!m_bytes.empty() && !m_pendingCr && now >= m_times.back() + stallLimit()) {
            finishUpload(End::Stalled);
            if (m_options.once)
                return 1;
            startListening();
            continue;
        }
        if (m_options.once && m_options.timeout && now >= m_listenStart + *m_options.timeout) {
            finishUpload(End::Timeout);
            return 1;
        }
        if (ready > 0 && !readAvailable(now))
            return 2;
    }
}

bool VirtualRq204::readAvailable(Clock::time_point now)
{
    unsigned char buffer[256];
    const ssize_t count = ::read(m_master, buffer, sizeof buffer);
    if (count > 0) {
        // Bytes that arrive in one read are stamped together: their gap really was below what
        // this end can resolve.
        for (ssize_t i = 0; i < count; ++i)
            receive(buffer[i], now);
        return true;
    }
    if (count < 0 && (errno == EAGAIN || errno == EINTR))
        return true;
    // With our own slave fd open this should not happen; bail out instead of spinning on it.
    std::fprintf(stderr, "rq204-virtual: reading %s failed: %s\n", m_device.c_str(),
                 count == 0 ? "end of file" : std::strerror(errno));
    return false;
}

void VirtualRq204::receive(unsigned char byte, Clock::time_point at)
{
    if (m_bytes.empty()) {
        // The uploader has configured the port by the time it sends; after it closes the port
        // its serial library may restore the old settings, so look now and not later.
        m_settings = readLineSettings();
        if (!m_settings->problems.empty()) {
            std::string warning = "Warning: line settings differ from 2400 8N1 without flow "
                                  "control:";
            for (size_t i = 0; i < m_settings->problems.size(); ++i)
                warning += (i == 0 ? " " : ", ") + m_settings->problems[i];
            show((m_atLineStart ? "" : "\n") + warning + "\n");
        }
    }
    m_bytes.push_back(byte);
    m_times.push_back(at);

    // A CR is only a line break if its LF follows before the silence runs out.
    if (m_pendingCr) {
        m_pendingCr = false;
        if (byte == kLf) {
            show("\n");
            return;
        }
        show(displayOf(kCr));
    }
    if (byte == kCr) {
        m_pendingCr = true;
        return;
    }
    show(displayOf(byte));
}

void VirtualRq204::show(const std::string &text)
{
    if (text.empty())
        return;
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
    m_atLineStart = text.back() == '\n';
}

VirtualRq204::LineSettings VirtualRq204::readLineSettings() const
{
    LineSettings settings;
    termios tio{};
    // On Linux the master reports the slave's termios, i.e. what the uploader set.
    if (::tcgetattr(m_master, &tio) != 0) {
        settings.known = false;
        settings.problems.push_back(std::string("settings unreadable (") + std::strerror(errno) +
                                    ")");
        return settings;
    }

    settings.baud = baudOf(::cfgetospeed(&tio));
    if (m_framingVisible) {
        switch (tio.c_cflag & CSIZE) {
        case CS5:
            settings.dataBits = 5;
            break;
        case CS6:
            settings.dataBits = 6;
            break;
        case CS7:
            settings.dataBits = 7;
            break;
        default:
            settings.dataBits = 8;
            break;
        }
        settings.parity = "none";
        if (tio.c_cflag & PARENB) {
            const bool odd = tio.c_cflag & PARODD;
            settings.parity = odd ? "odd" : "even";
#ifdef CMSPAR
            if (tio.c_cflag & CMSPAR)
                settings.parity = odd ? "mark" : "space";
#endif
        }
    }
    settings.stopBits = (tio.c_cflag & CSTOPB) ? 2 : 1;
    const bool rtsCts = tio.c_cflag & CRTSCTS;
    const bool xonXoff = tio.c_iflag & (IXON | IXOFF);
    settings.flow = rtsCts && xonXoff ? "rtscts+xonxoff"
                    : rtsCts          ? "rtscts"
                    : xonXoff         ? "xonxoff"
                                      : "none";

    if (settings.baud != 2400)
        settings.problems.push_back(settings.baud ? std::to_string(*settings.baud) + " baud"
                                                  : std::string("unknown baud rate"));
    if (settings.dataBits && *settings.dataBits != 8)
        settings.problems.push_back(std::to_string(*settings.dataBits) + " data bits");
    if (settings.parity && *settings.parity != "none")
        settings.problems.push_back(*settings.parity + " parity");
    if (settings.stopBits != 1)
        settings.problems.push_back("2 stop bits");
    if (rtsCts)
        settings.problems.push_back("RTS/CTS flow control");
    if (xonXoff)
        settings.problems.push_back("XON/XOFF flow control");
    // On a real UART output processing rewrites bytes (LF -> CR LF), so the LCD would get
    // something other than what the uploader meant to send.
    if (tio.c_oflag & OPOST)
        settings.problems.push_back("output processing (OPOST) on");
    return settings;
}

std::string VirtualRq204::decodeMessage(const std::vector<unsigned char> &bytes, size_t *chars)
{
    std::string text;
    *chars = 0;
    size_t end = bytes.size();
    if (end > 0 && bytes[end - 1] == kCr)
        --end; // the final CR only marks the end of the upload
    for (size_t i = 0; i < end; ++i) {
        const unsigned char byte = bytes[i];
        if (byte == kCr && i + 1 < end && bytes[i + 1] == kLf) {
            text += '\n';
            ++i;
        } else if (byte == kPauseCode) {
            text += '$';
        } else if (byte >= 0x20 && byte < 0x7F) {
            text += static_cast<char>(byte);
        } else if (byte >= 0x80 && windows1252(byte) != 0) {
            appendUtf8(text, windows1252(byte));
        } else {
            text += "<" + hexByte(byte) + ">";
        }
        ++*chars;
    }
    return text;
}

void VirtualRq204::finishUpload(End end)
{
    const char *reason = reasonOf(static_cast<int>(end));

    size_t chars = 0;
    const std::string message = decodeMessage(m_bytes, &chars);
    std::vector<long long> gapsUs;
    for (size_t i = 1; i < m_times.size(); ++i)
        gapsUs.push_back(
            std::chrono::duration_cast<std::chrono::microseconds>(m_times[i] - m_times[i - 1])
                .count());

    std::string report = m_atLineStart ? "" : "\n";
    if (m_bytes.empty()) {
        report += std::string("No upload received (") + reason + ")\n";
    } else {
        report += end == End::Complete ? std::string("Upload complete: ")
                                       : std::string("Upload incomplete (") + reason + "): ";
        report += plural(m_bytes.size(), "byte") + "\n";
        report += "Message (" + plural(chars, "character") + "):\n";
        size_t lineStart = 0;
        for (;;) {
            const size_t lineEnd = message.find('\n', lineStart);
            report += "| " + message.substr(lineStart, lineEnd - lineStart) + "\n";
            if (lineEnd == std::string::npos)
                break;
            lineStart = lineEnd + 1;
        }
        if (gapsUs.empty()) {
            report += "Gaps: none\n";
        } else {
            const GapStats gaps = gapStats(gapsUs);
            report += "Gaps: min " + formatMs(gaps.min) + " ms / median " + formatMs(gaps.median) +
                      " ms / max " + formatMs(gaps.max) + " ms\n";
        }
        if (chars > kDisplayCapacity)
            report += "Warning: message has " + std::to_string(chars) +
                      " characters (line break counted as one); the RQ204 holds at most " +
                      std::to_string(kDisplayCapacity) + "\n";
    }
    show(report);
    if (m_options.once)
        printSummary(end, message, chars, gapsUs);
}

void VirtualRq204::printSummary(End end, const std::string &message, size_t chars,
                                const std::vector<long long> &gapsUs)
{
    const auto join = [](const auto &items, const auto &format) {
        std::string text;
        for (const auto &item : items)
            text += (text.empty() ? "" : ",") + format(item);
        return text;
    };

    std::string hex;
    for (const unsigned char byte : m_bytes)
        hex += (hex.empty() ? "" : " ") + hexByte(byte);

    std::string json = "{\"device\":" + jsonString(m_device);
    json += std::string(",\"complete\":") + (end == End::Complete ? "true" : "false");
    json += ",\"reason\":" + (end == End::Complete ? std::string("null")
                                                   : jsonString(reasonOf(static_cast<int>(end))));
    json += ",\"count\":" + std::to_string(m_bytes.size());
    json += ",\"bytes\":" + jsonString(hex);
    json += ",\"message\":" + jsonString(message);
    json += ",\"chars\":" + std::to_string(chars);
    json += ",\"gaps_ms\":[" + join(gapsUs, formatMs) + "]";
    if (gapsUs.empty()) {
        json += ",\"gap_min_ms\":null,\"gap_median_ms\":null,\"gap_max_ms\":null";
    } else {
        const GapStats gaps = gapStats(gapsUs);
        json += ",\"gap_min_ms\":" + formatMs(gaps.min) +
                ",\"gap_median_ms\":" + formatMs(gaps.median) +
                ",\"gap_max_ms\":" + formatMs(gaps.max);
    }
    json += ",\"first_byte_ms\":" +
            (m_times.empty() ? std::string("null")
                             : formatMs(std::chrono::duration_cast<std::chrono::microseconds>(
                                            m_times.front() - m_listenStart)
                                            .count()));
    if (m_settings && m_settings->known) {
        const LineSettings &s = *m_settings;
        json += ",\"baud\":" + (s.baud ? std::to_string(*s.baud) : std::string("null"));
        json += ",\"data_bits\":" + (s.dataBits ? std::to_string(*s.dataBits) : "null");
        json += ",\"parity\":" + (s.parity ? jsonString(*s.parity) : "null");
        json += ",\"stop_bits\":" + std::to_string(s.stopBits);
        json += ",\"flow\":" + jsonString(s.flow);
    } else {
        json += ",\"baud\":null,\"data_bits\":null,\"parity\":null,\"stop_bits\":null,"
                "\"flow\":null";
    }
    json += std::string(",\"settings_ok\":") + (!m_settings                    ? "null"
                                                : m_settings->problems.empty() ? "true"
                                                                               : "false");
    json += ",\"warnings\":[" +
            join(m_settings ? m_settings->problems : std::vector<std::string>(), jsonString) + "]}";
    show("SUMMARY " + json + "\n");
}

int main(int argc, char **argv)
{
    VirtualRq204::Options options;
    bool timeoutGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        long number = 0;
        if (arg == "--help" || arg == "-h") {
            printUsage(stdout);
            return 0;
        } else if (arg == "--once") {
            options.once = true;
            continue;
        } else if (arg == "--silence-ms") {
            if (!parseNumber(value, 1, 60000, &number))
                return usageError("--silence-ms needs a number of milliseconds, 1 to 60000");
            options.silence = std::chrono::milliseconds(number);
        } else if (arg == "--timeout-s") {
            if (!parseNumber(value, 1, 86400, &number))
                return usageError("--timeout-s needs a number of seconds, 1 to 86400");
            options.timeout = std::chrono::seconds(number);
            timeoutGiven = true;
        } else if (arg == "--path-file") {
            if (value == nullptr || *value == '\0')
                return usageError("--path-file needs a file name");
            options.pathFile = value;
        } else {
            return usageError("unknown argument '" + arg + "'");
        }
        ++i; // consumed the option's value
    }
    if (timeoutGiven && !options.once)
        return usageError("--timeout-s only makes sense with --once");

    VirtualRq204 device(options);
    if (!device.open())
        return 2;
    return device.run();
}
