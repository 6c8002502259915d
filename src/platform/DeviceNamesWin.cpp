#include "platform/PortList.h"
#include "platform/SerialDevice.h"
#include "platform/SystemPorts.h"

namespace tessel {

// COM1 to COM9 open by their bare names too, but COM10 and up only through the device
// namespace, so every one goes there.
std::string ResolvePortName(const std::string& name) {
    int n = 0;
    if (ParseComName(name, &n)) return "\\\\.\\COM" + std::to_string(n);
    if (name.rfind("serial:", 0) == 0) return FindPortBySerial(name.substr(7), nullptr);
    return name;
}

std::unique_ptr<SerialDevice> OpenSystemPort(const std::string& name, Clock&, OpenError* error) {
    const std::string path = ResolvePortName(name);
    int n = 0;
    const bool comPort = path.rfind("\\\\.\\", 0) == 0 && ParseComName(path.substr(4), &n);
    if (error) {
        *error = comPort ? OpenError{0, name + ": serial ports cannot be opened by this Windows build yet; "
                                            "the stand-in board (sim) can"}
                         : OpenError{0, "'" + name + "' is not a port name (use COMn, serial:NUMBER, or sim)"};
    }
    return nullptr;
}

}  // namespace tessel
