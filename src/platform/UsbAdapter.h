#pragma once
// A USB-serial adapter between the host and a virtual line: it changes only when bytes
// become visible, never what they are. Almost every operator reaches the board through one,
// and it differs from a pseudo-terminal or an on-board UART in three ways that the tool's
// timing has to live with:
//
//  - Received bytes reach the host in USB packets. The adapter collects them and sends a
//    packet when it is full or when its latency timer runs out, whichever comes first.
//  - Written bytes leave the host's queue in USB frames, one every millisecond on a
//    full-speed bus, and the kernel's output count (TIOCOUTQ) stays non-zero until the
//    transfer that carries them has completed; only then does the adapter shift them out at
//    the baud rate, from a FIFO of a few hundred bytes.
//  - The adapter can vanish when the cable is pulled.
//
// Adapter facts used here, and where they come from:
//
//  - FTDI FT232R (datasheet; the Linux ftdi_sio driver): 64-byte bulk packets of which the
//    first two bytes are modem status, so 62 data bytes per packet; a latency timer of
//    16 ms by default (ftdi_sio's latency_timer in sysfs, 1..255 ms), which the driver sets
//    to 1 ms when a program asks for ASYNC_LOW_LATENCY through TIOCSSERIAL; a 128-byte
//    buffer for data on its way from USB to the UART.
//  - Silicon Labs CP2102 (datasheet; the Linux cp210x driver): 64-byte bulk packets with no
//    status bytes; no latency timer the host can set: a partial packet is returned at the
//    next bulk poll, which the model takes as the next 1 ms frame; a 640-byte buffer from
//    USB to the UART.
//  - USB 2.0 full speed: 1 ms frames; the host controller schedules bulk OUT transfers in
//    them, so a write waits for the next frame boundary (half a frame on average).
//  - The kernel's usb-serial core: TIOCOUTQ counts bytes in the driver's FIFO and in URBs
//    still in flight; tcdrain also waits for the adapter to report its transmitter empty.
//
// The model is worst case where the hardware varies: a packet's first byte waits the whole
// latency (a real timer may already be part-way through), so a benchmark's bound holds.

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/SerialDevice.h"
#include "platform/VirtualLine.h"

namespace tessel {

enum class AdapterKind { Native, Ftdi, Cp210x };

struct AdapterProfile {
    AdapterKind kind = AdapterKind::Native;
    size_t packetPayload = 0;  // data bytes per USB packet towards the host; 0: no packets
    uint64_t latencyUs = 0;    // a partial packet waits this long
    uint64_t frameUs = 0;      // written bytes leave at frame boundaries; 0: at once
    size_t txFifo = 0;         // bytes the adapter holds on their way to the UART; 0: no limit
    uint64_t unplugAfter = 0;  // the adapter vanishes once this many bytes were sent; 0: never

    // The profile of a kind at its default latency; `latencyMs` overrides it when non-zero.
    static AdapterProfile For(AdapterKind kind, uint32_t latencyMs = 0);
};

// "ftdi", "cp210x" or "native"; false for any other name.
bool ParseAdapterKind(const std::string& name, AdapterKind* out);
const char* AdapterKindName(AdapterKind kind);

// What a benchmark wants to know about the traffic through an adapter; shared so that it
// outlives the device objects that each open of the port creates.
struct AdapterCounters {
    uint64_t turnarounds = 0;   // times the host waited for a reply after writing
    uint64_t packets = 0;       // USB packets delivered to the host
    uint64_t framesUsed = 0;    // frames that carried written bytes
    uint64_t bytesSent = 0;     // host bytes handed to the adapter's UART
    uint64_t goneAtUs = 0;      // when the adapter vanished; 0 while it is there
};

class UsbAdapterLine : public SerialDevice {
public:
    UsbAdapterLine(std::shared_ptr<VirtualLine> line, AdapterProfile profile,
                   std::shared_ptr<AdapterCounters> counters = nullptr);
    ~UsbAdapterLine() override;

    bool Configure(const LineSettings& settings) override;
    LineResult SetDtr(bool high) override;
    LineResult SetRts(bool high) override;
    size_t InputCount() override;
    // The kernel's count: bytes whose USB transfer has not completed yet.
    size_t OutputCount() override;
    bool WaitInput(uint64_t deadlineUs, const std::atomic<bool>* cancel) override;
    // As tcdrain: until the transfers are done and the adapter's UART has sent the last bit.
    bool WaitOutputEmpty(uint64_t deadlineUs) override;
    long Read(uint8_t* buffer, size_t n) override;
    long Write(const uint8_t* buffer, size_t n, uint64_t deadlineUs) override;
    bool PurgeInput() override;
    bool PurgeOutput() override;
    void Wake() override;
    std::string Name() const override { return line_->Name(); }
    bool IsStandInLine() const override { return true; }
    bool Gone() const override { return gone_; }

    const AdapterProfile& Profile() const { return profile_; }
    VirtualLine& Line() { return *line_; }

private:
    // Plays the adapter and the line out up to `now`, in time order.
    void Sync(uint64_t now);
    void TransferFrame(uint64_t at);
    void Ingest(const VirtualLine::Arrival& a);
    void FlushPacket(uint64_t at);
    uint64_t NextEvent();

    std::shared_ptr<VirtualLine> line_;
    AdapterProfile profile_;
    std::shared_ptr<AdapterCounters> counters_;
    Clock& clock_;
    std::mutex mutex_;
    std::atomic<bool> wakeRequested_{false};
    uint64_t nextFrame_ = 0;
    std::deque<uint8_t> txQueue_;     // written, waiting for a frame
    std::vector<uint8_t> packet_;     // received, waiting for the packet to go
    uint64_t packetStart_ = 0;
    std::deque<uint8_t> rxReady_;     // delivered to the host, not yet read
    uint64_t sentTotal_ = 0;
    bool wroteSinceReply_ = false;
    bool gone_ = false;
};

}  // namespace tessel
