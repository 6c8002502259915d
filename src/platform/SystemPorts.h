#pragma once
// Between the port-name schemes (DeviceNames.cpp) and each system's own ports
// (DeviceNamesPosix.cpp, DeviceNamesWin.cpp): not for use outside this folder.

#include <memory>
#include <string>

#include "platform/SerialDevice.h"

namespace tessel {

// "COMn" with n from 1: true and *number = n.
bool ParseComName(const std::string& name, int* number);

// The device path of one of the system's own port names ("COM3" as the system opens it, a
// relative path made absolute); other names unchanged.
std::string SystemPortPath(const std::string& name);

// Opens a name that no scheme claimed: one of the system's own serial ports.
std::unique_ptr<SerialDevice> OpenSystemPort(const std::string& name, Clock& clock, OpenError* error);

}  // namespace tessel
