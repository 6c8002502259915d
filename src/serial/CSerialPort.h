#pragma once
// The one serial port through which the tool talks to the target's boot loader: fixed line
// set-up, the three DTR/RTS sequences, and byte moves with bounded waits. It knows nothing
// of the protocol.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/SerialDevice.h"

namespace tessel {

class Clock;
class Operator;
class WireTrace;

class CSerialPort {
public:
    // Waits, in milliseconds, as the boot loader's timing was designed around them.
    static constexpr uint32_t kWaitForInputMs = 1999;
    static constexpr uint32_t kPollForInputMs = 9;
    static constexpr uint32_t kDrainWaitMs = 199;
    static constexpr uint32_t kWriteByteLimitMs = 1000;
    static constexpr uint32_t kWriteBlockLimitMs = 2000;
    static constexpr uint32_t kReadLimitMs = 1000;

    CSerialPort(Operator* owner, Clock& clock);
    ~CSerialPort();
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    // 0 success, 2 the device could not be opened (LastOpenError says why).
    int Open();
    // 0 closed, 3 was not open; the link-up flag is cleared either way.
    int Close();
    bool IsOpen() const { return device_ != nullptr; }

    bool WaitForInput();
    bool PollForInput();
    int ReadByte(uint8_t* byte);
    int WriteByte(uint8_t byte);
    bool WriteBlock(const uint8_t* buffer, size_t length);
    bool PurgeInput();
    bool PurgeOutput();
    // Waits until every byte written has left the line, for as long as those bytes need at
    // the line's rate plus the drain wait; true when they have. The protocol calls it where
    // it needs the line quiet: before a timed pause, a purge or a change of the modem lines.
    bool DrainOutput();

    // A board that goes silent in the middle of a multi-step procedure would otherwise cost
    // a time-out for every try of every step (a minute and more) before the procedure could
    // say so. While a SilenceWatch lives, a wait for a reply that ends with nothing, after
    // an earlier one that also got nothing and no byte between them, marks the line silent:
    // the second wait is the check whether the board still answers. From then on every wait
    // for a reply fails at once, so the procedure runs straight through its recovery to its
    // report. The mark goes with the last watch.
    class SilenceWatch {
    public:
        explicit SilenceWatch(CSerialPort& p) : p_(p) { ++p_.silenceWatches_; }
        ~SilenceWatch() {
            if (--p_.silenceWatches_ == 0) {
                p_.silent_ = false;
                p_.quietWaits_ = 0;
            }
        }
        SilenceWatch(const SilenceWatch&) = delete;
        SilenceWatch& operator=(const SilenceWatch&) = delete;

    private:
        CSerialPort& p_;
    };
    // True once the board has gone silent under a watch.

    // True once the device has vanished (unplugged); every later transfer fails at once.
    bool DeviceGone() const { return gone_; }
    // "the serial device <path> has gone (unplugged?)"
    static std::string GoneMessage(const std::string& path);

    void SetLinesInternalMode();
    void SetLinesExternalMode();
    void PulseRts();

    int GetPortNumber() const { return portNumber_; }
    void SetPortNumber(int number);
    uint32_t GetBaudRate() const { return baudRate_; }
    void SetBaudRate(uint32_t rate) { baudRate_ = rate; }
    // A port may also be named directly (a device path or the stand-in board); an empty
    // name means "COM<port number>".
    const std::string& GetPortName() const { return portName_; }
    void SetPortName(const std::string& name) { portName_ = name; }
    std::string DeviceName() const;

    bool IsLinkUp() const { return linkUp_.load() != 0; }
    void SetLinkUp() { linkUp_ = 1; }
    void ClearLinkUp() { linkUp_ = 0; }

    // The rate the line was actually opened at (unlisted rates open at 38400).
    static uint32_t EffectiveRate(uint32_t requested);

    // Makes waits in progress on other threads return at once, and keeps later waits from
    // blocking, until ResumeWaits. Used to stop the link worker while it sits in a read.
    void CancelWaits();
    void ResumeWaits();

    // Writes every byte in both directions with its time to a file; empty path stops.
    bool StartWireTrace(const std::string& path, std::string* error);
    void StopWireTrace();
    // While set, bytes written are traced by count only: a password must not reach a file.
    void SetTraceWithheld(bool withheld) { traceWithheld_ = withheld; }

    const OpenError& LastOpenError() const { return lastOpenError_; }
    Operator* Owner() const { return owner_; }
    Clock& GetClock() const { return clock_; }
    SerialDevice* Device() { return device_.get(); }

    // Where devices come from when not opened by name (tests hand in a virtual line whose
    // far end they hold); every Open calls it afresh. An empty function restores naming.
    using DeviceFactory = std::function<std::unique_ptr<SerialDevice>(OpenError*)>;
    void SetDeviceFactory(DeviceFactory factory) { factory_ = std::move(factory); }

private:
    void Show(const char* text);
    void Trace(const std::string& line);
    void SetLine(bool dtr, bool high);
    bool WriteBytes(const uint8_t* buffer, size_t length, uint32_t limitMs);
    // Notices a vanished device once: says so, takes the link down. True when gone.
    bool CheckGone();
    // When the bytes written so far will have left at the line's rate, at the earliest.
    uint64_t WireFreeUs();
    // Discards the device's output queue, but only when it holds something: a
    // pseudo-terminal reports an empty queue while its peer has not read what was sent,
    // and a flush there takes those bytes away from the peer.
    void FlushQueuedOutput();

    Operator* owner_;
    Clock& clock_;
    std::unique_ptr<SerialDevice> device_;
    DeviceFactory factory_;
    std::atomic<int> linkUp_{0};
    uint32_t baudRate_ = 38400;
    LineSettings lineSettings_;
    int portNumber_ = 1;
    std::string portName_;
    int silenceWatches_ = 0;
    int quietWaits_ = 0;
    bool silent_ = false;
    OpenError lastOpenError_;
    bool linesUnsupportedReported_ = false;
    std::atomic<bool> cancelWaits_{false};
    std::unique_ptr<WireTrace> trace_;
    bool traceWithheld_ = false;
    bool gone_ = false;
    bool setupNoted_ = false;
    uint64_t txFreeUs_ = 0;
};

}  // namespace tessel
