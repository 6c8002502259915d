#include <cctype>
#include <cerrno>
#include <map>
#include <mutex>

#include "platform/NamedPipe.h"
#include "platform/PortList.h"
#include "platform/SerialDevice.h"
#include "platform/SystemPorts.h"

namespace tessel {

namespace {

struct SchemeTable {
    std::mutex mutex;
    std::map<std::string, DeviceOpener> openers;
};

SchemeTable& Schemes() {
    static SchemeTable table;
    return table;
}

// "serial:NUMBER": true with the number.
bool IsSerialNumberName(const std::string& name, std::string* serial) {
    if (name.rfind("serial:", 0) != 0) return false;
    *serial = name.substr(7);
    return true;
}

}  // namespace

bool ParseComName(const std::string& name, int* number) {
    if (name.size() < 4 || name.compare(0, 3, "COM") != 0) return false;
    int n = 0;
    for (size_t i = 3; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i])) || n > 100000) return false;
        n = n * 10 + (name[i] - '0');
    }
    if (n < 1) return false;
    *number = n;
    return true;
}

// A serial number stands for the port its adapter is on now, which is then taken as if named.
std::string ResolvePortName(const std::string& name) {
    std::string serial;
    return SystemPortPath(IsSerialNumberName(name, &serial) ? FindPortBySerial(serial, nullptr) : name);
}

bool IsSchemeName(const std::string& name, const std::string& scheme) {
    return name == scheme || name.rfind(scheme + ":", 0) == 0;
}

bool IsPipePort(const std::string& port, std::string* name) {
    if (port.rfind("pipe:", 0) != 0) return false;
    if (name) *name = port.substr(5);
    return true;
}

void RegisterDeviceScheme(const std::string& scheme, DeviceOpener opener) {
    std::lock_guard<std::mutex> lock(Schemes().mutex);
    Schemes().openers[scheme] = std::move(opener);
}

std::unique_ptr<SerialDevice> OpenSerialDevice(const std::string& name, Clock& clock,
                                               OpenError* error) {
    {
        std::unique_lock<std::mutex> lock(Schemes().mutex);
        for (auto& [scheme, opener] : Schemes().openers) {
            if (IsSchemeName(name, scheme)) {
                DeviceOpener copy = opener;
                lock.unlock();
                return copy(name, clock, error);
            }
        }
    }
    if (IsPipePort(name)) return OpenPipeClient(name, clock, error);
    if (IsSchemeName(name, "sim")) {
        if (error) *error = {0, name + ": the stand-in board is not available in this program"};
        return nullptr;
    }
    std::string serial;
    if (!IsSerialNumberName(name, &serial)) return OpenSystemPort(name, clock, error);
    std::string why;
    const std::string port = FindPortBySerial(serial, &why);
    if (port.empty()) {
        if (error) *error = {ENODEV, why};
        return nullptr;
    }
    return OpenSystemPort(port, clock, error);
}

}  // namespace tessel
