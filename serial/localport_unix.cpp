// The serial device on POSIX systems, with the system's own calls; who holds it, as only Linux
// tells, is found in holders_linux.cpp.
//
// Not with Qt Serial Port: its open puts the tty into exclusive mode before the caller can look
// whether another program already did, and the only other way to look is a second open, whose
// close drops DTR and RTS and so resets many boards. Its lock file counts a live lock older
// than 30 s as stale, so the look at the lock files here is the only guard for a minicom that
// has run for a minute; it takes no flock(), which picocom looks for; and a port opened for
// writing only hears nothing of a hang-up between two writes.

#include "localport.h"

#include "holders.h"

#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <optional>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <limits>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

const QString NameTheDevice = QStringLiteral("name the device itself, such as /dev/ttyUSB0");

using Holders::Process;

bool processRunning(qint64 pid)
{
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

// The device is held by `holder`, where known. A hold from elsewhere in this process is just
// as real, but there is no other program to name.
QString inUseText(Process holder = {})
{
    const QString text = QStringLiteral("it is in use by another program");
    if (holder.pid <= 0 || holder.pid == ::getpid() || !processRunning(holder.pid))
        return text;
    if (const QString running = Holders::processName(holder.pid); !running.isEmpty())
        holder.name = running;
    if (holder.name.isEmpty())
        return QStringLiteral("%1 (PID %2)").arg(text).arg(holder.pid);
    return QStringLiteral("%1 (PID %2, %3)").arg(text).arg(holder.pid).arg(holder.name);
}

// The folders QSerialPort keeps its lock files in, in its order; the UUCP tools use the first.
const QStringList &lockFolders()
{
    static const QStringList folders =
        QStringList{"/var/lock", "/etc/locks", "/var/spool/locks",  "/var/spool/uucp",
                    "/tmp",      "/var/tmp",   "/var/lock/lockdev", "/run/lock"}
        << QStandardPaths::writableLocation(QStandardPaths::TempLocation);
    return folders;
}

// "LCK..ttyUSB0", "LCK..pts_3": the name QSerialPort and the UUCP tools give a device's lock.
QString lockFileName(const QString &canonicalPath)
{
    QString name = canonicalPath.startsWith(u"/dev/") ? canonicalPath.mid(5) : canonicalPath;
    return QStringLiteral("LCK..") + name.replace(u'/', u'_');
}

// Where this program's own lock goes: where QSerialPort would put it, for all who look there.
QString ownLockPath(const QString &canonicalPath)
{
    const QString name = lockFileName(canonicalPath);
    for (const QString &folder : lockFolders()) {
        const QFileInfo info(folder);
        if (info.isReadable() && (info.isWritable() || QFile::exists(folder + u'/' + name)))
            return folder + u'/' + name;
    }
    return {};
}

// The process a lock file names: QLockFile reads what QSerialPort writes ("1234\nprogram\n
// host\n…") and the UUCP tools' bare "      1234\n"; UUCP tools that name themselves write
// "      1234 minicom user\n".
std::optional<Process> lockOwner(const QString &file)
{
    Process owner;
    QString host;
    if (QLockFile(file).getLockInfo(&owner.pid, &host, &owner.name))
        return owner;
    QFile lock(file);
    if (!lock.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QList<QByteArray> words = lock.readLine(256).simplified().split(' ');
    bool ok = false;
    owner.pid = words.value(0).toLongLong(&ok);
    if (!ok || owner.pid <= 0 || owner.pid > std::numeric_limits<pid_t>::max())
        return std::nullopt;
    owner.name = QString::fromLocal8Bit(words.value(1));
    return owner;
}

// Whether the process that wrote a lock still runs: its PID is alive and has not passed to
// another program. The system keeps only the first 15 bytes of a process name.
bool stillRunning(const Process &owner)
{
    if (!processRunning(owner.pid))
        return false;
    const QString running = Holders::processName(owner.pid);
    return owner.name.isEmpty() || running.isEmpty() || owner.name.left(15) == running;
}

// What a look at a device is for: only looking (rq204-send --list-ports), or the open that
// follows, which takes over what an ended program left and meets flock() on its own descriptor.
enum class Purpose { Look, Open };

// Why a lock file in a folder QSerialPort may use keeps the device from use, or nothing. One of
// a live process means it is held; one whose process has ended is removed before an open
// (QLockFile would wait until the file is 30 s old), and never one of a live process.
QString lockedBy(const QString &device, Purpose purpose)
{
    const QString name = lockFileName(device);
    for (const QString &folder : lockFolders()) {
        const QString file = folder + u'/' + name;
        if (!QFile::exists(file))
            continue;
        const std::optional<Process> owner = lockOwner(file);
        if (!owner)
            return QStringLiteral("it is locked by %1, which does not say by whom; delete that "
                                  "file if no program uses the port")
                .arg(file);
        if (stillRunning(*owner))
            return inUseText(*owner);
        if (purpose == Purpose::Open && !QFile::remove(file) && QFile::exists(file))
            return QStringLiteral("it is locked by %1, left by a program that has ended (PID %2), "
                                  "and this user may not delete that file; ask whoever looks "
                                  "after this computer to delete it")
                .arg(file)
                .arg(owner->pid);
    }
    return {};
}

// The first folder on `path` that this user may not enter; empty if there is none.
QString closedFolder(const QString &path)
{
    const QString absolute = QFileInfo(path).absoluteFilePath();
    for (qsizetype slash = absolute.indexOf(u'/', 1); slash > 0;
         slash = absolute.indexOf(u'/', slash + 1)) {
        const QString folder = absolute.left(slash);
        if (::access(QFile::encodeName(folder).constData(), X_OK) != 0 && errno == EACCES)
            return folder;
    }
    return {};
}

// Why the device at `path` can't be used, or nothing; `canonicalPath` becomes the device's.
QString problemWith(const QString &path, Purpose purpose, QString &canonicalPath)
{
    char *resolved = ::realpath(QFile::encodeName(path).constData(), nullptr);
    if (!resolved) {
        const int error = errno;
        return openErrorText(error, error == EACCES ? closedFolder(path) : QString());
    }
    const QByteArray device(resolved);
    std::free(resolved);
    canonicalPath = QFile::decodeName(device);

    struct stat node = {};
    if (::stat(device.constData(), &node) != 0)
        return openErrorText(errno);
    if (S_ISDIR(node.st_mode))
        return openErrorText(EISDIR);
    if (!S_ISCHR(node.st_mode) || !Holders::serialTerminal(node.st_rdev))
        return openErrorText(ENOTTY);
    // Neither this program nor QSerialPort could make its lock file.
    if (QFile::encodeName(lockFileName(canonicalPath)).size() > NAME_MAX)
        return openErrorText(ENAMETOOLONG);
    if (const QString locked = lockedBy(canonicalPath, purpose); !locked.isEmpty())
        return locked;
    // An open meets another holder's flock() on its own descriptor, and is closed again before
    // it has written or set anything; the kernel's table of locks is slow to read the first time
    // (4 to 14 ms here), so it is read only to name a holder, or where nothing is opened.
    if (purpose == Purpose::Look) {
        if (const std::optional<Process> holder = Holders::flockHolder(node.st_dev, node.st_ino))
            return inUseText(*holder);
    }
    if (const std::optional<Process> session = Holders::terminalSession(node.st_rdev))
        return QStringLiteral("it is the terminal of PID %1 (%2)")
            .arg(session->pid)
            .arg(session->name);
    return {};
}

} // namespace

struct LocalPort::Private
{
    QString label;
    int fd = -1;
    bool exclusive = false;       // this program put the tty into exclusive mode
    std::optional<termios> found; // the line as it was found, given back at the close
    std::unique_ptr<QLockFile> lock;
    std::unique_ptr<QSocketNotifier> hangUp;

    ~Private() { close(); }

    // Opens the device once, unless another program holds it, and marks it as this program's
    // for every kind of program that looks: flock(), the lock file, exclusive mode. Returns why
    // it can't, the words after "could not be opened: ".
    QString take(const QString &canonicalPath)
    {
        // The one open of the device: on a UART it raises DTR and RTS, and every close drops them.
        const QByteArray device = QFile::encodeName(canonicalPath);
        do {
            fd = ::open(device.constData(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0 && errno != EBUSY)
            return openErrorText(errno);
        struct stat node = {};
        if ((fd < 0 ? ::stat(device.constData(), &node) : ::fstat(fd, &node)) != 0)
            return inUseText();
        // Exclusive mode turns away every open but root's; root gets past it, the mark on its
        // descriptor still shows it, and the port is closed again without a byte written. A
        // mark that nobody holds root takes over.
        int marked = 0;
        if (fd < 0 || (::ioctl(fd, TIOCGEXCL, &marked) == 0 && marked)) {
            if (const std::optional<Process> holder = Holders::otherOpener(node.st_rdev))
                return inUseText(*holder);
            // Anyone else sees only their own processes. A real port drops the mark at its last
            // close; a pseudo-terminal whose other end lives on keeps the mark of a program
            // killed while it held it.
            if (fd < 0 && (::geteuid() == 0 || node.st_uid == ::geteuid()))
                return QStringLiteral("it is marked for one program only, but no program has it "
                                      "open; restart the program that provides it (such as "
                                      "socat), or unplug the adapter and plug it in again");
            if (fd < 0)
                return inUseText();
        }
        // Programs that look for flock() (picocom and other recent tools) see this one's; the
        // lock file is for those that look there (minicom, QSerialPort).
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK)
                return QStringLiteral("it could not be locked against other programs; the "
                                      "system reports \"%1\"")
                    .arg(qt_error_string(errno));
            return inUseText(Holders::flockHolder(node.st_dev, node.st_ino).value_or(Process{}));
        }
        if (const QString lockPath = ownLockPath(canonicalPath); !lockPath.isEmpty()) {
            lock = std::make_unique<QLockFile>(lockPath);
            if (!lock->tryLock(0)) // a lock that failed is never removed
                return inUseText();
        }
        exclusive = ::ioctl(fd, TIOCEXCL) == 0;
        return {};
    }

    // Sets the line up, keeping how it was found for the close. Returns why it can't.
    QString setUp(const LineSettings &line, speed_t speed)
    {
        termios tio = {};
        if (::tcgetattr(fd, &tio) != 0)
            return openErrorText(errno);
        found = tio;
        setTermiosLine(tio, line, speed);
        if (::tcsetattr(fd, TCSANOW, &tio) != 0)
            return openErrorText(errno);
        return {};
    }

    void close()
    {
        // The notifier goes first: a descriptor closed under it would be polled as invalid.
        hangUp.reset();
        if (fd < 0)
            return;
        if (found)
            ::tcsetattr(fd, TCSANOW, &*found);
        if (exclusive)
            ::ioctl(fd, TIOCNXCL);
        ::close(fd); // releases the flock() too
        fd = -1;
        lock.reset();
    }
};

std::unique_ptr<LocalPort> LocalPort::open(const QString &path, const QString &label,
                                           const LineSettings &line, QString &problem)
{
    QString device = path;
    problem = problemWith(path, Purpose::Open, device);
    const std::optional<speed_t> speed = termiosSpeed(line.baud);
    if (problem.isEmpty() && !speed)
        problem = QStringLiteral("this system has no line speed of %1 baud").arg(line.baud);
    auto d = std::make_unique<Private>();
    d->label = label;
    if (problem.isEmpty())
        problem = d->take(device);
    if (problem.isEmpty())
        problem = d->setUp(line, *speed);
    if (!problem.isEmpty())
        return nullptr;
    return std::unique_ptr<LocalPort>(new LocalPort(std::move(d)));
}

LocalPort::LocalPort(std::unique_ptr<Private> data) : d(std::move(data))
{
    // Nothing is read from a write-only port, so nothing wakes the program between two writes,
    // yet an unplugged adapter hangs the tty up at once: a read notifier sees the hang-up and
    // costs nothing while the line is quiet.
    d->hangUp = std::make_unique<QSocketNotifier>(d->fd, QSocketNotifier::Read);
    connect(d->hangUp.get(), &QSocketNotifier::activated, this, [this] {
        pollfd line{d->fd, POLLIN, 0};
        if (::poll(&line, 1, 0) != 1)
            return;
        if (line.revents & (POLLHUP | POLLERR | POLLNVAL))
            lose(QStringLiteral("was disconnected"));
        else // what the device says (or noise on its unwired pin) would wake the notifier on
            ::tcflush(line.fd, TCIFLUSH);
    });
}

LocalPort::~LocalPort() = default;

void LocalPort::write(char byte)
{
    ssize_t written = 0;
    do {
        written = ::write(d->fd, &byte, 1);
    } while (written < 0 && errno == EINTR);
    if (written == 1)
        return;
    const int error = written < 0 ? errno : EIO;
    if (error == EIO || error == ENXIO || error == ENODEV || error == EPIPE)
        lose(QStringLiteral("was disconnected"));
    else if (error == EAGAIN)
        lose(QStringLiteral("stopped taking bytes"));
    else
        lose(QStringLiteral("stopped working (the system reports \"%1\")")
                 .arg(qt_error_string(error)));
}

void LocalPort::lose(const QString &what)
{
    const QString reason = QStringLiteral("%1 %2").arg(d->label, what);
    d->close();
    emit lost(reason);
}

std::optional<DeviceCheck> checkDevice(const QString &path)
{
    DeviceCheck check{path, {}};
    check.problem = problemWith(path, Purpose::Look, check.canonicalPath);
    return check;
}

QString openErrorText(int error, const QString &closedFolder)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENODEV:
        return QStringLiteral("no such device");
    case ENXIO:
        return QStringLiteral("the device is not there any more (unplugged?); plug it in and "
                              "choose the port again");
    case EIO:
        return QStringLiteral("the device does not respond; check that it is plugged in and "
                              "switched on");
    case EACCES:
        if (!closedFolder.isEmpty())
            return QStringLiteral("your user may not enter the folder %1; name the device by a "
                                  "path you may enter, such as /dev/ttyUSB0")
                .arg(closedFolder);
        return QStringLiteral("permission denied; add your user to the dialout group "
                              "(sudo adduser $USER dialout) and log in again");
    case EPERM:
        return QStringLiteral("the system does not let this program open it; ask whoever looks "
                              "after this computer");
    case EBUSY:
        return inUseText();
    case EISDIR:
        return QStringLiteral("it is a folder, not a device");
    case ENOTTY:
        return QStringLiteral("it is not a serial device");
    case ELOOP:
        return QStringLiteral("its links go round in a loop; ") + NameTheDevice;
    case ENAMETOOLONG:
        return QStringLiteral("the path is too long; ") + NameTheDevice;
    case EMFILE:
    case ENFILE:
    case ENOMEM:
        return QStringLiteral("the system is short of resources; close some programs and try "
                              "again");
    default:
        return QStringLiteral("the system reports \"%1\"").arg(qt_error_string(error));
    }
}
