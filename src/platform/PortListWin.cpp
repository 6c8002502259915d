#include "platform/PortList.h"

#include <windows.h>
#include <devguid.h>
#include <setupapi.h>

#include <algorithm>

#include "platform/WinText.h"

namespace tessel {

namespace {
// "\\.\COM3" is listed as COM3.
std::string Listed(const std::string& port) { return port.rfind("\\\\.\\", 0) == 0 ? port.substr(4) : port; }
}  // namespace

// There is no sysfs: a port's name is its own, and what lies behind it is in the port list.
std::string SysfsTtyName(const std::string&, const std::string&, const std::string&) { return {}; }

bool IsUsbTty(const std::string& port, const std::string& devRoot, const std::string& sysRoot) {
    for (const PortEntry& p : ListSerialPorts(devRoot, sysRoot))
        if (p.name == Listed(port)) return p.usb;
    return false;
}

namespace {

// A device's text property; "" when it has none.
std::string Property(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property) {
    wchar_t text[512];
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(set, device, property, &type, reinterpret_cast<BYTE*>(text),
                                           sizeof text - sizeof(wchar_t), nullptr) ||
        type != REG_SZ)
        return {};
    text[511] = L'\0';
    return win::Utf8(std::wstring(text));
}

// The ports of the device manager's Ports class: with their USB ids and serial numbers.
void AddDeviceManagerPorts(std::vector<PortEntry>* ports) {
    const HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        std::string port;
        const HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key != INVALID_HANDLE_VALUE) {
            wchar_t name[64];
            DWORD bytes = sizeof name - sizeof(wchar_t);
            DWORD type = 0;
            if (RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &bytes) ==
                    ERROR_SUCCESS &&
                type == REG_SZ) {
                name[bytes / sizeof(wchar_t)] = L'\0';
                port = win::Utf8(std::wstring(name));
            }
            RegCloseKey(key);
        }
        wchar_t id[512];
        if (!SetupDiGetDeviceInstanceIdW(set, &device, id, 512, nullptr)) id[0] = L'\0';
        PortEntry e = PortFromDevice(win::Utf8(std::wstring(id)), port, Property(set, &device, SPDRP_FRIENDLYNAME),
                                     Property(set, &device, SPDRP_SERVICE));
        if (!e.name.empty()) ports->push_back(std::move(e));
    }
    SetupDiDestroyDeviceInfoList(set);
}

// Every driver of a serial port enters its ports in the registry's map of serial devices,
// whether or not the device manager lists them (a virtual pair, a port under Wine): what it
// has beyond the device manager's list is added.
void AddSerialMapPorts(std::vector<PortEntry>* ports) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
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
        const bool listed = std::any_of(ports->begin(), ports->end(), [&](const PortEntry& p) { return p.name == e.name; });
        if (!e.name.empty() && !listed) ports->push_back(std::move(e));
    }
    RegCloseKey(key);
}

}  // namespace

// The roots of a recorded tree do not apply here.
std::vector<PortEntry> ListSerialPorts(const std::string&, const std::string&) {
    std::vector<PortEntry> ports;
    AddDeviceManagerPorts(&ports);
    AddSerialMapPorts(&ports);
    SortPorts(&ports);
    return ports;
}

std::string AdapterSerialOf(const std::string& port, const std::string& devRoot, const std::string& sysRoot) {
    if (port.rfind("serial:", 0) == 0) return port.substr(7);
    for (const PortEntry& p : ListSerialPorts(devRoot, sysRoot))
        if (p.usb && p.name == Listed(port)) return p.serial;
    return {};
}

}  // namespace tessel
