#pragma once
// The flags that the one-second timer, the command handlers and the 1.1E link worker thread
// all read and write, kept in one object owned by the session. Each is an atomic so that any
// of those threads may test or set it without a lock.

#include <atomic>
#include <cstdint>

#include "device/StopRequest.h"

namespace tessel {

// Bits 7:5 of the detection status byte, the lock status.
inline constexpr int kLockStatusMask = 0xE0;

struct SessionFlags {
    // The operator's program has been started; every flash command refuses until detection.
    std::atomic<bool> userCodeRunning{false};
    // A 1.1E link worker thread is alive.
    std::atomic<bool> workerRunning{false};
    // A failed transfer has already been reported, so later layers stay silent; also the
    // worker's failure flag.
    std::atomic<bool> errorReported{false};
    // The boot loader's password was accepted since the last link reset.
    std::atomic<bool> passwordVerified{false};
    // A multi-step operation is under way; the periodic link check keeps off the line.
    std::atomic<bool> longOperation{false};
    // Status bit 3 on the H/L models.
    std::atomic<bool> doubleClockOn{false};
    // Status byte AND E0h: one of 00h, 20h, ... E0h.
    std::atomic<int> lockStatus{0};
    // The operator asked the work to stop at its next safe point.
    StopRequest stop;
};

// Keeps the periodic link check off the line from Begin until End, or until the guard goes,
// so that no early return or exception leaves the check away for good. Only a procedure after
// which nothing answers for the loader any more keeps the flag set beyond the guard.
class LongOperation {
public:
    enum Start { kNow, kLater };
    explicit LongOperation(SessionFlags& flags, Start start = kNow) : flag_(flags.longOperation) {
        if (start == kNow) Begin();
    }
    ~LongOperation() {
        if (!kept_) End();
    }
    LongOperation(const LongOperation&) = delete;
    LongOperation& operator=(const LongOperation&) = delete;

    void Begin() {
        flag_ = true;
        begun_ = true;
    }
    void End() {
        if (begun_) flag_ = false;
        begun_ = false;
    }
    // The loader is gone: the check stays away until the next detection.
    void Keep() { kept_ = true; }

private:
    std::atomic<bool>& flag_;
    bool begun_ = false;
    bool kept_ = false;
};

}  // namespace tessel
