#pragma once
// A serial port through the Win32 communications API: "\\.\COMn", opened overlapped so that
// a wait for input can be woken and bounded.

#include <string>

#include "platform/SerialDevice.h"

namespace tessel {

class WinSerialDevice final : public SerialDevice {
public:
    // Opens `path` ("\\.\COM3") for exclusive use; null with *error filled when that is not
    // possible.
    static std::unique_ptr<WinSerialDevice> Open(const std::string& path, Clock& clock, OpenError* error);
    ~WinSerialDevice() override;

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

private:
    WinSerialDevice(void* handle, void* wake, std::string path, Clock& clock, bool dtr, bool rts);
    LineResult Escape(unsigned function);
    // The queue counts, or false (the device gone, or an error the system reports).
    bool Status(size_t* in, size_t* out);
    // Records a vanished device from a system error number; returns it unchanged.
    unsigned long Note(unsigned long error);
    // Waits for an overlapped call on the real clock until `deadline`; false when it did
    // not complete (it is then cancelled), with *bytes what it moved.
    bool Finish(void* overlapped, uint64_t deadline, unsigned long* bytes);

    void* handle_;
    void* wake_;
    std::string path_;
    Clock& clock_;
    bool realClock_;
    std::atomic<bool> gone_{false};
    // What the lines are set to: a change of the rate must not change them.
    bool dtr_;
    bool rts_;
    // Whether the system's timer was set to 1 ms for this port, to be put back at close.
    bool finePeriod_ = false;
};

// The operator's words for a failed open, from the system's error number.
std::string DescribeComOpenFailure(const std::string& path, unsigned long error);

}  // namespace tessel
