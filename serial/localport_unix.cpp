// The serial device on POSIX systems, found, locked, set up and written with the system's own
// calls; /proc and sysfs are read where the system is Linux.
//
// Qt Serial Port is not used for this on purpose. Its open puts the tty into exclusive mode
// before the caller can look whether another program already did, and the only other way to
// look is a second open, whose close drops DTR and RTS and so resets many boards. Its lock file
// counts a live lock older than 30 s as stale, so the look at the lock files here is the only
// guard for a minicom that has run for a minute; it takes no flock(), which picocom looks for;
// and a port opened for writing only hears nothing of a hang-up between two writes.

#include "localport.h"

#include <QCoreApplication>
#include <QDir>
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
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#ifdef Q_OS_LINUX
#include <sys/sysmacros.h>
#endif

namespace {

const QString NameTheDevice = QStringLiteral("name the device itself, such as /dev/ttyUSB0");

struct Process
{
    qint64 pid = 0;
    QString name;
};

qint64 ownPid()
{
    return QCoreApplication::applicationPid();
}

QString inUseText(const Process &holder = {})
{
    const QString text = QStringLiteral("it is in use by another program");
    if (holder.pid <= 0)
        return text;
    if (holder.name.isEmpty())
        return QStringLiteral("%1 (PID %2)").arg(text).arg(holder.pid);
    return QStringLiteral("%1 (PID %2, %3)").arg(text).arg(holder.pid).arg(holder.name);
}

// The name the system gives a running process, where it tells.
QString processName(qint64 pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (comm.open(QIODevice::ReadOnly))
        return QString::fromLocal8Bit(comm.readAll()).trimmed();
    return {};
}

bool processRunning(qint64 pid)
{
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

// The running processes other than this one, by PID. Read at every open, so read lean.
QList<qint64> otherProcesses()
{
    QList<qint64> pids;
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return pids;
    const qint64 own = ownPid();
    while (const dirent *entry = ::readdir(proc)) {
        char *end = nullptr;
        const qint64 pid = std::strtoll(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == '\0' && pid > 0 && pid != own)
            pids.append(pid);
    }
    ::closedir(proc);
    return pids;
}

// Marks the device as held by `holder`. A hold from elsewhere in this process is just as real,
// but there is no other program to name.
void heldBy(DeviceCheck &check, Process holder)
{
    if (holder.pid == ownPid() || (holder.pid > 0 && !processRunning(holder.pid)))
        holder = {};
    if (holder.pid > 0) {
        const QString running = processName(holder.pid);
        if (!running.isEmpty())
            holder.name = running;
    }
    check.holderPid = holder.pid;
    check.holderName = holder.name;
    check.problem = inUseText(holder);
}

// The folders QSerialPort keeps its lock files in, in the order it tries them; the UUCP tools
// use the first of them.
const QStringList &lockFolders()
{
    static const QStringList folders = {
        QStringLiteral("/var/lock"),
        QStringLiteral("/etc/locks"),
        QStringLiteral("/var/spool/locks"),
        QStringLiteral("/var/spool/uucp"),
        QStringLiteral("/tmp"),
        QStringLiteral("/var/tmp"),
        QStringLiteral("/var/lock/lockdev"),
        QStringLiteral("/run/lock"),
        QStandardPaths::writableLocation(QStandardPaths::TempLocation)};
    return folders;
}

// "LCK..ttyUSB0", "LCK..pts_3": the name QSerialPort and the UUCP tools give a device's lock.
QString lockFileName(const QString &canonicalPath)
{
    QString name = canonicalPath.startsWith(u"/dev/") ? canonicalPath.mid(5) : canonicalPath;
    return QStringLiteral("LCK..") + name.replace(u'/', u'_');
}

// Where this program's own lock goes: where QSerialPort would put it, so that every program
// that looks there sees it.
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
    const QString running = processName(owner.pid);
    return owner.name.isEmpty() || running.isEmpty() || owner.name.left(15) == running;
}

// What a look at a device is for: only looking (rq204-send --list-ports), or the open that
// follows, which takes over what an ended program left and meets flock() on its own descriptor.
enum class Purpose { Look, Open };

// Looks for a lock file of the device in every folder QSerialPort may use. One of a live
// process means the device is held; one whose process has ended is removed before an open
// (QLockFile would wait until the file is 30 s old), and never one of a live process.
bool findLockFile(const QString &canonicalPath, DeviceCheck &check, Purpose purpose)
{
    const QString name = lockFileName(canonicalPath);
    for (const QString &folder : lockFolders()) {
        const QString file = folder + u'/' + name;
        if (!QFile::exists(file))
            continue;
        const std::optional<Process> owner = lockOwner(file);
        if (!owner) {
            check.problem = QStringLiteral("it is locked by %1, which does not say by whom; "
                                           "delete that file if no program uses the port")
                                .arg(file);
            return true;
        }
        if (stillRunning(*owner)) {
            heldBy(check, *owner);
            return true;
        }
        if (purpose == Purpose::Open && !QFile::remove(file) && QFile::exists(file)) {
            check.problem =
                QStringLiteral("it is locked by %1, left by a program that has ended (PID %2), "
                               "and this user may not delete that file; ask whoever looks after "
                               "this computer to delete it")
                    .arg(file)
                    .arg(owner->pid);
            return true;
        }
    }
    return false;
}

// Who holds an flock() on `node`, from the kernel's table of locks; nothing when nobody does,
// a PID of 0 when the table names no one.
std::optional<Process> flockHolder(const struct stat &node)
{
#ifdef Q_OS_LINUX
    QFile table(QStringLiteral("/proc/locks"));
    if (!table.open(QIODevice::ReadOnly))
        return std::nullopt;
    // "1: FLOCK  ADVISORY  WRITE 1234 00:1a:3 0 EOF": the file as the major:minor number of its
    // file system (hex) and its inode (decimal); a request still waiting has "->" before FLOCK.
    for (const QByteArray &line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 6 || fields.at(1) != "FLOCK")
            continue;
        const QList<QByteArray> file = fields.at(5).split(':');
        bool majorOk = false, minorOk = false, inodeOk = false;
        if (file.size() == 3 && file.at(0).toUInt(&majorOk, 16) == major(node.st_dev) &&
            file.at(1).toUInt(&minorOk, 16) == minor(node.st_dev) &&
            file.at(2).toULongLong(&inodeOk) == node.st_ino && majorOk && minorOk && inodeOk)
            return Process{fields.at(4).toLongLong(), {}};
    }
#endif
    Q_UNUSED(node);
    return std::nullopt;
}

// The session that runs on the terminal `device` (a shell in a terminal window or tmux, a
// getty), named by its leader where that still runs.
std::optional<Process> terminalSession(dev_t device)
{
    std::optional<Process> found;
#ifdef Q_OS_LINUX
    for (const qint64 pid : otherProcesses()) {
        // Every process is looked at on every open: one read each, of the line's start only.
        // "1234 (bash) S 1200 1234 1234 34816 …": after the name, which may hold anything (up
        // to 64 bytes), come the state, the parent, the process group, the session and the
        // terminal; only numbers follow.
        char text[512];
        const QByteArray path = "/proc/" + QByteArray::number(pid) + "/stat";
        const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        const ssize_t size = ::read(fd, text, sizeof text);
        ::close(fd);
        if (size <= 0)
            continue;
        const QByteArray line = QByteArray::fromRawData(text, size);
        const qsizetype nameStart = line.indexOf('(');
        const qsizetype nameEnd = line.lastIndexOf(')');
        const QList<QByteArray> fields = line.mid(nameEnd + 2, 64).split(' ');
        if (nameStart < 0 || nameEnd < nameStart || fields.size() < 5)
            continue;
        const quint64 terminal = fields.at(4).toULongLong();
        const unsigned int terminalMajor = (terminal >> 8) & 0xfff;
        const unsigned int terminalMinor = (terminal & 0xff) | ((terminal >> 12) & 0xfff00);
        if (terminal == 0 || makedev(terminalMajor, terminalMinor) != device)
            continue;
        const Process process{
            pid, QString::fromLocal8Bit(line.mid(nameStart + 1, nameEnd - nameStart - 1))};
        if (fields.at(3).toLongLong() == pid)
            return process;
        if (!found)
            found = process;
    }
#else
    Q_UNUSED(device);
#endif
    return found;
}

bool isPtySlave(dev_t device)
{
#ifdef Q_OS_LINUX
    return major(device) >= 136 && major(device) <= 143;
#else
    Q_UNUSED(device);
    return false;
#endif
}

// Another process that has `device` open. The far end of a pseudo-terminal (whoever holds its
// master: the virtual RQ204, socat) keeps its slave open as well and does not count.
std::optional<Process> otherOpener(dev_t device)
{
#ifdef Q_OS_LINUX
    const unsigned int ptyIndex = (major(device) - 136) * 256 + minor(device);
    for (const qint64 pid : otherProcesses()) {
        const QString folder = QStringLiteral("/proc/%1/").arg(pid);
        bool opens = false;
        bool farEnd = false;
        const QStringList fds =
            QDir(folder + QStringLiteral("fd")).entryList(QDir::Files | QDir::System);
        for (const QString &fd : fds) {
            struct stat node = {};
            if (::stat(QFile::encodeName(folder + QStringLiteral("fd/") + fd).constData(), &node) !=
                    0 ||
                !S_ISCHR(node.st_mode))
                continue;
            if (node.st_rdev == device) {
                opens = true;
            } else if (isPtySlave(device) && node.st_rdev == makedev(5, 2)) {
                QFile info(folder + QStringLiteral("fdinfo/") + fd);
                farEnd =
                    farEnd ||
                    (info.open(QIODevice::ReadOnly) &&
                     info.readAll().contains("tty-index:\t" + QByteArray::number(ptyIndex) + '\n'));
            }
        }
        if (opens && !farEnd)
            return Process{pid, processName(pid)};
    }
#else
    Q_UNUSED(device);
#endif
    return std::nullopt;
}

// Why an open met a device in exclusive mode. Only root passes that mode, so for anyone else
// the holder shows only among this user's own processes.
QString exclusiveHolderText(const QByteArray &device)
{
    struct stat node = {};
    if (::stat(device.constData(), &node) != 0)
        return inUseText();
    if (const std::optional<Process> holder = otherOpener(node.st_rdev))
        return inUseText(*holder);
    if (::geteuid() != 0 && node.st_uid != ::geteuid())
        return inUseText();
    // A real port drops the mark at its last close; a pseudo-terminal whose other end lives on
    // keeps the mark of a program killed while it held it.
    return QStringLiteral("it is marked for one program only, but no program has it open; "
                          "restart the program that provides it (such as socat), or unplug "
                          "the adapter and plug it in again");
}

// Whether a character device is a terminal with a serial line behind it. Pty slaves stand in
// for one (the virtual RQ204); /dev/tty, the consoles and pty masters are terminals too, but
// what is written there goes to a screen or a program, never down a line.
bool serialTerminal(dev_t device)
{
#ifdef Q_OS_LINUX
    const unsigned int majorNumber = major(device);
    const unsigned int minorNumber = minor(device);
    if (majorNumber == 5 && minorNumber <= 2) // /dev/tty, /dev/console, /dev/ptmx
        return false;
    if (majorNumber == 4 && minorNumber < 64) // virtual consoles
        return false;
    if (majorNumber == 2 || (majorNumber >= 128 && majorNumber <= 135)) // pty masters
        return false;
    if (isPtySlave(device)) // which sysfs doesn't list
        return true;
    // Asked without opening it: opening some devices acts (a watchdog starts counting).
    if (!QFileInfo::exists(QStringLiteral("/sys/dev/char")))
        return true; // no sysfs to ask: the open will tell
    const QString subsystem =
        QStringLiteral("/sys/dev/char/%1:%2/subsystem").arg(majorNumber).arg(minorNumber);
    return QFileInfo(subsystem).canonicalFilePath().endsWith(u"/class/tty");
#else
    Q_UNUSED(device);
    return true;
#endif
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

DeviceCheck checkDevice(const QString &path, Purpose purpose)
{
    DeviceCheck check;
    check.canonicalPath = path;
    char *resolved = ::realpath(QFile::encodeName(path).constData(), nullptr);
    if (!resolved) {
        const int error = errno;
        check.problem = openErrorText(error, error == EACCES ? closedFolder(path) : QString());
        return check;
    }
    const QByteArray device(resolved);
    std::free(resolved);
    check.canonicalPath = QFile::decodeName(device);

    struct stat node = {};
    if (::stat(device.constData(), &node) != 0) {
        check.problem = openErrorText(errno);
        return check;
    }
    if (S_ISDIR(node.st_mode)) {
        check.problem = openErrorText(EISDIR);
        return check;
    }
    if (!S_ISCHR(node.st_mode) || !serialTerminal(node.st_rdev)) {
        check.problem = openErrorText(ENOTTY);
        return check;
    }
    // Neither this program nor QSerialPort could make its lock file.
    if (QFile::encodeName(lockFileName(check.canonicalPath)).size() > NAME_MAX) {
        check.problem = openErrorText(ENAMETOOLONG);
        return check;
    }
    if (findLockFile(check.canonicalPath, check, purpose))
        return check;
    // An open meets another holder's flock() on its own descriptor, and is closed again before
    // it has written or set anything; the kernel's table of locks is slow to read the first time
    // (4 to 14 ms here), so it is read only to name a holder, or where nothing is opened.
    if (purpose == Purpose::Look) {
        if (const std::optional<Process> holder = flockHolder(node)) {
            heldBy(check, *holder);
            return check;
        }
    }
    if (const std::optional<Process> session = terminalSession(node.st_rdev)) {
        check.holderPid = session->pid;
        check.holderName = session->name;
        check.problem = QStringLiteral("it is the terminal of PID %1 (%2)")
                            .arg(session->pid)
                            .arg(session->name);
    }
    return check;
}

// Raw bytes in `line`'s format, without flow control in either direction: the device listens
// on one data pin and has no way to ask for a pause.
void setLine(termios &tio, const LineSettings &line, speed_t speed)
{
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#ifdef CMSPAR
    tio.c_cflag &= ~tcflag_t(CMSPAR);
#endif
    tio.c_cflag |= CLOCAL;
    tio.c_cflag |= line.dataBits == 5   ? CS5
                   : line.dataBits == 6 ? CS6
                   : line.dataBits == 7 ? CS7
                                        : CS8;
    if (line.parity != 'N')
        tio.c_cflag |= PARENB;
    if (line.parity == 'O' || line.parity == 'M')
        tio.c_cflag |= PARODD;
#ifdef CMSPAR
    if (line.parity == 'M' || line.parity == 'S')
        tio.c_cflag |= CMSPAR;
#endif
    // With five data bits the UART sends one and a half stop bits for CSTOPB.
    if (line.stopBits != LineSettings::StopBits::One)
        tio.c_cflag |= CSTOPB;
    tio.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY);
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
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
    const DeviceCheck check = checkDevice(path, Purpose::Open);
    if (!check.problem.isEmpty()) {
        problem = check.problem;
        return nullptr;
    }
    const std::optional<speed_t> speed = termiosSpeed(line.baud);
    if (!speed) {
        problem = QStringLiteral("this system has no line speed of %1 baud").arg(line.baud);
        return nullptr;
    }

    // The one open of the device: on a UART it raises DTR and RTS, and every close drops them.
    auto d = std::make_unique<Private>();
    d->label = label;
    const QByteArray device = QFile::encodeName(check.canonicalPath);
    do {
        d->fd = ::open(device.constData(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (d->fd < 0 && errno == EINTR);
    if (d->fd < 0) {
        const int error = errno;
        problem = error == EBUSY ? exclusiveHolderText(device) : openErrorText(error);
        return nullptr;
    }
#ifdef TIOCGEXCL
    // Root gets past another program's exclusive mode; the mark on this descriptor still shows
    // it, and the port is closed again without a byte written. A mark that nobody holds is
    // taken over.
    int marked = 0;
    if (::ioctl(d->fd, TIOCGEXCL, &marked) == 0 && marked) {
        struct stat node = {};
        ::fstat(d->fd, &node);
        if (const std::optional<Process> holder = otherOpener(node.st_rdev)) {
            problem = inUseText(*holder);
            return nullptr;
        }
    }
#endif
    // Programs that look for flock() (picocom and other recent tools) see this one's; the lock
    // file is for those that look there (minicom, QSerialPort).
    if (::flock(d->fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        struct stat node = {};
        ::fstat(d->fd, &node);
        DeviceCheck held;
        heldBy(held, flockHolder(node).value_or(Process{}));
        problem = held.problem;
        return nullptr;
    }
    if (const QString lockPath = ownLockPath(check.canonicalPath); !lockPath.isEmpty()) {
        d->lock = std::make_unique<QLockFile>(lockPath);
        if (!d->lock->tryLock(0)) {
            d->lock.reset();
            problem = inUseText();
            return nullptr;
        }
    }
    d->exclusive = ::ioctl(d->fd, TIOCEXCL) == 0;

    termios tio = {};
    if (::tcgetattr(d->fd, &tio) != 0) {
        problem = openErrorText(errno);
        return nullptr;
    }
    d->found = tio;
    setLine(tio, line, *speed);
    if (::tcsetattr(d->fd, TCSANOW, &tio) != 0) {
        problem = openErrorText(errno);
        return nullptr;
    }
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
    switch (error) {
    case EIO:
    case ENXIO:
    case ENODEV:
    case EPIPE:
        lose(QStringLiteral("was disconnected"));
        break;
    case EAGAIN:
        lose(QStringLiteral("stopped taking bytes"));
        break;
    default:
        lose(QStringLiteral("stopped working (the system reports \"%1\")")
                 .arg(qt_error_string(error)));
    }
}

void LocalPort::lose(const QString &what)
{
    const QString reason = QStringLiteral("%1 %2").arg(d->label, what);
    d->close();
    emit lost(reason);
}

DeviceCheck checkDevice(const QString &path)
{
    return checkDevice(path, Purpose::Look);
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
