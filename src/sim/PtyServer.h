#pragma once
// Serves a line peer (the stand-in board) on a pseudo-terminal, so that programs using a real
// serial device path — the CLI, the desktop program, the POSIX backend's tests — can talk to
// it. The server is the host end of a virtual line on the real clock: what a client writes to
// the terminal goes into the line at the rate the client configured, and what the board
// sends comes back out.

#include <atomic>
#include <memory>
#include <string>

#include "platform/UsbAdapter.h"

namespace tessel {
class LinePeer;
class VirtualLine;
}  // namespace tessel

namespace tessel::sim {

class PtyServer {
public:
    // Opens the pseudo-terminal pair; false with *error filled when that fails.
    bool Open(std::string* error);
    ~PtyServer();

    // The device path clients open ("/dev/pts/N").
    const std::string& SlavePath() const { return slavePath_; }

    // The board sits behind this adapter (the default: a UART with nothing in between).
    // With unplugAfter set, the terminal is closed for good once that many bytes went to
    // the board, as a pulled cable makes the device vanish.
    void SetAdapter(const AdapterProfile& profile) { profile_ = profile; }

    // Bridges until `stop` turns true (checked at least every few milliseconds); false
    // when it ended because the adapter or the peer was unplugged: the terminal is then
    // closed for good.
    bool Serve(const std::shared_ptr<LinePeer>& peer, const std::atomic<bool>& stop);

private:
    int master_ = -1;
    int slaveKeep_ = -1;  // held open so that a client's close does not hang up the master
    std::string slavePath_;
    AdapterProfile profile_;
};

}  // namespace tessel::sim
