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
