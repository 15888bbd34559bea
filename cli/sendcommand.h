#pragma once

#include "hostports.h"

#include <QStringList>
#include <cstdio>

// rq204-send from its arguments (the program's name first) to its exit status: 0 sent, 1 not sent
// or cut off (the port missing, in use or lost), 2 a problem with the command line or the
// message (nothing was opened), 128 + its number when a stop signal ended the upload. Ports are
// numbered as `listPorts` reads the host; the message may come from `in`; the user reads `out`
// and `err`. Runs its own event loop, so a QCoreApplication must exist.
int runSend(const QStringList &arguments, PortLister listPorts = Serial::readHostPorts,
            FILE *in = stdin, FILE *out = stdout, FILE *err = stderr);
