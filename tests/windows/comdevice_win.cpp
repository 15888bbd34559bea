#include "comdevice.h"

#include <QFile>
#include <QThread>
#include <functional>
#include <stdexcept>
#include <vector>

#include <windows.h>

namespace {

// "11:31,12:32": the program's port and the test's of each pair the wine session made.
struct Pair
{
    int program = 0;
    int farEnd = 0;
    bool taken = false;
};

std::vector<Pair> &pairs()
{
    static std::vector<Pair> all = [] {
        std::vector<Pair> found;
        for (const QString &pair : qEnvironmentVariable("RQ204_TEST_COM_PAIRS").split(u',')) {
            const QStringList ports = pair.split(u':');
            if (ports.size() == 2)
                found.push_back({ports[0].toInt(), ports[1].toInt()});
        }
        return found;
    }();
    return all;
}

// The files through which the test asks the session to cut a pair, and the session says it has
// (and that the pair is whole again, by removing the request).
QString controlFile(const char *what, int program)
{
    return QStringLiteral("%1/%2-%3")
        .arg(qEnvironmentVariable("RQ204_TEST_COM_CONTROL"), QLatin1String(what))
        .arg(program);
}

void waitUntil(const std::function<bool()> &done)
{
    for (int waited = 0; !done() && waited < 5000; waited += 10)
        QThread::msleep(10);
}

} // namespace

PtyDevice::PtyDevice()
{
    for (int i = 0; i < int(pairs().size()) && m_pair < 0; ++i) {
        if (!pairs()[i].taken)
            m_pair = i;
    }
    if (m_pair < 0)
        throw std::runtime_error("no COM port pair is free: set RQ204_WINE_PAIRS");
    Pair &pair = pairs()[m_pair];
    // A pair cut by the test before this one is whole again once its request has gone.
    waitUntil([&] { return !QFile::exists(controlFile("unplug", pair.program)); });
    const std::wstring farEnd = QStringLiteral("\\\\.\\COM%1").arg(pair.farEnd).toStdWString();
    HANDLE handle = ::CreateFileW(farEnd.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        throw std::runtime_error("the far end of a COM port pair does not open");
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    ::GetCommState(handle, &dcb);
    dcb.fBinary = TRUE; // raw, so that nothing is echoed back or held for a line
    ::SetCommState(handle, &dcb);
    // A read ends once nothing has come for 20 ms, or after 40 ms when nothing came at all.
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadIntervalTimeout = 20;
    timeouts.ReadTotalTimeoutConstant = 40;
    ::SetCommTimeouts(handle, &timeouts);
    m_farEnd = handle;
    pair.taken = true;
    m_path = QStringLiteral("COM%1").arg(pair.program);
    take(); // what an earlier test left on the line
}

PtyDevice::~PtyDevice()
{
    ::CloseHandle(m_farEnd);
    pairs()[m_pair].taken = false;
}

QByteArray PtyDevice::take()
{
    QByteArray bytes;
    char buffer[256];
    DWORD read = 0;
    while (::ReadFile(m_farEnd, buffer, sizeof buffer, &read, nullptr) && read > 0)
        bytes.append(buffer, qsizetype(read));
    return bytes;
}

void PtyDevice::unplug()
{
    const int program = pairs()[m_pair].program;
    QFile(controlFile("unplug", program)).open(QIODevice::WriteOnly);
    waitUntil([&] { return QFile::exists(controlFile("cut", program)); });
    QFile::remove(controlFile("cut", program));
}

HostPorts hostWith(const QStringList &paths)
{
    HostPorts ports;
    for (const QString &path : paths)
        ports.append({path, path.isEmpty() ? QString() : QStringLiteral("COM port pair")});
    return ports;
}

PortLister portsAt(const QStringList &paths)
{
    return [ports = hostWith(paths)] { return ports; };
}
