#include "platform/PortList.h"

#include <windows.h>

#include <algorithm>

#include "platform/WinText.h"

namespace tessel {

// There is no sysfs: a port's name is its own, and what lies behind it is in the port list.
std::string SysfsTtyName(const std::string&, const std::string&, const std::string&) { return {}; }

bool IsUsbTty(const std::string& port, const std::string& devRoot, const std::string& sysRoot) {
    for (const PortEntry& p : ListSerialPorts(devRoot, sysRoot))
        if (p.name == port) return p.usb;
    return false;
}

// Every driver of a serial port enters its ports in the registry's map of serial devices,
// whether or not the device manager knows more about them; the roots of a recorded tree do
// not apply here.
std::vector<PortEntry> ListSerialPorts(const std::string&, const std::string&) {
    std::vector<PortEntry> ports;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return ports;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameLength = 256;
        wchar_t data[256];
        DWORD dataBytes = sizeof data - sizeof(wchar_t);
        DWORD type = 0;
        const LONG r = RegEnumValueW(key, i, name, &nameLength, nullptr, &type, reinterpret_cast<BYTE*>(data), &dataBytes);
        if (r == ERROR_NO_MORE_ITEMS) break;
        if (r != ERROR_SUCCESS || type != REG_SZ) continue;
        data[dataBytes / sizeof(wchar_t)] = L'\0';
        PortEntry e = PortFromSerialMap(win::Utf8(name, nameLength), win::Utf8(std::wstring(data)));
        if (!e.name.empty()) ports.push_back(std::move(e));
    }
    RegCloseKey(key);
    SortPorts(&ports);
    return ports;
}

std::string AdapterSerialOf(const std::string& port, const std::string& devRoot, const std::string& sysRoot) {
    if (port.rfind("serial:", 0) == 0) return port.substr(7);
    for (const PortEntry& p : ListSerialPorts(devRoot, sysRoot))
        if (p.usb && p.name == port) return p.serial;
    return {};
}

}  // namespace tessel
