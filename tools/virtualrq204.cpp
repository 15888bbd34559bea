#include "virtualrq204.h"

#include "serial/holders.h"
#include "serial/windows1252.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr unsigned char kPauseCode = 0x0B;
constexpr unsigned char kCr = 0x0D;
constexpr unsigned char kLf = 0x0A;
constexpr int kDisplayCapacity = 124;

QString hexOf(unsigned char byte)
{
    return QStringLiteral("<%1>").arg(uint(byte), 2, 16, QLatin1Char('0')).toUpper();
}

// Times are kept in microseconds and reported in milliseconds with 0.1 ms resolution.
long long usOf(std::chrono::steady_clock::duration duration)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(duration).count();
}

double ms(long long us)
{
    return std::round(static_cast<double>(us) / 100.0) / 10.0;
}

QString formatMs(long long us)
{
    return QString::number(ms(us), 'f', 1);
}

QString plural(qsizetype count, const char *noun)
{
    return QString::number(count) + u' ' + QLatin1String(noun) + (count == 1 ? "" : "s");
}

QString displayOf(unsigned char byte)
{
    if (byte == kPauseCode)
        return QStringLiteral("[pause]");
    if (byte >= 0x20 && byte < 0x7F)
        return QString(QChar(byte));
    return hexOf(byte);
}

struct GapStats
{
    long long min = 0, median = 0, max = 0;
};

std::optional<GapStats> gapStats(std::vector<long long> gapsUs)
{
    if (gapsUs.empty())
        return std::nullopt;
    std::sort(gapsUs.begin(), gapsUs.end());
    const size_t mid = gapsUs.size() / 2;
    const long long median = gapsUs.size() % 2 ? gapsUs[mid] : (gapsUs[mid - 1] + gapsUs[mid]) / 2;
    return GapStats{gapsUs.front(), median, gapsUs.back()};
}

// Why an upload ended, by VirtualRq204::End.
const char *const Reasons[] = {"complete", "stalled", "timeout", "signal"};

// The message the bytes of an upload carry, as the display shows it; `chars` is how many
// characters it has, a line break counted as one.
QString decodeMessage(const QByteArray &bytes, int *chars)
{
    QString text;
    *chars = 0;
    qsizetype end = bytes.size();
    if (bytes.endsWith(kCr))
        --end; // the final CR only marks the end of the upload
    for (qsizetype i = 0; i < end; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        const char32_t codePoint = windows1252CodePoint(byte);
        if (byte == kCr && i + 1 < end && bytes[i + 1] == kLf) {
            text += u'\n';
            ++i;
        } else if (byte == kPauseCode) {
            text += u'$';
        } else if (byte >= 0x20 && byte != 0x7F && codePoint != 0) {
            text += QChar(codePoint);
        } else {
            text += hexOf(byte);
        }
        ++*chars;
    }
    return text;
}

} // namespace

VirtualRq204::VirtualRq204(Options options) : m_options(std::move(options))
{
    m_deadline.setSingleShot(true);
    m_deadline.setTimerType(Qt::PreciseTimer);
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        if (settle(Clock::now()))
            armDeadline();
    });
}

VirtualRq204::~VirtualRq204()
{
    // The notifiers go first: a descriptor closed under one would be polled as invalid.
    m_reader.reset();
    m_closes.reset();
    for (const int fd : {m_watch, m_slave, m_master}) {
        if (fd >= 0)
            ::close(fd);
    }
}

bool VirtualRq204::open()
{
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
    m_device = QFile::decodeName(name);
    // Every close of the pty, to do what a real port's last close does (dropMarkNobodyHolds()).
    m_watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_watch >= 0)
        ::inotify_add_watch(m_watch, name, IN_CLOSE);

    // Linux ptys may force 8 data bits without parity: found out, so that a 7E1 uploader is
    // reported as unknown instead of passing as 8N1.
    termios tio{};
    if (::tcgetattr(m_slave, &tio) == 0) {
        termios framing = tio;
        framing.c_cflag = (framing.c_cflag & ~CSIZE) | CS7 | PARENB;
        termios readBack{};
        m_framingVisible = ::tcsetattr(m_slave, TCSANOW, &framing) == 0 &&
                           ::tcgetattr(m_slave, &readBack) == 0 &&
                           (readBack.c_cflag & CSIZE) == CS7 && (readBack.c_cflag & PARENB);
        // Raw like a bare UART, at the pty's default speed: a port the uploader never set up must
        // show in the settings warning rather than pass as 2400 baud.
        ::cfmakeraw(&tio);
        ::tcsetattr(m_slave, TCSANOW, &tio);
    }
    if (!m_framingVisible)
        std::fputs("rq204-virtual: note: this system's pseudo-terminals always run 8 data bits "
                   "without parity, so the uploader's data bits and parity cannot be checked\n",
                   stderr);

    show(QStringLiteral("Virtual RQ204 on %1 \u2014 type this path into the port box\n")
             .arg(m_device));
    m_reader = std::make_unique<QSocketNotifier>(m_master, QSocketNotifier::Read);
    connect(m_reader.get(), &QSocketNotifier::activated, this, [this] {
        const Clock::time_point now = Clock::now();
        // What fell due before these bytes came ends first: they belong to the next upload.
        if (!settle(now))
            return;
        if (!readAvailable(now))
            return stop(2);
        armDeadline();
    });
    if (m_watch >= 0) {
        m_closes = std::make_unique<QSocketNotifier>(m_watch, QSocketNotifier::Read);
        connect(m_closes.get(), &QSocketNotifier::activated, this,
                &VirtualRq204::dropMarkNobodyHolds);
    }
    startListening();
    armDeadline();
    return true;
}

void VirtualRq204::startListening()
{
    m_bytes.clear();
    m_times.clear();
    m_pendingCr = false;
    m_settings.reset();
    m_listenStart = Clock::now();
    show(QStringLiteral("RS232 -> RQ204\n"));
}

std::optional<std::pair<VirtualRq204::End, VirtualRq204::Clock::time_point>>
VirtualRq204::nextEnd() const
{
    std::optional<std::pair<End, Clock::time_point>> next;
    // An uploader that dies mid-message never sends the final CR: its bytes stall, instead of
    // being glued to the front of the next upload.
    if (!m_bytes.isEmpty())
        next = {m_pendingCr ? End::Complete : End::Stalled,
                m_times.back() + (m_pendingCr ? 1 : 5) * m_options.silence};
    if (m_options.once && m_options.timeout &&
        (!next || m_listenStart + *m_options.timeout < next->second))
        next = {End::Timeout, m_listenStart + *m_options.timeout};
    return next;
}

void VirtualRq204::armDeadline()
{
    // Idle, it sleeps until a byte or a signal comes. Qt's timer counts whole milliseconds: it is
    // set to the first one after the end falls due.
    const auto next = nextEnd();
    if (!next)
        return m_deadline.stop();
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(next->second - Clock::now());
    m_deadline.start(std::max(left, std::chrono::milliseconds(0)));
}

bool VirtualRq204::settle(Clock::time_point now)
{
    const auto next = nextEnd();
    if (!next || now < next->second)
        return true;
    finishUpload(next->first);
    if (m_options.once) {
        stop(next->first == End::Complete ? 0 : 1);
        return false;
    }
    startListening();
    return true;
}

void VirtualRq204::stopOnSignal()
{
    if (m_options.once || !m_bytes.isEmpty())
        finishUpload(End::Signal);
    stop(m_options.once ? 1 : 0);
}

void VirtualRq204::stop(int status)
{
    // Nothing more is taken in while the event loop winds down.
    m_reader->setEnabled(false);
    if (m_closes)
        m_closes->setEnabled(false);
    m_deadline.stop();
    QCoreApplication::exit(status);
}

void VirtualRq204::dropMarkNobodyHolds()
{
    alignas(inotify_event) char events[4096];
    bool closed = false;
    for (ssize_t n; (n = ::read(m_watch, events, sizeof events)) > 0;)
        closed = true;
    // A real port drops its exclusive mark at the last close, however its holder ended. This pty
    // lives on with this end's descriptor, so an uploader killed while it held the port would
    // leave it marked for good: the mark goes once no other process it can see has it open.
    int marked = 0;
    struct stat pty = {};
    if (closed && ::ioctl(m_slave, TIOCGEXCL, &marked) == 0 && marked &&
        ::fstat(m_slave, &pty) == 0 && !Holders::otherOpener(pty.st_rdev))
        ::ioctl(m_slave, TIOCNXCL);
}

bool VirtualRq204::readAvailable(Clock::time_point now)
{
    unsigned char buffer[256];
    const ssize_t count = ::read(m_master, buffer, sizeof buffer);
    if (count > 0) {
        // Bytes that arrive in one read are stamped together: their gap was below what this end
        // can resolve.
        for (ssize_t i = 0; i < count; ++i)
            receive(buffer[i], now);
        return true;
    }
    if (count < 0 && (errno == EAGAIN || errno == EINTR))
        return true;
    // With our own slave fd open this should not happen; bail out instead of spinning on it.
    std::fprintf(stderr, "rq204-virtual: reading %s failed: %s\n", qPrintable(m_device),
                 count == 0 ? "end of file" : std::strerror(errno));
    return false;
}

void VirtualRq204::receive(unsigned char byte, Clock::time_point at)
{
    if (m_bytes.isEmpty()) {
        // The uploader has set the port up by the time it sends, and may restore the old settings
        // after; on Linux the master reports the slave's termios, what the uploader set.
        termios tio{};
        m_settings = LineReport();
        if (::tcgetattr(m_master, &tio) == 0)
            m_settings = lineReport(tio, m_framingVisible);
        else
            m_settings->problems
                << QStringLiteral("settings unreadable (%1)").arg(std::strerror(errno));
        if (!m_settings->problems.isEmpty())
            show(QLatin1String(m_atLineStart ? "" : "\n") +
                 "Warning: line settings differ from 2400 8N1 without flow control: " +
                 m_settings->problems.join(QLatin1String(", ")) + u'\n');
    }
    m_bytes.append(static_cast<char>(byte));
    m_times.push_back(at);

    // A CR is only a line break if its LF follows before the silence runs out.
    const bool afterCr = std::exchange(m_pendingCr, byte == kCr);
    if (afterCr && byte == kLf)
        return show(QStringLiteral("\n"));
    if (afterCr)
        show(displayOf(kCr));
    if (byte != kCr)
        show(displayOf(byte));
}

void VirtualRq204::show(const QString &text)
{
    if (text.isEmpty())
        return;
    const QByteArray utf8 = text.toUtf8();
    std::fwrite(utf8.constData(), 1, static_cast<size_t>(utf8.size()), stdout);
    std::fflush(stdout);
    m_atLineStart = text.endsWith(u'\n');
}

void VirtualRq204::finishUpload(End end)
{
    const QLatin1String reason(Reasons[int(end)]);

    int chars = 0;
    const QString message = decodeMessage(m_bytes, &chars);
    std::vector<long long> gapsUs;
    for (size_t i = 1; i < m_times.size(); ++i)
        gapsUs.push_back(usOf(m_times[i] - m_times[i - 1]));

    QString report = QLatin1String(m_atLineStart ? "" : "\n");
    if (m_bytes.isEmpty()) {
        report += QStringLiteral("No upload received (%1)\n").arg(reason);
    } else {
        report += end == End::Complete ? QStringLiteral("Upload complete: ")
                                       : QStringLiteral("Upload incomplete (%1): ").arg(reason);
        report += plural(m_bytes.size(), "byte") + u'\n';
        report += QStringLiteral("Message (%1):\n").arg(plural(chars, "character"));
        for (const QString &line : message.split(u'\n'))
            report += QLatin1String("| ") + line + u'\n';
        if (const auto gaps = gapStats(gapsUs))
            report += QStringLiteral("Gaps: min %1 ms / median %2 ms / max %3 ms\n")
                          .arg(formatMs(gaps->min), formatMs(gaps->median), formatMs(gaps->max));
        else
            report += QStringLiteral("Gaps: none\n");
        if (chars > kDisplayCapacity)
            report += QStringLiteral("Warning: message has %1 characters (line break counted as "
                                     "one); the RQ204 holds at most %2\n")
                          .arg(chars)
                          .arg(kDisplayCapacity);
    }
    show(report);
    if (m_options.once)
        printSummary(end, message, chars, gapsUs);
}

void VirtualRq204::printSummary(End end, const QString &message, int chars,
                                const std::vector<long long> &gapsUs)
{
    QJsonArray gapsMs;
    for (const long long gap : gapsUs)
        gapsMs.append(ms(gap));
    const std::optional<GapStats> gaps = gapStats(gapsUs);

    QJsonObject summary{
        {"device", m_device},
        {"complete", end == End::Complete},
        {"reason", end == End::Complete ? QJsonValue() : QLatin1String(Reasons[int(end)])},
        {"count", qint64(m_bytes.size())},
        {"bytes", QString::fromLatin1(m_bytes.toHex(' ').toUpper())},
        {"message", message},
        {"chars", chars},
        {"gaps_ms", gapsMs},
        {"gap_min_ms", gaps ? ms(gaps->min) : QJsonValue()},
        {"gap_median_ms", gaps ? ms(gaps->median) : QJsonValue()},
        {"gap_max_ms", gaps ? ms(gaps->max) : QJsonValue()},
        {"first_byte_ms",
         m_times.empty() ? QJsonValue() : ms(usOf(m_times.front() - m_listenStart))},
        {"settings_ok", m_settings ? m_settings->problems.isEmpty() : QJsonValue()},
        {"warnings", QJsonArray::fromStringList(m_settings ? m_settings->problems : QStringList())},
    };
    const QJsonObject line = m_settings.value_or(LineReport()).fields;
    for (auto it = line.constBegin(); it != line.constEnd(); ++it)
        summary[it.key()] = it.value();
    show(QLatin1String("SUMMARY ") +
         QString::fromUtf8(QJsonDocument(summary).toJson(QJsonDocument::Compact)) + u'\n');
}
