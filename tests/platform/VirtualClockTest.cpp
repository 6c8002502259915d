#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <thread>

#include "platform/Clock.h"

namespace tessel {
namespace {

// A thread counted on the clock before it starts, as the gang's board threads are: otherwise
// time may move on while it is still being scheduled, and it then sleeps for good once the
// others wait for it to end.
std::thread CountedThread(VirtualClock& clock, std::function<void()> body) {
    auto counted = std::make_shared<VirtualClock::Participant>(clock);
    return std::thread([counted, body = std::move(body)]() mutable {
        body();
        counted.reset();
    });
}

// A sleep with no one else counted advances the clock at once.
TEST(VirtualClock, TimeWaitsForTheBusyParticipant) {
    VirtualClock clock(5);
    EXPECT_EQ(clock.TickMs(), 5u);
    clock.SleepMs(30000);
    EXPECT_EQ(clock.TickMs(), 30005u);
    EXPECT_TRUE(clock.SleepUntil(10));  // a deadline in the past returns at once
    EXPECT_EQ(clock.TickMs(), 30005u);
    std::atomic<bool> workerDone{false};
    std::atomic<uint64_t> workerSawAt{0};
    std::thread worker = CountedThread(clock, [&] {
        clock.SleepMs(100);
        workerSawAt = clock.TickMs();
        workerDone = true;
    });
    // The main thread is busy (not sleeping on the clock), so the worker's 100 ms cannot
    // pass however long it waits in real time.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(workerDone.load());
    EXPECT_EQ(clock.TickMs(), 30005u);
    clock.SleepMs(40);
    EXPECT_EQ(clock.TickMs(), 30045u);
    clock.SleepMs(200);
    worker.join();
    EXPECT_EQ(workerSawAt.load(), 30105u);
    EXPECT_EQ(clock.TickMs(), 30245u);
}

// Sessions share a clock, and one session's cancellation wakes every sleeper: the cancelled
// sleep ends early, and a plain pause of another session still lasts its full time.
TEST(VirtualClock, APauseOutlastsWakesMeantForOthers) {
    VirtualClock clock;
    std::atomic<bool> slept{false}, cancel{false}, cancelled{false};
    std::atomic<uint64_t> endedAt{0};
    std::thread sleeper = CountedThread(clock, [&] {
        clock.SleepMs(100);
        endedAt = clock.NowUs();
        slept = true;
    });
    std::thread other = CountedThread(clock, [&] {
        EXPECT_FALSE(clock.SleepUntil(1'000'000, &cancel));
        cancelled = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    cancel = true;
    // This thread stays busy, so time cannot pass on its own while the wakes arrive.
    for (int i = 0; i < 2000 && !slept; ++i) {
        clock.Wake();
        std::this_thread::yield();
    }
    other.join();
    EXPECT_TRUE(cancelled.load());
    EXPECT_FALSE(slept.load()) << "woken before its time";
    clock.SleepMs(150);
    sleeper.join();
    EXPECT_EQ(endedAt.load(), 100'000u);
}

// A raise wakes its waiter where time stands, the waiter counted awake at once; unraised, a
// wait lasts to its deadline. On the system clock a raise ends a long wait early.
TEST(ClockSignal, ARaiseWakesItsWaiterAndTimeMovesOnlyToTheEarliestDeadline) {
    VirtualClock clock;
    ClockSignal signal(clock);
    std::atomic<bool> raised{false};
    std::atomic<uint64_t> wokeAt{0};
    const uint64_t seen = signal.Seen();
    std::thread waiter = CountedThread(clock, [&] {
        raised = signal.WaitMs(seen, 1000);
        wokeAt = clock.TickMs();
    });
    clock.SleepMs(10);
    EXPECT_EQ(clock.TickMs(), 10u);
    signal.Raise();
    clock.SleepMs(5);
    waiter.join();
    EXPECT_TRUE(raised.load());
    EXPECT_EQ(wokeAt.load(), 10u);
    EXPECT_FALSE(signal.WaitMs(signal.Seen(), 50));
    EXPECT_EQ(clock.TickMs(), 65u);

    ClockSignal real(SystemClock());
    const uint64_t before = real.Seen();
    std::thread raiser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        real.Raise();
    });
    const uint64_t t0 = SystemClock().TickMs();
    EXPECT_TRUE(real.WaitMs(before, 60000));
    EXPECT_LT(SystemClock().TickMs() - t0, 30000u);
    raiser.join();
}

}  // namespace
}  // namespace tessel
