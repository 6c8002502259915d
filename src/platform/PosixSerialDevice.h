#pragma once
// A termios serial device: a USB adapter, an on-board UART or a pseudo-terminal.

#include <string>

#include "platform/SerialDevice.h"

namespace tessel {

class PosixSerialDevice final : public SerialDevice {
public:
    // Opens `path` for exclusive use; null with *error filled when that is not possible.
    static std::unique_ptr<PosixSerialDevice> Open(const std::string& path, Clock& clock,
                                                   OpenError* error);
    // Holds `path` for a run: see HoldSystemPort.
    static std::unique_ptr<PortHold> Hold(const std::string& path, OpenError* error);
    ~PosixSerialDevice() override;

    bool Configure(const LineSettings& settings) override;
    LineResult SetDtr(bool high) override;
    LineResult SetRts(bool high) override;
    size_t InputCount() override;
    size_t OutputCount() override;
    bool WaitInput(uint64_t deadline, const std::atomic<bool>* cancel) override;
    bool WaitOutputEmpty(uint64_t deadline) override;
    long Read(uint8_t* buffer, size_t n) override;
    long Write(const uint8_t* buffer, size_t n, uint64_t deadline) override;
    bool PurgeInput() override;
    bool PurgeOutput() override;
    void Wake() override;
    std::string Name() const override { return path_; }
    bool Gone() const override { return gone_; }

    int Fd() const { return fd_; }

    // What a refused request for low latency costs and how to lower the timer by hand;
    // empty when there is nothing to say (not a USB adapter, no timer, or granted).
    std::string SetupNote() const override { return latencyNote_; }

private:
    PosixSerialDevice(int fd, int wakeFd, std::string path, Clock& clock);
    LineResult SetModemBit(int bit, bool high);
    // Waits for `events` on the device, or a wake; the real clock waits in poll itself,
    // a virtual clock is stepped a millisecond at a time between non-blocking polls.
    int WaitFd(short events, uint64_t deadline, const std::atomic<bool>* cancel);
    // Records a vanished device from an errno; returns the errno unchanged.
    int Note(int err);
    void AskLowLatency(const std::string& tty);

    int fd_;
    int wakeFd_;
    std::string path_;
    Clock& clock_;
    bool realClock_;
    std::atomic<bool> gone_{false};
    bool shared_ = false;  // a held device's descriptor: the hold keeps its lock
    bool restoreSerialFlags_ = false;
    int oldSerialFlags_ = 0;
    std::string latencyNote_;
    // The latency_timer attribute set to 1 ms at open, and what it held before.
    std::string timerFile_;
    int oldTimerMs_ = 0;
};

// Maps a failed open(2) to the operator's words: missing, busy, or not permitted (with the
// device's real owner and group, and what would let this user in).
std::string DescribeOpenFailure(const std::string& path, int err);

// The permission part of it, from what stat(2) and the user and group databases say.
struct DeviceAccess {
    unsigned mode = 0;  // permission bits
    std::string owner, group, user;
    bool userIsOwner = false;
    bool userInGroup = false;
};
std::string DescribePermissionDenied(const std::string& path, const DeviceAccess& access);

}  // namespace tessel
