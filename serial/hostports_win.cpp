// The host's serial ports on Windows, from the device map the serial drivers fill in the
// registry: nothing is opened, so no port's DTR and RTS move and no program holding one notices.

#include "hostports.h"

#include <windows.h>

namespace Serial {

HostPorts readHostPorts()
{
    HKEY map = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ,
                        &map) != ERROR_SUCCESS)
        return {};
    // Each value is named after the device ("\Device\Serial0", "\Device\VCP0") and holds its
    // port's name ("COM1").
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
        QString name = QString::fromWCharArray(device);
        name.remove(QStringLiteral("\\Device\\"));
        listed.append({QString::fromWCharArray(port).trimmed(), name});
    }
    ::RegCloseKey(map);
    return numberComPorts(listed);
}

} // namespace Serial
