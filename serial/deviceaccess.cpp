#include "deviceaccess.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <cerrno>
#include <optional>

#ifndef Q_OS_WIN
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <limits>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <sys/sysmacros.h>
#endif

namespace {

const QString NameTheDevice = QStringLiteral("name the device itself, such as /dev/ttyUSB0");

QString inUseText(qint64 pid, const QString &program)
{
    const QString text = QStringLiteral("it is in use by another program");
    if (pid <= 0)
        return text;
    if (program.isEmpty())
        return QStringLiteral("%1 (PID %2)").arg(text).arg(pid);
    return QStringLiteral("%1 (PID %2, %3)").arg(text).arg(pid).arg(program);
}

#ifndef Q_OS_WIN

// The name the system gives a running process, where it tells.
QString programName(qint64 pid)
{
#ifdef Q_OS_LINUX
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (comm.open(QIODevice::ReadOnly))
        return QString::fromLocal8Bit(comm.readAll()).trimmed();
#endif
    Q_UNUSED(pid);
    return {};
}

bool processRunning(qint64 pid)
{
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

// Marks the device as held by `pid`. A hold from elsewhere in this process is just as real, but
// there is no other program to name.
void heldBy(DeviceCheck &check, qint64 pid, const QString &nameInLock = QString())
{
    if (pid > 0 && pid != QCoreApplication::applicationPid() && processRunning(pid)) {
        check.holderPid = pid;
        check.holderName = programName(pid);
        if (check.holderName.isEmpty())
            check.holderName = nameInLock;
    }
    check.problem = inUseText(check.holderPid, check.holderName);
}

// "LCK..ttyUSB0", "LCK..pts_3": the name QSerialPort and the UUCP tools give a device's lock.
QString lockFileName(const QString &canonicalPath)
{
    QString name = canonicalPath.startsWith(u"/dev/") ? canonicalPath.mid(5) : canonicalPath;
    return QStringLiteral("LCK..") + name.replace(u'/', u'_');
}

// A lock file of a live process in any folder QSerialPort may use. One whose process has ended
// is left for QSerialPort to replace; one of a live process is never touched.
bool findLockFile(const QString &canonicalPath, DeviceCheck &check)
{
    const QStringList folders = {QStringLiteral("/var/lock"),
                                 QStringLiteral("/etc/locks"),
                                 QStringLiteral("/var/spool/locks"),
                                 QStringLiteral("/var/spool/uucp"),
                                 QStringLiteral("/tmp"),
                                 QStringLiteral("/var/tmp"),
                                 QStringLiteral("/var/lock/lockdev"),
                                 QStringLiteral("/run/lock"),
                                 QStandardPaths::writableLocation(QStandardPaths::TempLocation)};
    const QString name = lockFileName(canonicalPath);
    for (const QString &folder : folders) {
        QFile file(folder + u'/' + name);
        if (!file.exists())
            continue;
        const QString unknown =
            QStringLiteral("it is locked by %1, which does not say by whom; delete that file if "
                           "no program uses the port")
                .arg(file.fileName());
        if (!file.open(QIODevice::ReadOnly)) {
            check.problem = unknown;
            return true;
        }
        // UUCP tools write "      1234 minicom user\n" or just the PID; QSerialPort writes
        // "1234\nprogram\nhost\n...".
        const QList<QByteArray> lines = file.read(512).split('\n');
        const QList<QByteArray> words = lines.value(0).simplified().split(' ');
        bool ok = false;
        const qint64 pid = words.value(0).toLongLong(&ok);
        if (!ok || pid <= 0 || pid > std::numeric_limits<pid_t>::max()) {
            check.problem = unknown;
            return true;
        }
        const QString nameInLock =
            QString::fromLocal8Bit(words.size() > 1 ? words.at(1) : lines.value(1)).trimmed();
        if (!processRunning(pid))
            continue;
        // The PID has passed to another program: the one that wrote the lock has ended. The
        // system keeps only the first 15 bytes of a process name.
        const QString running = programName(pid);
        if (!nameInLock.isEmpty() && !running.isEmpty() && nameInLock.left(15) != running)
            continue;
        heldBy(check, pid, nameInLock);
        return true;
    }
    return false;
}

// Who holds an flock() on `node`, from the kernel's table of locks: nothing when nobody does,
// 0 when the table names no one.
std::optional<qint64> flockHolder(const struct stat &node)
{
#ifdef Q_OS_LINUX
    QFile table(QStringLiteral("/proc/locks"));
    if (!table.open(QIODevice::ReadOnly))
        return std::nullopt;
    // "1: FLOCK  ADVISORY  WRITE 1234 00:1a:3 0 EOF": the file as the major:minor number of its
    // file system (hex) and its inode; a request still waiting has "->" before FLOCK.
    for (const QByteArray &line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 6 || fields.at(1) != "FLOCK")
            continue;
        const QList<QByteArray> file = fields.at(5).split(':');
        bool majorOk = false, minorOk = false, inodeOk = false;
        if (file.size() == 3 && file.at(0).toUInt(&majorOk, 16) == major(node.st_dev) &&
            file.at(1).toUInt(&minorOk, 16) == minor(node.st_dev) &&
            file.at(2).toULongLong(&inodeOk) == node.st_ino && majorOk && minorOk && inodeOk)
            return fields.at(4).toLongLong();
    }
#endif
    Q_UNUSED(node);
    return std::nullopt;
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
    if (majorNumber >= 136 && majorNumber <= 143) // pty slaves, which sysfs doesn't list
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

// Opens the device read-only for a moment, to hear what an open meets and whether another
// descriptor holds it in exclusive mode, which an open as root would pass through.
QString probe(const QByteArray &device)
{
    int fd = -1;
    do {
        fd = ::open(device.constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0 && errno == EACCES)
        return {}; // a device this user may write but not read: the open that counts will tell
    if (fd < 0)
        return openErrorText(errno);
    int exclusive = 0;
#ifdef TIOCGEXCL
    if (::ioctl(fd, TIOCGEXCL, &exclusive) != 0)
        exclusive = 0;
#endif
    ::close(fd);
    return exclusive ? inUseText(0, QString()) : QString();
}

#endif

} // namespace

DeviceCheck checkDevice(const QString &path)
{
    DeviceCheck check;
    check.canonicalPath = path;
#ifndef Q_OS_WIN
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
        check.problem = QStringLiteral("it is not a serial device");
        return check;
    }
    // QSerialPort could not make its lock file and would take that for the device being in use.
    if (QFile::encodeName(lockFileName(check.canonicalPath)).size() > NAME_MAX) {
        check.problem = openErrorText(ENAMETOOLONG);
        return check;
    }
    if (findLockFile(check.canonicalPath, check))
        return check;
    if (const std::optional<qint64> holder = flockHolder(node)) {
        heldBy(check, *holder);
        return check;
    }
    if (::access(device.constData(), W_OK) != 0) {
        check.problem = openErrorText(errno);
        return check;
    }
    check.problem = probe(device);
#endif
    return check;
}

QString claimDevice(const QSerialPort &port)
{
#ifndef Q_OS_WIN
    const int handle = port.handle();
    // Any other failure is a file system without flock(); the lock file and exclusive mode stand.
    if (::flock(handle, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK)
        return {};
    DeviceCheck check;
    struct stat node = {};
    std::optional<qint64> holder;
    if (::fstat(handle, &node) == 0)
        holder = flockHolder(node);
    heldBy(check, holder.value_or(0));
    return check.problem;
#else
    Q_UNUSED(port);
    return {};
#endif
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
        return inUseText(0, QString());
    case EISDIR:
        return QStringLiteral("it is a folder, not a device");
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
