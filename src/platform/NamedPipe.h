#pragma once
// A named pipe as a serial line, for the stand-in board on Windows: tessel-sim.exe serves
// `\\.\pipe\NAME` and the tool opens it as the port `pipe:NAME`. Unlike a COM port it needs
// no null-modem driver and has no rate, no modem lines and no other owner. POSIX systems have
// pseudo-terminals for this; there both calls refuse with a reason.

#include <memory>
#include <string>

#include "platform/SerialDevice.h"

namespace tessel {

// Whether `port` names a pipe ("pipe:NAME"); *name gets NAME.
bool IsPipePort(const std::string& port, std::string* name = nullptr);

// The tool's end: connects to the pipe the board serves; null with *error filled when no
// board serves it.
std::unique_ptr<SerialDevice> OpenPipeClient(const std::string& port, Clock& clock, OpenError* error);

// The board's end: creates the pipe and serves one tool at a time. A tool that closes its end
// is no fault: the pipe waits for the next one, as a board on a cable waits for the next run.
std::unique_ptr<SerialDevice> OpenPipeServer(const std::string& port, Clock& clock, OpenError* error);

}  // namespace tessel
