#include "ptydevice.h"

#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <fcntl.h>
#include <pty.h>
#include <stdexcept>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// The folders QSerialPort (Qt 6.4) takes for its lock files, in its order.
QStringList lockFolders()
{
    return QStringList{"/var/lock", "/etc/locks", "/var/spool/locks",  "/var/spool/uucp",
                       "/tmp",      "/var/tmp",   "/var/lock/lockdev", "/run/lock"}
           << QStandardPaths::writableLocation(QStandardPaths::TempLocation);
}

// "LCK..pts_3" for /dev/pts/3, as QSerialPort and the UUCP tools name it.
QString lockName(const QString &path)
{
    const QString name = path.startsWith(u"/dev/") ? path.mid(5) : path;
    return QStringLiteral("LCK..") + QString(name).replace(u'/', u'_');
}

} // namespace

PtyDevice::PtyDevice()
{
    char name[256] = {};
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    m_path = QString::fromLocal8Bit(name);
    // Programs a test starts must not hold the device's far end, or unplugging it would not.
    ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_slave, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    // Raw from the start, so that nothing the line discipline does can hide a byte.
    termios raw{};
    ::tcgetattr(m_slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(m_slave, TCSANOW, &raw);
    m_watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    // Closes too: the kernel merges an event into an identical one just before it, so only
    // opens with closes between them stay apart.
    ::inotify_add_watch(m_watch, name, IN_OPEN | IN_CLOSE);
}

PtyDevice::~PtyDevice()
{
    if (m_watch >= 0)
        ::close(m_watch);
    if (m_master >= 0)
        ::close(m_master);
    if (m_slave >= 0)
        ::close(m_slave);
}

QByteArray PtyDevice::take()
{
    QByteArray bytes;
    char buffer[4096];
    for (;;) {
        const ssize_t n = m_master < 0 ? -1 : ::read(m_master, buffer, sizeof buffer);
        if (n <= 0)
            break;
        bytes.append(buffer, n);
    }
    return bytes;
}

int PtyDevice::opens()
{
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(m_watch, buffer, sizeof buffer);
        if (n <= 0)
            return m_opens;
        for (ssize_t at = 0; at < n;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            m_opens += (event->mask & IN_OPEN) ? 1 : 0;
            at += ssize_t(sizeof(inotify_event) + event->len);
        }
    }
}

termios PtyDevice::lineSettings() const
{
    termios settings{};
    ::tcgetattr(m_master, &settings);
    return settings;
}

void PtyDevice::setLineSettings(const termios &line)
{
    ::tcsetattr(m_slave, TCSANOW, &line);
}

QStringList PtyDevice::marks() const
{
    const termios line = lineSettings();
    QStringList marks{QStringLiteral("line %1/%2 baud, iflag %3 oflag %4 cflag %5 lflag %6")
                          .arg(cfgetispeed(&line))
                          .arg(cfgetospeed(&line))
                          .arg(line.c_iflag, 0, 16)
                          .arg(line.c_oflag, 0, 16)
                          .arg(line.c_cflag, 0, 16)
                          .arg(line.c_lflag, 0, 16)};
    QStringList seen; // /var/lock is /run/lock on Debian
    for (const QString &folder : lockFolders()) {
        QFile lock(QFileInfo(folder + u'/' + lockName(m_path)).canonicalFilePath());
        if (!seen.contains(lock.fileName()) && lock.open(QIODevice::ReadOnly))
            marks << lock.fileName() + QStringLiteral(": ") + QString::fromUtf8(lock.readAll());
        seen << lock.fileName();
    }
    int exclusive = 0;
    if (::ioctl(m_slave, TIOCGEXCL, &exclusive) == 0 && exclusive)
        marks << QStringLiteral("exclusive mode");
    // A lock on this end's own descriptor meets anyone else's, in this process too.
    if (::flock(m_slave, LOCK_EX | LOCK_NB) != 0)
        marks << QStringLiteral("flock");
    else
        ::flock(m_slave, LOCK_UN);
    return marks;
}

void PtyDevice::stopTaking()
{
    ::tcflow(m_slave, TCOOFF);
}

void PtyDevice::unplug()
{
    // Only the master goes: our slave descriptor keeps the pty's number taken until the program
    // has closed its port and dropped its lock file, so a test running beside this one can't be
    // handed the same number in between and find it "in use".
    ::close(m_master);
    m_master = -1;
}

void PtyDevice::send(const QByteArray &bytes)
{
    ::write(m_master, bytes.constData(), size_t(bytes.size()));
}

int PtyDevice::unread() const
{
    int count = 0;
    ::ioctl(m_slave, FIONREAD, &count);
    return count;
}

HostPorts hostWith(const QStringList &paths)
{
    HostPorts ports;
    for (const QString &path : paths)
        ports.append({path, path.isEmpty() ? QString() : QStringLiteral("pseudo-terminal")});
    return ports;
}

PortLister portsAt(const QStringList &paths)
{
    return [ports = hostWith(paths)] { return ports; };
}

bool QtPortHolder::open()
{
    const QString name = lockName(m_path);
    for (const QString &folder : lockFolders()) {
        const QFileInfo info(folder);
        if (info.isReadable() && (QFile::exists(folder + u'/' + name) || info.isWritable())) {
            m_lock = std::make_unique<QLockFile>(folder + u'/' + name);
            break;
        }
    }
    if (!m_lock || !m_lock->tryLock()) {
        m_lock.reset();
        return false;
    }
    m_fd =
        ::open(QFile::encodeName(m_path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0 || ::ioctl(m_fd, TIOCEXCL) != 0) {
        close();
        return false;
    }
    return true;
}

void QtPortHolder::close()
{
    if (m_fd >= 0) {
        ::ioctl(m_fd, TIOCNXCL);
        ::close(m_fd);
    }
    m_fd = -1;
    m_lock.reset();
}
