#include "platform/Clock.h"

#include <chrono>

#ifdef __EMSCRIPTEN__
#include <emscripten.h>
#endif

namespace tessel {

uint64_t RealClock::NowUs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

bool RealClock::SleepUntilUs(uint64_t deadline, const std::atomic<bool>* cancel) {
#ifndef __EMSCRIPTEN__
    std::unique_lock<std::mutex> lock(mutex_);
#endif
    const uint64_t generation = wakeGeneration_;
    for (;;) {
        if (cancel && cancel->load()) return false;
        const uint64_t now = NowUs();
        if (now >= deadline) return true;
        if (wakeGeneration_ != generation) return false;
#ifdef __EMSCRIPTEN__
        // The page has one thread: a wait hands it back to the browser, whose events (the
        // port's bytes, Stop) run meanwhile, in slices short enough for a cancel to be seen soon.
        const uint64_t leftMs = (deadline - now + 999) / 1000;
        emscripten_sleep(static_cast<unsigned>(leftMs < 50 ? leftMs : 50));
#else
        cv_.wait_for(lock, std::chrono::microseconds(deadline - now));
#endif
    }
}

void RealClock::Wake() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++wakeGeneration_;
    }
    cv_.notify_all();
}

bool RealClock::WaitSignalUs(ClockSignal& signal, uint64_t seen, uint64_t deadline, const std::atomic<bool>* cancel) {
    const auto done = [&] { return signal.raised_ != seen || (cancel && cancel->load()); };
#ifdef __EMSCRIPTEN__
    // One thread: whatever raises the signal runs while this wait hands the thread back.
    while (!done()) {
        const uint64_t now = NowUs();
        if (now >= deadline) return false;
        const uint64_t leftMs = (deadline - now + 999) / 1000;
        emscripten_sleep(static_cast<unsigned>(leftMs < 50 ? leftMs : 50));
    }
    return signal.raised_ != seen;
#else
    using namespace std::chrono;
    std::unique_lock<std::mutex> lock(signal.mutex_);
    signal.cv_.wait_until(lock, steady_clock::time_point(microseconds(deadline)), done);
    return signal.raised_ != seen;
#endif
}

void RealClock::RaiseSignal(ClockSignal& signal) {
    {
        std::lock_guard<std::mutex> lock(signal.mutex_);
        ++signal.raised_;
    }
    signal.cv_.notify_all();
}

uint64_t VirtualClock::NowUs() {
    std::lock_guard<std::mutex> lock(mutex_);
    return now_;
}

void VirtualClock::AdvanceIfAllAsleepLocked() {
    if (sleeping_ >= participants_ && !deadlines_.empty()) {
        const uint64_t next = *deadlines_.begin();
        if (next > now_) now_ = next;
        cv_.notify_all();
    }
}

bool VirtualClock::SleepUntilUs(uint64_t deadline, const std::atomic<bool>* cancel) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (now_ >= deadline) return true;
    if (cancel && cancel->load()) return false;
    const uint64_t generation = wakeGeneration_;
    auto slot = deadlines_.insert(deadline);
    ++sleeping_;
    AdvanceIfAllAsleepLocked();
    cv_.wait(lock, [&] {
        return now_ >= deadline || wakeGeneration_ != generation || (cancel && cancel->load());
    });
    --sleeping_;
    deadlines_.erase(slot);
    return now_ >= deadline;
}

void VirtualClock::Wake() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++wakeGeneration_;
    cv_.notify_all();
}

// The clock's lock is taken before the signal's, in both halves, so that a raise and the
// count of who is asleep change together: a waiter raised is counted awake at once, before it
// runs, and time cannot jump past what it is about to do.
bool VirtualClock::WaitSignalUs(ClockSignal& signal, uint64_t seen, uint64_t deadline, const std::atomic<bool>* cancel) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto raised = [&] {
        std::lock_guard<std::mutex> l(signal.mutex_);
        return signal.raised_ != seen;
    };
    if (raised()) return true;
    if (now_ >= deadline || (cancel && cancel->load())) return false;
    const uint64_t generation = wakeGeneration_;
    auto slot = deadlines_.insert(deadline);
    ++sleeping_;
    {
        std::lock_guard<std::mutex> l(signal.mutex_);
        ++signal.asleep_;
    }
    AdvanceIfAllAsleepLocked();
    cv_.wait(lock, [&] {
        return raised() || now_ >= deadline || wakeGeneration_ != generation || (cancel && cancel->load());
    });
    deadlines_.erase(slot);
    if (raised()) return true;  // the raise has counted this waiter awake
    --sleeping_;
    std::lock_guard<std::mutex> l(signal.mutex_);
    --signal.asleep_;
    return false;
}

void VirtualClock::RaiseSignal(ClockSignal& signal) {
    std::lock_guard<std::mutex> lock(mutex_);
    {
        std::lock_guard<std::mutex> l(signal.mutex_);
        ++signal.raised_;
        sleeping_ -= signal.asleep_;
        signal.asleep_ = 0;
    }
    cv_.notify_all();
}

void VirtualClock::AdvanceUs(uint64_t us) {
    std::lock_guard<std::mutex> lock(mutex_);
    now_ += us;
    cv_.notify_all();
}

void VirtualClock::AddParticipant() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++participants_;
}

void VirtualClock::RemoveParticipant() {
    std::lock_guard<std::mutex> lock(mutex_);
    --participants_;
    AdvanceIfAllAsleepLocked();
}

VirtualClock::Participant::Participant(Clock& clock) : clock_(clock) { clock_.AddParticipant(); }

VirtualClock::Participant::~Participant() { clock_.RemoveParticipant(); }

Clock& SystemClock() {
    static RealClock clock;
    return clock;
}

}  // namespace tessel
