#include <cerrno>

#include "platform/PortList.h"
#include "platform/SerialDevice.h"
#include "platform/SystemPorts.h"
#include "platform/WinSerialDevice.h"

namespace tessel {

// COM1 to COM9 open by their bare names too, but COM10 and up only through the device
// namespace, so every one goes there.
std::string ResolvePortName(const std::string& name) {
    int n = 0;
    if (ParseComName(name, &n)) return "\\\\.\\COM" + std::to_string(n);
    if (name.rfind("serial:", 0) == 0) return FindPortBySerial(name.substr(7), nullptr);
    return name;
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
