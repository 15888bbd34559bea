#pragma once

// What Linux tells of a device node and of the programs that hold it, read from /proc and sysfs
// without opening the device. The serial device asks it to name another program; the virtual
// RQ204 asks it whether anyone else still has its pty open.

#include <QString>
#include <optional>
#include <sys/types.h>

namespace Holders {

struct Process
{
    qint64 pid = 0;
    QString name;
};

// The name the system gives a running process, where it tells.
QString processName(qint64 pid);

// Another process that has `device` open. The far end of a pseudo-terminal (whoever holds its
// master: the virtual RQ204, socat) keeps its slave open as well and does not count.
std::optional<Process> otherOpener(dev_t device);

// Who holds an flock() on the file `inode` of the file system `fileSystem`, from the kernel's
// table of locks; nothing when nobody does, a PID of 0 when the table names no one.
std::optional<Process> flockHolder(dev_t fileSystem, ino_t inode);

// The session that runs on the terminal `device` (a shell in a terminal window or tmux, a
// getty), named by its leader where that still runs.
std::optional<Process> terminalSession(dev_t device);

// Whether a character device is a terminal with a serial line behind it. Pty slaves stand in
// for one (the virtual RQ204); /dev/tty, the consoles and pty masters are terminals too, but
// what is written there goes to a screen or a program, never down a line.
bool serialTerminal(dev_t device);

} // namespace Holders
