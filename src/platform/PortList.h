#pragma once
// The serial ports present on this machine, for the CLI's `ports`, the choice of a port by
// its USB serial number, and the GUI's port list.
//
// Read from sysfs rather than through libudev: everything needed (driver, USB ids, serial
// number, maker's strings) is in plain files under /sys/class/tty, the stable names are the
// links in /dev/serial/by-id, and a recorded copy of both trees makes the parsing testable
// without the hardware; libudev would add a dependency and still need a device database.

#include <string>
#include <vector>

namespace tessel {

struct PortEntry {
    std::string name;         // what to pass as the port: the device path
    std::string description;  // for people: the maker's product text, or "COMn" for a UART
    std::string driver;       // kernel driver ("ftdi_sio", "cp210x", "cdc_acm", "serial8250")
    std::string usbId;        // "0403:6001"; empty when not a USB device
    std::string serial;       // the USB serial number, if the device has one
    std::string byId;         // the stable /dev/serial/by-id/ name, if udev made one
    bool usb = false;
};

// USB devices first (/dev/ttyUSB*, /dev/ttyACM*, in number order), then the /dev/ttyS* that
// have a UART behind them, named "COMn" as well. `devRoot` and `sysRoot` are for tests.
std::vector<PortEntry> ListSerialPorts(const std::string& devRoot = "/dev",
                                       const std::string& sysRoot = "/sys");

// The device path of the USB device with this serial number; empty with *error filled when
// none or more than one has it.
std::string FindPortBySerial(const std::string& serial, std::string* error,
                             const std::string& devRoot = "/dev", const std::string& sysRoot = "/sys");

// One line of `tessel ports` for an entry.
std::string DescribePort(const PortEntry& entry);

}  // namespace tessel
