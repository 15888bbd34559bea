// Signals and terminals on Windows, which has no stop signals to catch.

#include "process.h"

#include <io.h>

StopSignals::StopSignals(QObject *parent) : QObject(parent) {}
StopSignals::~StopSignals() = default;
void StopSignals::readSignal() {}

void endBySignal(int signal)
{
    Q_UNUSED(signal);
}

bool isTerminal(FILE *stream)
{
    return ::_isatty(::_fileno(stream));
}
