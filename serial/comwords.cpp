#include "comwords.h"

namespace {

// Windows' error codes (winerror.h), by number, so that this builds without Windows' headers.
enum : quint32 {
    FileNotFound = 2,
    PathNotFound = 3,
    TooManyOpenFiles = 4,
    AccessDenied = 5,
    InvalidHandle = 6,
    NotEnoughMemory = 8,
    OutOfMemory = 14,
    NotReady = 21,
    BadCommand = 22,
    GenFailure = 31,
    SharingViolation = 32,
    LockViolation = 33,
    InvalidParameter = 87,
    SemTimeout = 121,
    InvalidName = 123,
    BadPathname = 161,
    Busy = 170,
    PrivilegeNotHeld = 1314,
    DeviceNotConnected = 1167,
    NoSystemResources = 1450,
    Timeout = 1460,
    AccessDisabledByPolicy = 1260,
    OperationAborted = 995,
    DeviceRemoved = 1617,
};

} // namespace

namespace Serial {

QString comOpenErrorText(quint32 code, const QString &systemText)
{
    switch (code) {
    case FileNotFound:
    case PathNotFound:
    case InvalidName:
    case BadPathname:
        return QStringLiteral("no such port");
    // Windows says "access denied" for a COM port that another program has open.
    case AccessDenied:
    case SharingViolation:
    case LockViolation: // a device another program holds for itself alone
    case Busy:
        return QStringLiteral("it is in use by another program");
    case PrivilegeNotHeld:
    case AccessDisabledByPolicy:
        return QStringLiteral("the system does not let this program open it; ask whoever looks "
                              "after this computer");
    case NotReady:
    case GenFailure:
    case DeviceNotConnected:
    case DeviceRemoved:
        return QStringLiteral("the device does not respond; check that it is plugged in and "
                              "switched on");
    case NotEnoughMemory:
    case OutOfMemory:
    case TooManyOpenFiles:
    case NoSystemResources:
        return QStringLiteral("the system is short of resources; close some programs and try "
                              "again");
    case InvalidParameter:
        return QStringLiteral("the port does not take the device's line settings");
    default:
        return QStringLiteral("the system reports \"%1\"").arg(systemText);
    }
}

QString comWriteProblem(bool done, quint32 written, quint32 error, const QString &systemText)
{
    if (done && written == 1)
        return {};
    // A write that the timeout ends succeeds, having taken nothing.
    switch (done ? Timeout : error) {
    // What the system says when the adapter behind a handle has gone: a pulled USB adapter, or
    // under wine the pseudo-terminal's far end closed.
    case NotReady:
    case BadCommand:
    case GenFailure:
    case DeviceRemoved:
    case DeviceNotConnected:
    case AccessDenied:
    case OperationAborted:
    case InvalidHandle:
    case FileNotFound:
        return QStringLiteral("was disconnected");
    case Timeout:
    case SemTimeout:
        return QStringLiteral("stopped taking bytes");
    default:
        return QStringLiteral("stopped working (the system reports \"%1\")").arg(systemText);
    }
}

} // namespace Serial
