// The serial device on Windows, through the system's communications API. The port is opened as
// \\.\COMn, the name that reaches COM10 and above too, for reading and writing: a port opened for
// writing only can't be set up everywhere (under wine SetCommState refuses it, and the line stays
// at whatever speed it had). Windows hands a COM port to one program at a time, so there is
// nothing to look for before the open: its refusal is the answer.
//
// Each byte is written at once with a short write timeout: on a working port it goes into the
// driver's queue without waiting, an adapter that stalls gives up within the timeout instead of
// holding the event loop, and a removed adapter fails the write straight away. The open does
// not wait for a byte that never comes either, as nothing is ever read.

#include "localport.h"

#include <optional>

#include <windows.h>

namespace {

// Far more than one byte needs to enter the queue of a port without flow control.
constexpr DWORD WriteTimeoutMs = 50;

// "COM3" as "\\.\COM3"; a name already in the device namespace stays as it is.
std::wstring deviceName(const QString &path)
{
    const QString prefix = QStringLiteral("\\\\.\\");
    return (path.startsWith(prefix) ? path : prefix + path).toStdWString();
}

BYTE parityOf(char parity)
{
    switch (parity) {
    case 'E':
        return EVENPARITY;
    case 'O':
        return ODDPARITY;
    case 'M':
        return MARKPARITY;
    case 'S':
        return SPACEPARITY;
    default:
        return NOPARITY;
    }
}

BYTE stopBitsOf(LineSettings::StopBits stopBits)
{
    switch (stopBits) {
    case LineSettings::StopBits::OneAndHalf:
        return ONE5STOPBITS;
    case LineSettings::StopBits::Two:
        return TWOSTOPBITS;
    default:
        return ONESTOPBIT;
    }
}

// Raw bytes in `line`'s format without flow control in either direction (the device listens on
// one data pin and can't ask for a pause), DTR and RTS raised as an open leaves them on Linux.
void setLine(DCB &dcb, const LineSettings &line)
{
    dcb.BaudRate = DWORD(line.baud);
    dcb.ByteSize = BYTE(line.dataBits);
    dcb.Parity = parityOf(line.parity);
    dcb.StopBits = stopBitsOf(line.stopBits);
    dcb.fBinary = TRUE;
    dcb.fParity = line.parity != 'N';
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    // With it, the driver would refuse every write after a line error until it is cleared.
    dcb.fAbortOnError = FALSE;
}

// What the system says when the adapter behind a handle has gone: a pulled USB adapter, or under
// wine the pseudo-terminal's far end closed.
bool meansDisconnected(DWORD error)
{
    switch (error) {
    case ERROR_NOT_READY:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_ACCESS_DENIED:
    case ERROR_OPERATION_ABORTED:
    case ERROR_INVALID_HANDLE:
    case ERROR_FILE_NOT_FOUND:
        return true;
    default:
        return false;
    }
}

} // namespace

struct LocalPort::Private
{
    QString label;
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::optional<DCB> found; // the line as it was found, given back at the close

    ~Private() { close(); }

    void close()
    {
        if (handle == INVALID_HANDLE_VALUE)
            return;
        if (found)
            ::SetCommState(handle, &*found);
        ::CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
    }
};

std::unique_ptr<LocalPort> LocalPort::open(const QString &path, const QString &label,
                                           const LineSettings &line, QString &problem)
{
    auto d = std::make_unique<Private>();
    d->label = label;
    d->handle = ::CreateFileW(deviceName(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (d->handle == INVALID_HANDLE_VALUE) {
        problem = openErrorText(int(::GetLastError()));
        return nullptr;
    }
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(d->handle, &dcb)) {
        // A file, a printer or NUL: what is written there never goes down a serial line.
        problem = QStringLiteral("it is not a serial device");
        return nullptr;
    }
    d->found = dcb;
    setLine(dcb, line);
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadIntervalTimeout = MAXDWORD; // a read, were there one, returns at once
    timeouts.WriteTotalTimeoutConstant = WriteTimeoutMs;
    if (!::SetCommState(d->handle, &dcb) || !::SetCommTimeouts(d->handle, &timeouts)) {
        problem = openErrorText(int(::GetLastError()));
        return nullptr;
    }
    return std::unique_ptr<LocalPort>(new LocalPort(std::move(d)));
}

LocalPort::LocalPort(std::unique_ptr<Private> data) : d(std::move(data)) {}

LocalPort::~LocalPort() = default;

void LocalPort::write(char data)
{
    DWORD written = 0;
    const BOOL done = ::WriteFile(d->handle, &data, 1, &written, nullptr);
    if (done && written == 1)
        return;
    // A write that times out succeeds with nothing written.
    const DWORD error = done ? DWORD(ERROR_TIMEOUT) : ::GetLastError();
    if (meansDisconnected(error))
        lose(QStringLiteral("was disconnected"));
    else if (error == ERROR_TIMEOUT || error == ERROR_SEM_TIMEOUT)
        lose(QStringLiteral("stopped taking bytes"));
    else
        lose(QStringLiteral("stopped working (the system reports \"%1\")")
                 .arg(qt_error_string(int(error))));
}

void LocalPort::lose(const QString &what)
{
    const QString reason = QStringLiteral("%1 %2").arg(d->label, what);
    d->close();
    emit lost(reason);
}

std::optional<DeviceCheck> checkDevice(const QString &path)
{
    Q_UNUSED(path);
    return std::nullopt;
}

QString openErrorText(int error, const QString &closedFolder)
{
    Q_UNUSED(closedFolder);
    switch (DWORD(error)) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
        return QStringLiteral("no such port");
    // Windows says "access denied" for a COM port that another program has open.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: // a device another program holds for itself alone
    case ERROR_BUSY:
        return QStringLiteral("it is in use by another program");
    case ERROR_PRIVILEGE_NOT_HELD:
    case ERROR_ACCESS_DISABLED_BY_POLICY:
        return QStringLiteral("the system does not let this program open it; ask whoever looks "
                              "after this computer");
    case ERROR_NOT_READY:
    case ERROR_GEN_FAILURE:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
        return QStringLiteral("the device does not respond; check that it is plugged in and "
                              "switched on");
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_TOO_MANY_OPEN_FILES:
    case ERROR_NO_SYSTEM_RESOURCES:
        return QStringLiteral("the system is short of resources; close some programs and try "
                              "again");
    case ERROR_INVALID_PARAMETER:
        return QStringLiteral("the port does not take the device's line settings");
    default:
        return QStringLiteral("the system reports \"%1\"").arg(qt_error_string(error));
    }
}
