#pragma once
// Serves a line peer (the stand-in board) on a serial port: one end of a null-modem pair, a
// real cable, or a virtual pair, whose other end the tool opens. Where there are no
// pseudo-terminals (Windows) this is how a program reaches the board through a port name.
// The line runs at the rate given here: a port, unlike a pseudo-terminal, does not say the
// rate its far end chose.

#include <atomic>
#include <memory>
#include <string>

#include "platform/Clock.h"
#include "platform/SerialDevice.h"
#include "platform/UsbAdapter.h"

namespace tessel {
class LinePeer;
}

namespace tessel::sim {

class PortServer {
public:
    // Opens `port` (any name the tool takes) at `baudRate`; false with *error filled.
    bool Open(const std::string& port, uint32_t baudRate, std::string* error);

    const std::string& Port() const { return port_; }
    void SetAdapter(const AdapterProfile& profile) { profile_ = profile; }

    // Bridges until `stop` turns true; false when it ended because the port, the adapter or
    // the peer went away.
    bool Serve(const std::shared_ptr<LinePeer>& peer, const std::atomic<bool>& stop);

private:
    RealClock clock_;
    std::unique_ptr<SerialDevice> device_;
    std::string port_;
    LineSettings settings_;
    AdapterProfile profile_;
};

}  // namespace tessel::sim
