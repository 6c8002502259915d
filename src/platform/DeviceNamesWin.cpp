#include <cerrno>

#include "platform/PortList.h"
#include "platform/SerialDevice.h"
#include "platform/SystemPorts.h"
#include "platform/WinSerialDevice.h"
#include "platform/WindowsNames.h"

namespace tessel {

std::string ResolvePortName(const std::string& name) {
    if (name.rfind("serial:", 0) == 0) return FindPortBySerial(name.substr(7), nullptr);
    return WindowsPortPath(name);
}

std::unique_ptr<SerialDevice> OpenSystemPort(const std::string& name, Clock& clock, OpenError* error) {
    if (name.rfind("serial:", 0) == 0) {
        std::string why;
        const std::string port = FindPortBySerial(name.substr(7), &why);
        if (port.empty()) {
            if (error) *error = {ENODEV, why};
            return nullptr;
        }
        return WinSerialDevice::Open(ResolvePortName(port), clock, error);
    }
    const std::string path = ResolvePortName(name);
    if (path.rfind("\\\\.\\", 0) != 0) {
        if (error) *error = {0, "'" + name + "' is not a port name (use COMn, \\\\.\\NAME, serial:NUMBER, or sim)"};
        return nullptr;
    }
    return WinSerialDevice::Open(path, clock, error);
}

}  // namespace tessel
