#pragma once

#include "hostports.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// The device on Windows, where there are no pseudo-terminals to open: the test's wine session
// (tests/wine-run.sh, asked for pairs by RQ204_WINE_PAIRS) joins COM ports back to back through
// pairs of pseudo-terminals, COM11 with COM31, COM12 with COM32 and so on. The program opens
// the first of a pair as its serial port, the test reads every byte at the second. Only what the
// tests built for Windows need.
class PtyDevice
{
public:
    PtyDevice();
    ~PtyDevice();
    PtyDevice(const PtyDevice &) = delete;
    PtyDevice &operator=(const PtyDevice &) = delete;

    QString path() const { return m_path; }
    // What has arrived since the last call. Bytes take a moment through the pair, so this waits
    // until the line has been quiet for a moment.
    QByteArray take();
    // The device vanishes: the pair is cut, and writes on the program's port fail from now on.
    void unplug();

private:
    int m_pair = -1;
    void *m_farEnd = nullptr;
    QString m_path;
};

// A host whose ports 1, 2, ... are the given devices (empty paths are ports the host lacks).
HostPorts hostWith(const QStringList &paths);
// The same host, read by a lister.
PortLister portsAt(const QStringList &paths);
