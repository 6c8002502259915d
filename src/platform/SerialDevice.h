#pragma once
// The thin port interface that CSerialPort is built on: a POSIX termios device, a Windows
// communications port, or the in-process virtual line that the stand-in board listens on.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace tessel {

class Clock;

struct LineSettings {
    uint32_t baudRate = 38400;
    int dataBits = 8;
    char parity = 'N';
    int stopBits = 1;
};

// Result of driving a modem line: a pseudo-terminal or a virtual device may not have one.
enum class LineResult { Ok, Unsupported, Failed };

class SerialDevice {
public:
    virtual ~SerialDevice() = default;

    virtual bool Configure(const LineSettings& settings) = 0;
    virtual LineResult SetDtr(bool high) = 0;
    virtual LineResult SetRts(bool high) = 0;

    // Bytes received and not yet read; bytes written and not yet on the wire.
    virtual size_t InputCount() = 0;
    virtual size_t OutputCount() = 0;

    // Deadlines are on the injected clock, in microseconds (Clock::NowUs).
    //
    // Blocks until input is waiting (true), or the clock reaches the deadline, *cancel
    // turns true or Wake() is called (false). A byte that arrives is seen at once.
    virtual bool WaitInput(uint64_t deadlineUs, const std::atomic<bool>* cancel) = 0;

    // Blocks until everything written has left (true) or the deadline passes (false).
    virtual bool WaitOutputEmpty(uint64_t deadlineUs) = 0;

    // Reads what is waiting, at most n bytes, without blocking; -1 on a device error.
    virtual long Read(uint8_t* buffer, size_t n) = 0;

    // Queues bytes for sending, waiting at most until deadline for room; the number of
    // bytes taken, or -1 on a device error.
    virtual long Write(const uint8_t* buffer, size_t n, uint64_t deadlineUs) = 0;

    virtual bool PurgeInput() = 0;
    virtual bool PurgeOutput() = 0;

    // Ends a WaitInput in progress on another thread.
    virtual void Wake() = 0;

    virtual std::string Name() const = 0;

    // True once the device has vanished (an adapter unplugged, the far end of a
    // pseudo-terminal closed): nothing will pass through it again, so waiting is pointless.
    virtual bool Gone() const { return false; }

    // Something the operator may want to know about how the device was set up (a refused
    // low-latency request and how to lower the adapter's timer by hand); empty if nothing.
    virtual std::string SetupNote() const { return {}; }

    // True for the in-process line of the stand-in board: the one peer that stand-in
    // target images may be written to.
    virtual bool IsStandInLine() const { return false; }
};

// Why an open failed, in words an operator can act on.
struct OpenError {
    int code = 0;  // errno, or 0 when the name itself is wrong
    std::string reason;
};

// Opens a port by name: a device path ("/dev/ttyUSB0"), "COMn" (mapped to /dev/ttyS<n-1>;
// on Windows to \\.\COMn) or a name of a registered scheme ("sim:NX31A32"). Null with
// *error filled on failure.
std::unique_ptr<SerialDevice> OpenSerialDevice(const std::string& name, Clock& clock,
                                               OpenError* error);

// A port held for the whole of a run (a production station's): opened and locked as every
// command opens a port, exclusively and against every user, and kept so until the hold ends,
// between the commands that use it too. Opens of the same device by this process meanwhile
// share the held one, so that nobody can take the port in between. Null with *error filled
// when the port is in use or cannot be opened (on Windows: always, it holds no port yet).
class PortHold {
public:
    virtual ~PortHold() = default;
};
std::unique_ptr<PortHold> HoldSystemPort(const std::string& name, OpenError* error);

// The device path a port name stands for ("COM3" -> "/dev/ttyS2", on Windows "\\.\COM3";
// "serial:NUMBER" -> its adapter's port, "" when there is not exactly one); other names
// unchanged.
std::string ResolvePortName(const std::string& name);

// Port names with a scheme prefix ("sim" for "sim", "sim:..." ) are opened by a function
// that the owning layer registers, so that this layer does not depend on the stand-in board.
using DeviceOpener =
    std::function<std::unique_ptr<SerialDevice>(const std::string& name, Clock&, OpenError*)>;
void RegisterDeviceScheme(const std::string& scheme, DeviceOpener opener);
bool IsSchemeName(const std::string& name, const std::string& scheme);

}  // namespace tessel
