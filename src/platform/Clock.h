#pragma once
// Every wait and time limit of the tool goes through one injected Clock, so that the
// long limits (2 s reads, 12 s baud detection, 30 s reset wait) can be tested exactly and
// without waiting, and so that the stand-in board's line timing runs on the same time base.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>

namespace tessel {

class ClockSignal;

class Clock {
public:
    virtual ~Clock() = default;

    // Microseconds since an arbitrary origin; never goes backwards. The protocol counts in
    // milliseconds, but a byte at 38400 baud takes 260 us, so the line model needs finer time.
    virtual uint64_t NowUs() = 0;

    // Sleeps until NowUs() >= deadlineUs, or returns early once *cancel is true or a Wake()
    // arrives. Returns true when the deadline was reached.
    virtual bool SleepUntilUs(uint64_t deadlineUs, const std::atomic<bool>* cancel = nullptr) = 0;

    // Wakes every SleepUntil so that it re-checks its cancel flag (and, for the virtual
    // clock, so that waiters re-evaluate after another thread changed what they wait for).
    virtual void Wake() = 0;

    // A thread other than the creating one that waits on this clock joins it for its
    // lifetime, so that a clock whose time moves with its waiters counts it as one. The
    // system's clock has nothing to count.
    virtual void AddParticipant() {}
    virtual void RemoveParticipant() {}

    // The two halves of a ClockSignal (below). The system's clock wakes only the signal's own
    // waiters; a virtual clock counts a waiter as asleep until its deadline, so that its time
    // moves on while one thread waits for another.
    virtual bool WaitSignalUs(ClockSignal& signal, uint64_t seen, uint64_t deadlineUs,
                              const std::atomic<bool>* cancel) = 0;
    virtual void RaiseSignal(ClockSignal& signal) = 0;

    // Whether this clock's time is the system's, so that a device may wait in the system's own
    // calls (poll, an overlapped read) instead of on the clock.
    virtual bool IsSystemTime() const { return false; }

    // The millisecond tick count of the protocol's waits and limits.
    uint64_t TickMs() { return NowUs() / 1000; }
    bool SleepUntil(uint64_t deadlineMs, const std::atomic<bool>* cancel = nullptr) {
        return SleepUntilUs(deadlineMs * 1000, cancel);
    }
    // A pause that nobody may cut short: a Wake() meant for another thread's cancellable wait
    // (another session on the same clock) must not shorten a settle or erase time.
    void SleepMs(uint32_t ms) {
        const uint64_t deadline = NowUs() + uint64_t{ms} * 1000;
        while (!SleepUntilUs(deadline)) {
        }
    }
};

// The system's monotonic clock.
class RealClock final : public Clock {
public:
    uint64_t NowUs() override;
    bool SleepUntilUs(uint64_t deadlineUs, const std::atomic<bool>* cancel = nullptr) override;
    void Wake() override;
    bool WaitSignalUs(ClockSignal& signal, uint64_t seen, uint64_t deadlineUs, const std::atomic<bool>* cancel) override;
    void RaiseSignal(ClockSignal& signal) override;
    bool IsSystemTime() const override { return true; }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    uint64_t wakeGeneration_ = 0;
};

// Simulated time. Time only moves when every thread that takes part is asleep on this
// clock; it then jumps to the earliest deadline. With one thread that is simply "sleep
// advances time at once"; with a worker thread and the operator thread it keeps the two
// in step, so a thread spinning through fast virtual waits cannot race time ahead of a
// thread that is still busy.
//
// The creating thread counts as the first participant. Any other thread that waits on the
// clock must be registered for its lifetime with a VirtualClock::Participant.
class VirtualClock final : public Clock {
public:
    explicit VirtualClock(uint64_t startMs = 0) : now_(startMs * 1000) {}

    uint64_t NowUs() override;
    bool SleepUntilUs(uint64_t deadlineUs, const std::atomic<bool>* cancel = nullptr) override;
    void Wake() override;
    bool WaitSignalUs(ClockSignal& signal, uint64_t seen, uint64_t deadlineUs, const std::atomic<bool>* cancel) override;
    void RaiseSignal(ClockSignal& signal) override;

    // Moves time forward by hand (tests that wait on something other than the clock).
    void AdvanceUs(uint64_t us);

    void AddParticipant() override;
    void RemoveParticipant() override;

    // Joins any clock for the scope's life; only a virtual one counts it.
    class Participant {
    public:
        explicit Participant(Clock& clock);
        ~Participant();
        Participant(const Participant&) = delete;
        Participant& operator=(const Participant&) = delete;

    private:
        Clock& clock_;
    };

private:
    void AdvanceIfAllAsleepLocked();

    std::mutex mutex_;
    std::condition_variable cv_;
    uint64_t now_;  // us
    int participants_ = 1;
    int sleeping_ = 0;
    std::multiset<uint64_t> deadlines_;
    uint64_t wakeGeneration_ = 0;
};

// What one thread makes true and another waits for (a byte put on a queue, a worker that has
// parked), without polling: take Seen() before looking, and if what is wanted does not hold yet,
// WaitUntilUs(seen, ...): a Raise() in between is not lost. Whoever sets a wait's cancel flag
// raises the signal too.
class ClockSignal {
public:
    explicit ClockSignal(Clock& clock) : clock_(clock) {}
    uint64_t Seen() {
        std::lock_guard<std::mutex> lock(mutex_);
        return raised_;
    }
    // Until a raise after `seen` (true), the deadline or the cancel (false).
    bool WaitUntilUs(uint64_t seen, uint64_t deadlineUs, const std::atomic<bool>* cancel = nullptr) {
        return clock_.WaitSignalUs(*this, seen, deadlineUs, cancel);
    }
    bool WaitMs(uint64_t seen, uint32_t ms, const std::atomic<bool>* cancel = nullptr) {
        return WaitUntilUs(seen, clock_.NowUs() + uint64_t{ms} * 1000, cancel);
    }
    void Raise() { clock_.RaiseSignal(*this); }

private:
    friend class RealClock;
    friend class VirtualClock;
    Clock& clock_;
    std::mutex mutex_;
    std::condition_variable cv_;
    uint64_t raised_ = 0;
    int asleep_ = 0;  // a virtual clock's waiters it still counts as asleep
};

// The clock the programs use when none is injected.
Clock& SystemClock();

}  // namespace tessel
