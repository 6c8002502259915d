#include <filesystem>

#include "platform/PosixSerialDevice.h"
#include "platform/SerialDevice.h"
#include "platform/SystemPorts.h"

namespace tessel {

std::string SystemPortPath(const std::string& name) {
    int n = 0;
    if (ParseComName(name, &n)) return "/dev/ttyS" + std::to_string(n - 1);
    // A relative path ("./ttyA", "links/board") is taken from the current folder; a bare
    // name that is not there but is in /dev ("ttyUSB0") means that device.
    if (!name.empty() && name[0] != '/') {
        std::error_code ec;
        if (name.find('/') != std::string::npos || std::filesystem::exists(name, ec))
            return std::filesystem::absolute(name, ec).lexically_normal().string();
        if (std::filesystem::exists("/dev/" + name, ec)) return "/dev/" + name;
    }
    return name;
}

std::unique_ptr<SerialDevice> OpenSystemPort(const std::string& name, Clock& clock, OpenError* error) {
    const std::string path = SystemPortPath(name);
    if (path.empty() || path[0] != '/') {
        if (error)
            *error = {0, "'" + name + "' is not a port name (use a device path such as /dev/ttyUSB0, COMn, serial:NUMBER, or sim)"};
        return nullptr;
    }
    return PosixSerialDevice::Open(path, clock, error);
}

std::unique_ptr<PortHold> HoldSystemPort(const std::string& name, OpenError* error) {
    const std::string path = SystemPortPath(name);
    if (path.empty() || path[0] != '/') {
        if (error) *error = {0, "'" + name + "' is not a port name"};
        return nullptr;
    }
    return PosixSerialDevice::Hold(path, error);
}

}  // namespace tessel
