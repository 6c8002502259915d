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

// Where the lookups below read by default: `root`/dev and `root`/sys, or the machine's own /dev
// and /sys for "". Lets the whole tool run against a recorded or made-up device tree, whose
// device nodes may be links to pseudo-terminals.
void SetDeviceTreeRoot(const std::string& root);

// The folder the lookups read for "dev" or "sys": the device tree's, or /dev and /sys.
std::string DeviceTreeDir(const char* part);

// The kernel's name of the tty a port name leads to ("ttyUSB0"), for every lookup in sysfs:
// links are followed one at a time (the stable by-id and by-path names, a link of the
// user's, a device tree's node that is itself a link) and a relative name is taken from the
// current folder, until a name in the dev folder that sysfs lists. Empty when there is none
// (a pseudo-terminal, a device that is not there). Empty roots mean the device tree's.
std::string SysfsTtyName(const std::string& port, const std::string& devRoot = {},
                         const std::string& sysRoot = {});

// True for a port that a USB device provides (an adapter or a CDC-ACM modem), from sysfs.
bool IsUsbTty(const std::string& port, const std::string& devRoot = {}, const std::string& sysRoot = {});

// USB devices first (/dev/ttyUSB*, /dev/ttyACM*, in number order), then the /dev/ttyS* that
// have a UART behind them, named "COMn" as well. Empty roots mean the device tree's.
std::vector<PortEntry> ListSerialPorts(const std::string& devRoot = {}, const std::string& sysRoot = {});

// The device path of the USB device with this serial number; empty with *error filled when
// none or more than one has it.
std::string FindPortBySerial(const std::string& serial, std::string* error, const std::string& devRoot = {},
                             const std::string& sysRoot = {});

// The serial number of the USB adapter behind a port name (a path, a stable by-id link,
// serial:NUMBER); empty when the port is no USB adapter or it has none.
std::string AdapterSerialOf(const std::string& port, const std::string& devRoot = {},
                            const std::string& sysRoot = {});

// A port as Windows' map of serial devices names it: the driver's device ("\\Device\\VCP0") and
// the port ("COM3"). The name is empty when the port is not COMn. Only the drivers of USB
// adapters known by name make a USB entry; their ids and serial numbers are not in the map.
PortEntry PortFromSerialMap(const std::string& device, const std::string& port);
// A port as Windows' device manager knows it: its instance id ("USB\\VID_10C4&PID_EA60\\0001",
// or FTDI's own "FTDIBUS\\VID_0403+PID_6001+A9XYZ012A\\0000"), its port name ("COM3"), its
// friendly name ("USB Serial Port (COM3)") and its driver's service ("silabser"). The USB ids
// and the serial number come from the instance id; a serial number the system made up (it
// holds a '&') is none.
PortEntry PortFromDevice(const std::string& instanceId, const std::string& port, const std::string& friendlyName,
                         const std::string& service);
// In the order ports are listed: USB first, then by the number of their COMn name.
void SortPorts(std::vector<PortEntry>* ports);

// One line of `tessel ports` for an entry.
std::string DescribePort(const PortEntry& entry);

}  // namespace tessel
