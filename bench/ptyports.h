#pragma once

#include "serialcontrol.h"

#include <QStringList>
#include <cstdio>
#include <pty.h>
#include <vector>

// Pseudo-terminals standing in for ports 1, 2, ... so that a benchmark never touches a host
// port. Both ends stay open for the life of the process, as a connected device would.
struct PtyPorts
{
    std::vector<int> masters;
    QStringList paths;

    explicit PtyPorts(int count)
    {
        for (int i = 0; i < count; ++i) {
            int master = -1, slave = -1;
            char name[256] = {};
            if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
                std::perror("openpty");
                return;
            }
            masters.push_back(master);
            paths.append(QString::fromLocal8Bit(name));
        }
    }
    bool ok(int count) const { return paths.size() == count; }

    PortLister lister() const
    {
        HostPorts ports;
        for (const QString &path : paths)
            ports.append({path, QStringLiteral("pseudo-terminal")});
        return [ports] { return ports; };
    }
};
