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

#include "comwords.h"

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
    const DWORD error = done ? 0 : ::GetLastError();
    const QString problem =
        Serial::comWriteProblem(done, written, error, qt_error_string(int(error)));
    if (!problem.isEmpty())
        lose(problem);
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
    return Serial::comOpenErrorText(quint32(error), qt_error_string(error));
}
