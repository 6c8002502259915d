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
// Adapter facts used here, and where they come from (the makers' documents by title):
//
//  - FTDI FT232R ("FT232R USB UART IC" datasheet; FTDI application note AN232B-04 "Data
//    Throughput, Latency and Handshaking"): 64-byte bulk packets towards the host of which
//    the first two bytes are modem status, so 62 data bytes per packet; a packet goes when
//    it is full or when the latency timer runs out. The timer "measures the time since data
//    was last sent to the PC" and restarts each time a packet goes, so it runs in periods
//    even while the line is quiet (each period ends with a status-only packet), and a lone
//    reply byte waits for the end of the current period: on average half the timer.
//    16 ms by default, 1 to 255 ms; the Linux ftdi_sio driver shows it as latency_timer in
//    sysfs and sets it to 1 ms for ASYNC_LOW_LATENCY. A 128-byte buffer from USB to the UART.
//  - Silicon Labs CP2102 ("CP2102/9 Single-Chip USB to UART Bridge" datasheet; Silicon Labs
//    knowledge-base article "CP210x USB communication"; application note AN205 "CP210x Baud
//    Rate Support"): a 576-byte receive buffer and a 640-byte transmit buffer; received data
//    goes to the host only when the receive buffer is full or the UART receive timeout has
//    run out since the last byte came in, in 64-byte packets with no status bytes. The
//    timeout belongs to the baud-rate configuration (AN205) and cannot be set through the
//    Linux cp210x driver. Neither document gives it as a number for the default
//    configuration: the model takes 1 ms, which errs towards a fast adapter.
//  - WCH CH340/CH341 ("USB to serial chip CH340" and "USB Bridge Controller CH341"
//    datasheets; the Linux ch341 driver): a full-speed device with 32-byte bulk endpoints
//    and no latency setting; the driver sets the chip's "no buffering" bit, without which
//    it holds received bytes until a whole 32-byte packet is there, so a partial packet
//    goes at the host's next poll, one per 1 ms frame.
//  - CDC-ACM ("Universal Serial Bus Class Definitions for Communication Devices" 1.2 and its
//    PSTN subclass; USB 2.0): the device has no latency timer: it hands
//    what it has to the 64-byte bulk IN endpoint and the host polls that endpoint each 1 ms
//    frame at full speed.
//  - USB 2.0 full speed: 1 ms frames; the host controller schedules bulk OUT transfers in
//    them, so a write waits for the next frame boundary (half a frame on average).
//  - The kernel's usb-serial core: TIOCOUTQ counts bytes in the driver's FIFO and in URBs
//    still in flight; tcdrain also waits for the adapter to report its transmitter empty.
//
// Where a wait depends on a phase the host cannot see (the FTDI timer's period, the frame
// boundaries), the model plays that phase out on the clock, and records every wait it
// imposes in the line's activity log, so that a benchmark's bound counts each wait the
// adapter makes unavoidable and nothing else.

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/SerialDevice.h"
#include "platform/VirtualLine.h"

namespace tessel {

enum class AdapterKind { Native, Ftdi, Cp210x, Ch340, CdcAcm };

// When an adapter sends received bytes that do not fill a packet.
enum class RxFlush {
    None,          // no packets: bytes are seen as they arrive
    LatencyTimer,  // at the end of a timer period; the timer restarts whenever a packet goes
    IdleTimeout,   // once the line has been quiet for the timeout, or the buffer is full
    NextFrame,     // at the host's next poll, one per frame
};

struct AdapterProfile {
    AdapterKind kind = AdapterKind::Native;
    RxFlush rxFlush = RxFlush::None;
    size_t packetPayload = 0;  // data bytes per USB packet towards the host; 0: no packets
    size_t rxBuffer = 0;       // IdleTimeout: bytes held before the adapter must send
    uint64_t latencyUs = 0;    // LatencyTimer: the timer; IdleTimeout: the timeout
    uint64_t frameUs = 0;      // written bytes leave at frame boundaries; 0: at once
    size_t txFifo = 0;         // bytes the adapter holds on their way to the UART; 0: no limit
    uint64_t unplugAfter = 0;  // the adapter vanishes once this many bytes were sent; 0: never

    // The profile of a kind at its default setting; `latencyMs` overrides the timer or
    // timeout when non-zero (only where the adapter has one).
    static AdapterProfile For(AdapterKind kind, uint32_t latencyMs = 0);
    // The kind at the setting the tool asks for (the FTDI timer at 1 ms); the default for
    // adapters that have nothing to set.
    static AdapterProfile Best(AdapterKind kind);
    // True when the host can change the adapter's wait (the FTDI latency timer).
    bool LatencySettable() const { return rxFlush == RxFlush::LatencyTimer; }
};

// "ftdi", "cp210x", "ch340", "cdc-acm" or "native"; false for any other name.
bool ParseAdapterKind(const std::string& name, AdapterKind* out);
const char* AdapterKindName(AdapterKind kind);
// Every kind, native first: for option help and benchmarks.
const std::vector<AdapterKind>& AllAdapterKinds();
// "ftdi, cp210x, ch340, cdc-acm or native".
std::string AdapterKindList();

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

    VirtualLine& Line() { return *line_; }

private:
    // Plays the adapter and the line out up to `now`, in time order.
    void Sync(uint64_t now);
    void TransferFrame(uint64_t at);
    void Ingest(const VirtualLine::Arrival& a);
    void FlushPacket(uint64_t at, bool full);
    // When the bytes held now go to the host by themselves (not for a full packet).
    uint64_t FlushDue() const;
    uint64_t NextFrameAfter(uint64_t t) const;
    uint64_t NextEvent();
    void Record(uint64_t from, uint64_t to);

    std::shared_ptr<VirtualLine> line_;
    AdapterProfile profile_;
    std::shared_ptr<AdapterCounters> counters_;
    Clock& clock_;
    std::mutex mutex_;
    std::atomic<bool> wakeRequested_{false};
    uint64_t nextFrame_ = 0;
    std::deque<uint8_t> txQueue_;     // written, waiting for a frame
    std::vector<uint8_t> packet_;     // received, waiting for the packet to go
    uint64_t packetStart_ = 0;         // when the first byte held arrived
    uint64_t lastArrival_ = 0;         // when the last byte held arrived
    uint64_t timerBase_ = 0;           // LatencyTimer: when the last packet went
    uint64_t lastDelivered_ = 0;       // when bytes last became visible to the host
    bool deliveredSinceWrite_ = false;
    std::deque<uint8_t> rxReady_;     // delivered to the host, not yet read
    uint64_t sentTotal_ = 0;
    bool wroteSinceReply_ = false;
    bool gone_ = false;
};

}  // namespace tessel
