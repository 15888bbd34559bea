#pragma once

#include "device.h"

#include <memory>
#include <optional>

// A serial device of this host, opened once, for writing only, with the line set up as asked.
// The system's side of it lives in localport_unix.cpp and localport_win.cpp.
class LocalPort : public Device
{
    Q_OBJECT

public:
    // Opens the device at `path` unless it is no serial device or another program holds it (a
    // lock file, flock(), exclusive mode, a terminal session on it); else nothing, with why in
    // `problem` (the words after "could not be opened: "). `label` names the port in `lost`.
    static std::unique_ptr<LocalPort> open(const QString &path, const QString &label,
                                           const LineSettings &line, QString &problem);
    // Gives the line back as it was found and releases every lock.
    ~LocalPort() override;

    void write(char byte) override;

    struct Private;

private:
    explicit LocalPort(std::unique_ptr<Private> data);
    void lose(const QString &what);

    std::unique_ptr<Private> d;
};

// What stands between this program and a device, found without opening it.
struct DeviceCheck
{
    QString canonicalPath; // the device itself, symlinks resolved; the path as given if unknown
    QString problem;       // why it can't be used, the words after "could not be opened: "
};

// Whether the device at `path` could be used as a serial port, without opening it: the device,
// a live program's lock file, flock() and a terminal session on it (exclusive mode shows only to
// an open). Windows tells only an open, which raises DTR and RTS: there nothing is looked at.
std::optional<DeviceCheck> checkDevice(const QString &path);

// One sentence for an errno that opening a device met, saying what to do. `closedFolder` is the
// folder on the way that the user may not enter, where EACCES came from there.
QString openErrorText(int error, const QString &closedFolder = QString());
