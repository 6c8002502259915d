#include <cerrno>
#include <cctype>
#include <filesystem>
#include <map>
#include <mutex>

#include "platform/PortList.h"

#include "platform/PosixSerialDevice.h"
#include "platform/SerialDevice.h"

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

}  // namespace

bool IsSchemeName(const std::string& name, const std::string& scheme) {
    return name == scheme || name.rfind(scheme + ":", 0) == 0;
}

void RegisterDeviceScheme(const std::string& scheme, DeviceOpener opener) {
    std::lock_guard<std::mutex> lock(Schemes().mutex);
    Schemes().openers[scheme] = std::move(opener);
}

std::string ResolvePortName(const std::string& name) {
    int n = 0;
    if (ParseComName(name, &n)) return "/dev/ttyS" + std::to_string(n - 1);
    if (name.rfind("serial:", 0) == 0) return FindPortBySerial(name.substr(7), nullptr);
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
    if (IsSchemeName(name, "sim")) {
        if (error) *error = {0, name + ": the stand-in board is not available in this program"};
        return nullptr;
    }
    if (name.rfind("serial:", 0) == 0) {
        std::string why;
        const std::string path = FindPortBySerial(name.substr(7), &why);
        if (path.empty()) {
            if (error) *error = {ENODEV, why};
            return nullptr;
        }
        return PosixSerialDevice::Open(path, clock, error);
    }
    const std::string path = ResolvePortName(name);
    if (path.empty() || path[0] != '/') {
        if (error)
            *error = {0, "'" + name + "' is not a port name (use a device path such as /dev/ttyUSB0, COMn, serial:NUMBER, or sim)"};
        return nullptr;
    }
    return PosixSerialDevice::Open(path, clock, error);
}

}  // namespace tessel
