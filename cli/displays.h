#pragma once

#include "hostports.h"
#include "pacedsender.h"
#include "serialcontrol.h"

#include <QStringList>
#include <functional>
#include <memory>
#include <vector>

class StopSignals;

// One display of an upload: its own port, its own pace, its own outcome.
struct Display
{
    QString name; // as --port named it; empty for the default port
    SerialControl comm;
    PacedSender sender{comm};
    int sent = 0;
    QString failure; // what became of it, when that was not the whole message
};
using Displays = std::vector<std::unique_ptr<Display>>;

// A display for every port named, or the default port where none is, each opened (or failed).
// `total` is the upload's length in characters.
Displays openDisplays(const QStringList &ports, const PortLister &listPorts, int total);

// Sends `message` to every display that opened, each at its own pace, until each has it all or
// has failed, or a stop signal came: then its number. `progressed` is told of every byte.
int upload(const Displays &displays, const QString &message, StopSignals &stopSignals,
           const std::function<void()> &progressed);
