#include "deviceaccess.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>

#ifndef Q_OS_WIN
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <sys/sysmacros.h>
#endif

namespace {

const QString NameTheDevice = QStringLiteral("name the device itself, such as /dev/ttyUSB0");

#ifndef Q_OS_WIN

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

// Opens the device read-only for a moment, to hear what an open meets.
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
    ::close(fd);
    return {};
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
    if (::access(device.constData(), W_OK) != 0) {
        check.problem = openErrorText(errno);
        return check;
    }
    check.problem = probe(device);
#endif
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
        return QStringLiteral("it is in use by another program");
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
