#pragma once
// The serial ports present on this machine, for the CLI's `ports` and the GUI's port list.

#include <string>
#include <vector>

namespace tessel {

struct PortEntry {
    std::string name;         // what to pass as the port: a path, or "sim:..."
    std::string description;  // where it leads (the device a stable name points to, ...)
};

// Stable names under /dev/serial/by-id first (they survive re-plugging), then
// /dev/ttyUSB*, /dev/ttyACM* and the /dev/ttyS* that have a UART behind them.
// `devRoot` and `sysRoot` are for tests.
std::vector<PortEntry> ListSerialPorts(const std::string& devRoot = "/dev",
                                       const std::string& sysRoot = "/sys");

}  // namespace tessel
