// The holders of a device as Linux shows them: /proc/PID/fd and fdinfo for who has it open,
// /proc/locks for flock(), /proc/PID/stat for the terminal of a session, sysfs for what it is.

#include "holders.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

using Holders::Process;

// The running processes other than this one, by PID. Read at every open, so read lean.
QList<qint64> otherProcesses()
{
    QList<qint64> pids;
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return pids;
    const qint64 own = ::getpid();
    while (const dirent *entry = ::readdir(proc)) {
        char *end = nullptr;
        const qint64 pid = std::strtoll(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == '\0' && pid > 0 && pid != own)
            pids.append(pid);
    }
    ::closedir(proc);
    return pids;
}

bool isPtySlave(dev_t device)
{
    return major(device) >= 136 && major(device) <= 143;
}

} // namespace

namespace Holders {

QString processName(qint64 pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (comm.open(QIODevice::ReadOnly))
        return QString::fromLocal8Bit(comm.readAll()).trimmed();
    return {};
}

std::optional<Process> otherOpener(dev_t device)
{
    // How the fdinfo of a pty master names the slave it serves.
    const QByteArray farEndOf =
        "tty-index:\t" + QByteArray::number((major(device) - 136) * 256 + minor(device)) + '\n';
    for (const qint64 pid : otherProcesses()) {
        const QString folder = QStringLiteral("/proc/%1/").arg(pid);
        bool opens = false;
        bool farEnd = false;
        const QStringList fds =
            QDir(folder + QStringLiteral("fd")).entryList(QDir::Files | QDir::System);
        for (const QString &fd : fds) {
            struct stat node = {};
            const QByteArray link = QFile::encodeName(folder + QStringLiteral("fd/") + fd);
            if (::stat(link.constData(), &node) != 0 || !S_ISCHR(node.st_mode))
                continue;
            if (node.st_rdev == device) {
                opens = true;
            } else if (isPtySlave(device) && node.st_rdev == makedev(5, 2) && !farEnd) {
                QFile info(folder + QStringLiteral("fdinfo/") + fd);
                farEnd = info.open(QIODevice::ReadOnly) && info.readAll().contains(farEndOf);
            }
        }
        if (opens && !farEnd)
            return Process{pid, processName(pid)};
    }
    return std::nullopt;
}

std::optional<Process> flockHolder(dev_t fileSystem, ino_t inode)
{
    QFile table(QStringLiteral("/proc/locks"));
    if (!table.open(QIODevice::ReadOnly))
        return std::nullopt;
    // "1: FLOCK  ADVISORY  WRITE 1234 00:1a:3 0 EOF": the file as the major:minor number of its
    // file system (hex) and its inode (decimal); a request still waiting has "->" before FLOCK.
    for (const QByteArray &line : table.readAll().split('\n')) {
        long long pid = 0;
        unsigned int fileSystemMajor = 0, fileSystemMinor = 0;
        unsigned long long node = 0;
        if (std::sscanf(line.constData(), "%*d: FLOCK %*s %*s %lld %x:%x:%llu", &pid,
                        &fileSystemMajor, &fileSystemMinor, &node) == 4 &&
            makedev(fileSystemMajor, fileSystemMinor) == fileSystem && node == inode)
            return Process{pid, {}};
    }
    return std::nullopt;
}

std::optional<Process> terminalSession(dev_t device)
{
    std::optional<Process> found;
    for (const qint64 pid : otherProcesses()) {
        // Every process is looked at on every open: one read each, of the line's start only.
        // "1234 (bash) S 1200 1234 1234 34816 …": after the name, which may hold anything (up to
        // 64 bytes), the state, the parent, the process group, the session and the terminal.
        char text[512] = {};
        const QByteArray path = "/proc/" + QByteArray::number(pid) + "/stat";
        const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        const ssize_t size = ::read(fd, text, sizeof text - 1);
        ::close(fd);
        const char *nameStart = std::strchr(text, '(');
        const char *nameEnd = size > 0 ? std::strrchr(text, ')') : nullptr;
        long long session = 0;
        unsigned long long terminal = 0;
        // The kernel writes the terminal's number as glibc encodes a dev_t, below major 4096.
        if (!nameStart || !nameEnd || nameEnd < nameStart ||
            std::sscanf(nameEnd + 1, " %*c %*d %*d %lld %llu", &session, &terminal) != 2 ||
            terminal != device)
            continue;
        const Process process{pid, QString::fromLocal8Bit(nameStart + 1, nameEnd - nameStart - 1)};
        if (session == pid)
            return process;
        if (!found)
            found = process;
    }
    return found;
}

bool serialTerminal(dev_t device)
{
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
}

} // namespace Holders
