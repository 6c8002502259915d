#include <gtest/gtest.h>

#include <chrono>

#include "serial/CByteRing.h"
#include "serial/LinkWorker.h"
#include "support/SimFixture.h"

namespace tessel {
namespace {

using V = std::vector<uint8_t>;

TEST(ByteRing, HoldsOneLessThanItsSizeAndReportsFull) {
    CByteRing ring;
    std::mutex m;
    test::RecordingOperator op;
    for (int i = 0; i < 4095; ++i) ASSERT_EQ(QueuePut(ring, m, static_cast<uint8_t>(i), &op), Queued::Done) << i;
    EXPECT_EQ(QueuePut(ring, m, 0xAA, &op), Queued::Full);
    EXPECT_EQ(op.messages, std::vector<std::string>{"Error! Queue is Full."});
    uint8_t b = 0;
    for (int i = 0; i < 4095; ++i) {
        ASSERT_EQ(QueueGet(ring, m, &b, &op), Queued::Done);
        ASSERT_EQ(b, static_cast<uint8_t>(i)) << "first in, first out across the wrap";
    }
    EXPECT_EQ(QueueGet(ring, m, &b, &op), Queued::Empty);
    EXPECT_EQ(op.messages.size(), 1u) << "an empty get is silent";
    // Indices wrap: the ring keeps working after a full turn.
    for (int i = 0; i < 10; ++i) ASSERT_EQ(QueuePut(ring, m, 7, &op), Queued::Done);
    EXPECT_FALSE(ring.IsEmpty());
}

// A 1.1E board with a worker started on its line; the worker stops with the bench.
struct WorkerBench : test::SimBench {
    explicit WorkerBench(sim::Faults faults = {})
        : test::SimBench(Config(faults), 9600) {
        EXPECT_EQ(port.Open(), 0);
        port.SetLinesInternalMode();
        StartLinkWorker(worker, port, &op, errorReported, workerRunning);
    }
    static sim::BoardConfig Config(sim::Faults f) {
        sim::BoardConfig c = test::Chip(2, sim::Firmware::F11E);
        c.faults = f;
        return c;
    }
    // `code` and the bytes after it through the worker's queues, and up to `n` bytes back.
    V Exchange(uint8_t code, V after, size_t n) {
        ByteTransport& t = worker.Transport();
        EXPECT_TRUE(t.Command(code));
        EXPECT_EQ(t.Write(after), after.size());
        V got;
        uint8_t b;
        while (got.size() < n && t.ReadByte(&b)) got.push_back(b);
        return got;
    }
    V QueuedRead(uint16_t address) { return Exchange(0x0C, {uint8_t(address >> 8), uint8_t(address), 0x80}, 128); }

    std::atomic<bool> errorReported{false};
    std::atomic<bool> workerRunning{false};
    LinkWorker worker;
};

// Idle, the worker answers every prompt with the idle byte, and stops cleanly. (What a queued
// command sends and gets back is each primitive's Worker case in tests/protocol.)
TEST(LinkWorker, AnswersEveryPromptWhileIdleAndStopsCleanly) {
    WorkerBench w;
    EXPECT_TRUE(w.workerRunning);
    const uint64_t idle = w.board().BytesReceived();
    w.clock.SleepMs(1000);
    // One 0x61 per 50 ms prompt.
    EXPECT_GE(w.board().BytesReceived() - idle, 18u);
    EXPECT_LE(w.board().BytesReceived() - idle, 21u);
    EXPECT_FALSE(w.errorReported);
    StopLinkWorker(w.worker);
    EXPECT_FALSE(w.workerRunning);
    EXPECT_FALSE(w.worker.Failed());
}

// The fall-back rule holds for the first byte of a reply too: a prompt that comes where the
// reply should start, long after the last reply byte, is the loader prompting again, not data.
TEST(LinkWorker, APromptInPlaceOfAReplyLongAfterTheLastByteEndsTheExchange) {
    sim::Faults f;
    f.promptBeforeRead = 2;
    WorkerBench w(f);
    EXPECT_EQ(w.QueuedRead(0).size(), 128u);
    w.clock.SleepMs(800);
    const V second = w.QueuedRead(0);
    EXPECT_TRUE(w.errorReported);
    EXPECT_TRUE(second.empty()) << "the prompt went into the queue as data";
    // Nor is a byte still queued once the worker gave up taken as a reply.
    LinkQueues& q = w.worker.Queues();
    ASSERT_EQ(QueuePut(q.inbound, q.inboundMutex, 0xC0, &w.op), Queued::Done);
    uint8_t b;
    EXPECT_FALSE(w.worker.Transport().ReadByte(&b));
    StopLinkWorker(w.worker);
    EXPECT_TRUE(w.worker.Failed());
}

TEST(LinkWorker, NoPromptForSixSecondsEndsItWithAnError) {
    sim::Faults f;
    f.stopPrompts = true;
    WorkerBench w(f);
    const uint64_t t0 = w.clock.TickMs();
    while (!w.errorReported && w.clock.TickMs() - t0 < 20000) w.clock.SleepMs(100);
    EXPECT_TRUE(w.errorReported);
    EXPECT_GE(w.clock.TickMs() - t0, 6000u);
    EXPECT_LE(w.clock.TickMs() - t0, 8200u);
    // It stays "running" until the link reset stops it formally.
    EXPECT_TRUE(w.workerRunning);
    StopLinkWorker(w.worker);
    EXPECT_TRUE(w.worker.Failed());
}

TEST(LinkWorker, StopReturnsPromptlyWhileTheWorkerIsBlockedInARead) {
    RealClock clock;
    sim::BoardConfig c = WorkerBench::Config({});
    c.faults.stopPrompts = true;
    sim::SimLink link = sim::MakeSimLink(clock, c);
    CSerialPort port(nullptr, clock);
    port.SetDeviceFactory([&](OpenError*) { return std::make_unique<VirtualLineHandle>(link.line); });
    ASSERT_EQ(port.Open(), 0);
    std::atomic<bool> error{false}, running{false};
    LinkWorker worker;
    StartLinkWorker(worker, port, nullptr, error, running);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // well inside a 2 s read
    const auto t0 = std::chrono::steady_clock::now();
    StopLinkWorker(worker);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(ms, 100);
    EXPECT_FALSE(running);
    EXPECT_FALSE(error) << "a stop is not a failure";
}

}  // namespace
}  // namespace tessel
