// The host's serial ports on Windows, from the device map the serial drivers fill in the
// registry, named as Device Manager names them: nothing is opened, so no port's DTR and RTS move
// and no program holding one notices.

#include "hostports.h"

#include <QHash>

#include <windows.h>

#include <setupapi.h>

namespace {

// Device Manager's "Ports (COM & LPT)" class.
const GUID PortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// A REG_SZ value of `key`, or nothing.
QString stringValue(HKEY key, const wchar_t *name)
{
    wchar_t text[256] = {};
    DWORD bytes = sizeof text - sizeof(wchar_t);
    DWORD type = 0;
    if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(text), &bytes) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return {};
    return QString::fromWCharArray(text).trimmed();
}

// What Device Manager calls each port present ("USB-SERIAL CH340 (COM4)"), by its port name in
// capitals: the device's friendly name, and its PortName from its hardware key.
QHash<QString, QString> friendlyNames()
{
    QHash<QString, QString> names;
    const HDEVINFO devices = ::SetupDiGetClassDevsW(&PortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE)
        return names;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    for (DWORD index = 0; ::SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
        wchar_t friendly[256] = {};
        if (!::SetupDiGetDeviceRegistryPropertyW(devices, &device, SPDRP_FRIENDLYNAME, nullptr,
                                                 reinterpret_cast<BYTE *>(friendly),
                                                 sizeof friendly - sizeof(wchar_t), nullptr))
            continue;
        const HKEY key =
            ::SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE)
            continue;
        const QString port = stringValue(key, L"PortName").toUpper();
        if (!port.isEmpty())
            names.insert(port, QString::fromWCharArray(friendly));
        ::RegCloseKey(key);
    }
    ::SetupDiDestroyDeviceInfoList(devices);
    return names;
}

} // namespace

namespace Serial {

HostPorts readHostPorts()
{
    HKEY map = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ,
                        &map) != ERROR_SUCCESS)
        return {};
    const QHash<QString, QString> friendly = friendlyNames();
    // Each value is named after the device ("\Device\Serial0", "\Device\VCP0") and holds its
    // port's name ("COM1"). The device's name stands in where Device Manager has none (wine).
    HostPorts listed;
    for (DWORD index = 0;; ++index) {
        wchar_t device[256];
        wchar_t port[64];
        DWORD deviceSize = DWORD(std::size(device));
        DWORD portBytes = sizeof port - sizeof(wchar_t);
        DWORD type = 0;
        const LONG result = ::RegEnumValueW(map, index, device, &deviceSize, nullptr, &type,
                                            reinterpret_cast<BYTE *>(port), &portBytes);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result != ERROR_SUCCESS || type != REG_SZ)
            continue;
        port[portBytes / sizeof(wchar_t)] = 0;
        const QString name = QString::fromWCharArray(port);
        const QString driver = QString::fromWCharArray(device).remove(QStringLiteral("\\Device\\"));
        listed.append({name, friendly.value(name.trimmed().toUpper(), driver)});
    }
    ::RegCloseKey(map);
    return numberComPorts(listed);
}

} // namespace Serial
