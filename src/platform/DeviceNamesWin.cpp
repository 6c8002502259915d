#include "platform/SerialDevice.h"
#include "platform/SystemPorts.h"
#include "platform/WinSerialDevice.h"
#include "platform/WindowsNames.h"

namespace tessel {

std::string SystemPortPath(const std::string& name) { return WindowsPortPath(name); }

std::unique_ptr<SerialDevice> OpenSystemPort(const std::string& name, Clock& clock, OpenError* error) {
    const std::string path = SystemPortPath(name);
    if (path.rfind("\\\\.\\", 0) != 0) {
        if (error) *error = {0, "'" + name + "' is not a port name (use COMn, \\\\.\\NAME, serial:NUMBER, or sim)"};
        return nullptr;
    }
    return WinSerialDevice::Open(path, clock, error);
}

std::unique_ptr<PortHold> HoldSystemPort(const std::string& name, OpenError* error) {
    if (error) *error = {0, name + ": a port cannot be held for a whole run on this system"};
    return nullptr;
}

}  // namespace tessel
