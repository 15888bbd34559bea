#pragma once

// Windows has no pseudo-terminals: the tests built for it reach COM ports joined back to back.
#ifdef _WIN32
#include "windows/comdevice.h"
#else

#include "hostports.h"

#include <QByteArray>
#include <QLockFile>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>
#include <termios.h>

// The far end of a pseudo-terminal standing in for the RQ204: the program opens the slave as
// its serial port, the test reads every byte and the line settings at the master.
class PtyDevice
{
public:
    PtyDevice();
    ~PtyDevice();
    PtyDevice(const PtyDevice &) = delete;
    PtyDevice &operator=(const PtyDevice &) = delete;

    QString path() const { return m_path; }
    // The master, non-blocking, for a reader that waits for bytes with poll().
    int masterFd() const { return m_master; }
    // What has arrived since the last call; never waits.
    QByteArray take();
    termios lineSettings() const;
    void setLineSettings(const termios &line);
    // What other programs can see of the device: its line ("line 2400/2400 baud, iflag …"),
    // then any lock file where QSerialPort and the UUCP tools look, with what it says, the
    // exclusive mark and an flock(), each as a line of its own.
    QStringList marks() const;
    // The device vanishes: writes on the slave fail from now on.
    void unplug();
    // The device holds the line (an adapter that stalls): writes on the slave wait from now on.
    void stopTaking();
    // The device talks back (or the unwired receive pin picks up noise).
    void send(const QByteArray &bytes);
    // Bytes that reached the program's side and wait there unread.
    int unread() const;
    // How often anyone has opened the device (its path) since it was made.
    int opens();

private:
    int m_master = -1;
    int m_slave = -1;
    int m_watch = -1; // inotify on the path
    int m_opens = 0;
    QString m_path;
};

// Another program that holds a device the way QSerialPort's open does: Qt's lock file where Qt
// puts it, then exclusive mode on a descriptor of its own; its close undoes both.
class QtPortHolder
{
public:
    explicit QtPortHolder(const QString &path) : m_path(path) {}
    ~QtPortHolder() { close(); }
    QtPortHolder(const QtPortHolder &) = delete;
    QtPortHolder &operator=(const QtPortHolder &) = delete;

    // Opens the device for reading and writing, as a terminal program does.
    bool open();
    void close();

private:
    QString m_path;
    int m_fd = -1;
    std::unique_ptr<QLockFile> m_lock;
};

// A host whose ports 1, 2, ... are the given devices (empty paths are ports the host lacks).
HostPorts hostWith(const QStringList &paths);
// The same host, read by a lister.
PortLister portsAt(const QStringList &paths);

#endif
