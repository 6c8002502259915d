#pragma once
// The fixed ring of bytes behind each of the 1.1E link worker's queues, and the operator-side
// put and get with their result codes.

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/Clock.h"

namespace tessel {

class Operator;

class CByteRing {
public:
    static constexpr uint32_t kSize = 4096;

    // One cell always stays free, so a full ring holds 4095 bytes and "full" and "empty"
    // can be told apart from the two indices alone.
    bool IsEmpty() const { return read_ == write_; }
    bool IsFull() const { return ((write_ + 1) & (kSize - 1)) == read_; }
    bool Put(uint8_t byte) {
        if (IsFull()) return false;
        buffer_[write_] = byte;
        write_ = (write_ + 1) & (kSize - 1);
        return true;
    }
    bool Get(uint8_t* byte) {
        if (IsEmpty()) return false;
        *byte = buffer_[read_];
        read_ = (read_ + 1) & (kSize - 1);
        return true;
    }

private:
    uint8_t buffer_[kSize] = {};
    uint32_t read_ = 0;
    uint32_t write_ = 0;
};

// The three queues between the operator thread and the worker, each with its own mutex, and
// a signal for each side: the operator's is raised when the worker has put a reply byte, taken
// what it was given, parked or ended; the worker's when the operator has given it bytes, ended
// a lease or stops it.
struct LinkQueues {
    explicit LinkQueues(Clock& clock) : forOperator(clock), forWorker(clock) {}
    ClockSignal forOperator;
    ClockSignal forWorker;
    CByteRing command;
    CByteRing inbound;
    CByteRing outbound;
    std::mutex commandMutex;
    std::mutex inboundMutex;
    std::mutex outboundMutex;
};

// What a put or a get did. Every outcome but Done and Empty has been said to the owner;
// an empty queue is silent, since the caller polls again.
enum class Queued { Done, Failed, Full, Empty, NoLock };
[[nodiscard]] Queued QueuePut(CByteRing& queue, std::mutex& mutex, uint8_t byte, Operator* owner);
[[nodiscard]] Queued QueueGet(CByteRing& queue, std::mutex& mutex, uint8_t* byte, Operator* owner);

// How long the operator's side waits for one reply byte from the worker: the worker itself
// waits on the line as the port does, so this only keeps a worker that died from hanging it.
constexpr uint32_t kQueuedReplyLimitMs = 1000;

// Until `ready()` holds (true), or `deadlineUs` passes or *cancel is set (false); `ready` is
// looked at again after each raise of `signal`.
template <typename Ready>
bool AwaitSignal(ClockSignal& signal, Clock& clock, uint64_t deadlineUs, const std::atomic<bool>* cancel,
                 Ready ready) {
    for (;;) {
        const uint64_t seen = signal.Seen();
        if (ready()) return true;
        if (cancel && cancel->load()) return false;
        if (!signal.WaitUntilUs(seen, deadlineUs, cancel) && clock.NowUs() >= deadlineUs) return false;
    }
}

// Takes one reply byte from the inbound queue, waiting on the operator's signal until it
// arrives or `limitMs` has passed. False on time-out or once *errorReported is set.
[[nodiscard]] bool QueueGetWait(LinkQueues& queues, uint8_t* byte, uint32_t limitMs, Clock& clock,
                                Operator* owner, const std::atomic<bool>* errorReported = nullptr);

}  // namespace tessel
