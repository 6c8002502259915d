#include "sim/PortServer.h"

#include "platform/NamedPipe.h"
#include "platform/VirtualLine.h"

namespace tessel::sim {

bool PortServer::Open(const std::string& port, uint32_t baudRate, std::string* error) {
    OpenError why;
    device_ = IsPipePort(port) ? OpenPipeServer(port, clock_, &why) : OpenSerialDevice(port, clock_, &why);
    if (!device_) {
        if (error) *error = why.reason;
        return false;
    }
    settings_.baudRate = baudRate;
    if (!device_->Configure(settings_)) {
        if (error) *error = port + ": cannot be set to " + std::to_string(baudRate) + " baud";
        device_.reset();
        return false;
    }
    port_ = port;
    return true;
}

bool PortServer::Serve(const std::shared_ptr<LinePeer>& peer, const std::atomic<bool>& stop) {
    auto virtualLine = std::make_shared<VirtualLine>(clock_, port_);
    virtualLine->AttachPeer(peer);
    auto adapter = std::make_unique<UsbAdapterLine>(virtualLine, profile_);
    SerialDevice* line = adapter.get();
    line->Configure(settings_);
    uint8_t buf[512];
    while (!stop.load()) {
        // Short waits keep the board's own timers (the 1.1E prompt) close to their times.
        device_->WaitInput(clock_.NowUs() + 2000, &stop);
        const long got = device_->Read(buf, sizeof buf);
        if (got > 0) line->Write(buf, static_cast<size_t>(got), clock_.NowUs() + 1'000'000);
        const long out = line->Read(buf, sizeof buf);
        if (got < 0 || device_->Gone() || line->Gone() || peer->Unplugged()) {
            device_.reset();
            return false;
        }
        for (long done = 0; done < out;) {
            const long w = device_->Write(buf + done, static_cast<size_t>(out - done), clock_.NowUs() + 1'000'000);
            if (w <= 0) break;
            done += w;
        }
    }
    return true;
}

}  // namespace tessel::sim
