#pragma once
// An in-process serial line: a byte pipe in each direction that models the wire at the
// host's baud rate on the injected clock. The host end is a SerialDevice; the far end is a
// LinePeer (the stand-in board), which sees the modem lines and the host's rate, and
// answers through PeerSend.
//
// The peer has no thread of its own. Whenever the host touches the line, time up to "now"
// is played out in order: each host byte is handed to the peer at the moment its last bit
// arrives, and the peer's own timed events (the 1.1E prompt, a delayed reply) run at the
// moments it asked for. That keeps the exchange deterministic on a virtual clock.

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/SerialDevice.h"

namespace tessel {

class Clock;
class VirtualLine;

// The spans of time in which something had to happen on a line: a byte on the wire either
// way, the board busy erasing or programming, an adapter holding bytes as it must. Whatever
// the host does, a run cannot be shorter than the union of these spans, so a benchmark that
// divides the elapsed time by it sees only what the host added. Overlaps count once.
class ActivityLog {
public:
    void Add(double startUs, double endUs);
    // The length of the union of the spans, within [fromUs, toUs].
    double UnionUs(double fromUs, double toUs) const;

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<double, double>> spans_;
};

class LinePeer {
public:
    virtual ~LinePeer() = default;
    // All times are microseconds on the line's clock.
    // A byte from the host whose stop bit ended at `at`, sent at `hostBaud`.
    virtual void OnHostByte(VirtualLine& line, uint8_t byte, uint64_t at, uint32_t hostBaud) = 0;
    // DTR or RTS changed at `at`.
    virtual void OnLinesChanged(VirtualLine& line, bool dtr, bool rts, uint64_t at) = 0;
    // The earliest time at which the peer wants OnTimer, or UINT64_MAX for none.
    virtual uint64_t NextTimer() = 0;
    virtual void OnTimer(VirtualLine& line, uint64_t at) = 0;
    // The host closed or purged nothing the peer needs to know about; the port closed.
    virtual void OnHostClosed(VirtualLine&, uint64_t) {}
    // True once the peer's end of the cable has been pulled: whoever serves the line makes the
    // host's device vanish, as a pulled USB adapter does.
    virtual bool Unplugged() const { return false; }
};

class VirtualLine : public SerialDevice {
public:
    VirtualLine(Clock& clock, std::string name);
    ~VirtualLine() override;

    void AttachPeer(std::shared_ptr<LinePeer> peer);

    // SerialDevice (host end).
    bool Configure(const LineSettings& settings) override;
    LineResult SetDtr(bool high) override;
    LineResult SetRts(bool high) override;
    size_t InputCount() override;
    size_t OutputCount() override;
    bool WaitInput(uint64_t deadlineUs, const std::atomic<bool>* cancel) override;
    bool WaitOutputEmpty(uint64_t deadlineUs) override;
    long Read(uint8_t* buffer, size_t n) override;
    long Write(const uint8_t* buffer, size_t n, uint64_t deadlineUs) override;
    bool PurgeInput() override;
    bool PurgeOutput() override;
    void Wake() override;
    std::string Name() const override { return name_; }
    bool IsStandInLine() const override { return true; }

    // Peer end: queue bytes towards the host. They go on the wire one after another, the
    // first no earlier than `at`, each taking ten bit times at `baud`.
    void PeerSend(const uint8_t* bytes, size_t n, uint64_t at, uint32_t baud);
    void PeerSend(uint8_t byte, uint64_t at, uint32_t baud) { PeerSend(&byte, 1, at, baud); }

    // What the peer sees of the host end.
    bool Dtr() const { return dtr_; }
    bool Rts() const { return rts_; }
    uint32_t HostBaud() const { return settings_.baudRate; }
    // Bytes queued by the host and not yet delivered.
    size_t PendingTowardsPeer();

    // Time one byte (start, eight data bits, stop) takes at a rate, in microseconds.
    static double ByteTimeUs(uint32_t baud);

    Clock& LineClock() { return clock_; }

    // Where the wire time of every byte is recorded, and what a model between host and line
    // (an adapter) records its own waits in; none by default.
    void SetActivityLog(std::shared_ptr<ActivityLog> log);
    ActivityLog* Activity() { return activity_.get(); }

    // Bytes the host has written in all, and the peer has sent in all (benchmarks).
    uint64_t HostBytesWritten() const { return hostBytesWritten_; }
    uint64_t PeerBytesSent() const { return peerBytesSent_; }

    // Close of the host end (the device object is kept by whoever owns the line).
    void HostClose();

    // For a model that sits between the host and the line (a USB adapter) and so hands
    // bytes over at times of its own rather than "now". Calls must come in time order.
    //
    // Plays the line out up to `at`.
    void AdvanceTo(uint64_t at);
    // Host bytes that go on the wire no earlier than `at` (at most "now").
    long WriteAt(const uint8_t* buffer, size_t n, uint64_t at);
    // Takes the bytes whose last bit has arrived at the host end by `upTo`, with that time.
    struct Arrival {
        uint64_t at;
        uint8_t byte;
    };
    size_t TakeArrived(uint64_t upTo, std::vector<Arrival>* out);
    // The next moment something happens on the line by itself (a host byte reaching the
    // peer, a peer timer, a peer byte reaching the host), or UINT64_MAX.
    uint64_t NextEventUs();

private:
    struct TimedByte {
        double at;  // us, when the last bit has arrived
        uint8_t byte;
        uint32_t baud;
    };

    void PlayOutLocked(uint64_t now);
    uint64_t NextEventLocked();

    Clock& clock_;
    std::string name_;
    std::recursive_mutex mutex_;
    std::shared_ptr<LinePeer> peer_;
    LineSettings settings_;
    bool dtr_ = false;
    bool rts_ = false;
    std::deque<TimedByte> towardsPeer_;
    std::deque<TimedByte> towardsHost_;
    double hostTxFree_ = 0;  // when the host's transmitter is next free
    double peerTxFree_ = 0;
    uint64_t hostBytesWritten_ = 0;
    uint64_t peerBytesSent_ = 0;
    std::atomic<bool> wakeRequested_{false};
    std::shared_ptr<ActivityLog> activity_;
};

// The host end of a line whose far end is owned elsewhere: CSerialPort owns its device, so
// the stand-in board keeps the line and hands out this forwarding device.
class VirtualLineHandle : public SerialDevice {
public:
    explicit VirtualLineHandle(std::shared_ptr<VirtualLine> line) : line_(std::move(line)) {}
    ~VirtualLineHandle() override { line_->HostClose(); }
    bool Configure(const LineSettings& s) override { return line_->Configure(s); }
    LineResult SetDtr(bool high) override { return line_->SetDtr(high); }
    LineResult SetRts(bool high) override { return line_->SetRts(high); }
    size_t InputCount() override { return line_->InputCount(); }
    size_t OutputCount() override { return line_->OutputCount(); }
    bool WaitInput(uint64_t deadline, const std::atomic<bool>* cancel) override {
        return line_->WaitInput(deadline, cancel);
    }
    bool WaitOutputEmpty(uint64_t deadline) override { return line_->WaitOutputEmpty(deadline); }
    long Read(uint8_t* b, size_t n) override { return line_->Read(b, n); }
    long Write(const uint8_t* b, size_t n, uint64_t deadline) override {
        return line_->Write(b, n, deadline);
    }
    bool PurgeInput() override { return line_->PurgeInput(); }
    bool PurgeOutput() override { return line_->PurgeOutput(); }
    void Wake() override { line_->Wake(); }
    std::string Name() const override { return line_->Name(); }
    bool IsStandInLine() const override { return true; }
    VirtualLine& Line() { return *line_; }

private:
    std::shared_ptr<VirtualLine> line_;
};

}  // namespace tessel
