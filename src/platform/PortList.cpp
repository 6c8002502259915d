#include "platform/PortList.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <mutex>

namespace tessel {

namespace {

std::mutex& TreeMutex() {
    static std::mutex m;
    return m;
}

std::string& TreeRoot() {
    static std::string root;
    return root;
}

}  // namespace

std::string DeviceTreeDir(const char* part) {
    std::lock_guard<std::mutex> lock(TreeMutex());
    return TreeRoot() + "/" + part;
}

void SetDeviceTreeRoot(const std::string& root) {
    std::lock_guard<std::mutex> lock(TreeMutex());
    TreeRoot() = root;
}

std::string FindPortBySerial(const std::string& serial, std::string* error, const std::string& devRoot,
                             const std::string& sysRoot) {
    std::vector<std::string> found;
    for (const PortEntry& p : ListSerialPorts(devRoot, sysRoot))
        if (p.usb && !serial.empty() && p.serial == serial) found.push_back(p.name);
    if (found.size() == 1) return found.front();
    if (error) {
        if (found.empty()) *error = "no USB serial adapter with serial number '" + serial + "' is plugged in (`tessel ports` lists them)";
        else *error = "more than one serial device has serial number '" + serial + "' (" + found[0] + ", " + found[1] + "); name the port by its path";
    }
    return {};
}

PortEntry PortFromSerialMap(const std::string& device, const std::string& port) {
    PortEntry e;
    if (port.size() < 4 || port.compare(0, 3, "COM") != 0 ||
        !std::all_of(port.begin() + 3, port.end(), [](unsigned char c) { return std::isdigit(c); }))
        return e;
    e.name = port;
    std::string driver = device.substr(device.find_last_of('\\') + 1);
    while (!driver.empty() && std::isdigit(static_cast<unsigned char>(driver.back()))) driver.pop_back();
    e.driver = driver;
    // FTDI's virtual COM port, Silicon Labs' CP210x, Prolific's PL2303, WCH's CH34x and the
    // system's own CDC-ACM driver.
    static const char* const kUsbDrivers[] = {"VCP", "Silabser", "ProlificSerial", "CH341SER_A64", "USBSER"};
    e.usb = std::any_of(std::begin(kUsbDrivers), std::end(kUsbDrivers), [&](const char* d) { return driver == d; });
    e.description = e.usb ? "USB serial" : port;
    return e;
}

PortEntry PortFromDevice(const std::string& instanceId, const std::string& port, const std::string& friendlyName,
                         const std::string& service) {
    PortEntry e = PortFromSerialMap("", port);
    if (e.name.empty()) return e;
    e.driver = service;
    std::string upper = instanceId;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    // FTDI's bus driver joins the ids and the serial number with '+', and puts the channel's
    // letter after the serial number; the system's USB ids use '&' and give the serial
    // number its own part of the path.
    const bool ftdiBus = upper.rfind("FTDIBUS\\", 0) == 0;
    if (!ftdiBus && upper.rfind("USB\\", 0) != 0) {
        e.usb = false;
        e.description = port;
        return e;
    }
    const size_t vid = upper.find("VID_"), pid = upper.find("PID_");
    if (vid == std::string::npos || pid == std::string::npos || vid + 8 > upper.size() || pid + 8 > upper.size()) return e;
    e.usb = true;
    std::string ids = upper.substr(vid + 4, 4) + ":" + upper.substr(pid + 4, 4);
    for (char& c : ids) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    e.usbId = ids;
    const size_t first = instanceId.find('\\');
    const size_t second = instanceId.find('\\', first + 1);
    if (ftdiBus) {
        const size_t plus = instanceId.rfind('+', second);
        if (plus != std::string::npos && plus > pid && second != std::string::npos && second > plus + 2)
            e.serial = instanceId.substr(plus + 1, second - plus - 2);
    } else if (second != std::string::npos && upper.find("&MI_") == std::string::npos) {
        // An interface of a composite device names the interface here, not the device.
        const std::string serial = instanceId.substr(second + 1);
        if (serial.find('&') == std::string::npos) e.serial = serial;
    }
    // The system adds the port to the name it shows; the port is listed already.
    std::string name = friendlyName;
    const std::string suffix = " (" + port + ")";
    if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
        name.resize(name.size() - suffix.size());
    e.description = name.empty() ? "USB serial" : name;
    return e;
}

void SortPorts(std::vector<PortEntry>* ports) {
    auto number = [](const PortEntry& e) { return std::atoi(e.name.c_str() + 3); };
    std::stable_sort(ports->begin(), ports->end(), [&](const PortEntry& a, const PortEntry& b) {
        if (a.usb != b.usb) return a.usb;
        return number(a) < number(b);
    });
}

std::string DescribePort(const PortEntry& p) {
    std::string line = p.name;
    if (line.size() < 14) line.resize(14, ' ');
    line += "  " + p.description;
    if (!p.driver.empty()) line += "  driver " + p.driver;
    if (!p.usbId.empty()) line += "  usb " + p.usbId;
    if (!p.serial.empty()) line += "  serial " + p.serial;
    if (!p.byId.empty()) line += "\n" + std::string(16, ' ') + p.byId;
    return line;
}

}  // namespace tessel
