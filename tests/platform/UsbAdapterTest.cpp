#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/Clock.h"
#include "platform/UsbAdapter.h"
#include "platform/VirtualLine.h"

namespace tessel {
namespace {

// The far end: records what arrives and when.
class Recorder : public LinePeer {
public:
    void OnHostByte(VirtualLine&, uint8_t b, uint64_t at, uint32_t) override {
        bytes.push_back(b);
        arrivals.push_back(at);
    }
    void OnLinesChanged(VirtualLine&, bool, bool, uint64_t) override {}
    uint64_t NextTimer() override { return UINT64_MAX; }
    void OnTimer(VirtualLine&, uint64_t) override {}
    std::vector<uint8_t> bytes;
    std::vector<uint64_t> arrivals;
};

struct Adapter {
    explicit Adapter(AdapterProfile p) : line(std::make_shared<VirtualLine>(clock, "adapter")) {
        line->AttachPeer(peer);
        dev = std::make_unique<UsbAdapterLine>(line, p, counters);
        LineSettings s;
        s.baudRate = 38400;
        dev->Configure(s);
    }
    VirtualClock clock{1};  // not on a frame boundary: a write waits for the next one
    std::shared_ptr<Recorder> peer = std::make_shared<Recorder>();
    std::shared_ptr<VirtualLine> line;
    std::shared_ptr<AdapterCounters> counters = std::make_shared<AdapterCounters>();
    std::unique_ptr<UsbAdapterLine> dev;
};

constexpr uint64_t kByteUs = 260;  // at 38400 baud, rounded down

TEST(UsbAdapter, APartialPacketWaitsForTheLatencyTimerAFullOneGoesAtOnce) {
    Adapter a(AdapterProfile::For(AdapterKind::Ftdi, 16));
    const uint64_t t0 = a.clock.NowUs();
    std::vector<uint8_t> reply(5, 0xC0);
    a.line->PeerSend(reply.data(), reply.size(), t0, 38400);
    // All five are on the wire after 1.3 ms, but the host sees nothing until the timer runs
    // out 16 ms after the first one arrived, and then all of them together.
    a.clock.AdvanceUs(5 * kByteUs + 100);
    EXPECT_EQ(a.dev->InputCount(), 0u);
    a.clock.AdvanceUs(16'000 - 5 * kByteUs - 200 + kByteUs);
    EXPECT_EQ(a.dev->InputCount(), 0u);
    ASSERT_TRUE(a.dev->WaitInput(t0 + 40'000, nullptr));
    EXPECT_NEAR(static_cast<double>(a.clock.NowUs() - t0), 16'000.0 + kByteUs, 2.0);
    EXPECT_EQ(a.dev->InputCount(), 5u);

    // 62 bytes fill a packet: it goes when the last of them arrives; the 63rd waits.
    std::vector<uint8_t> many(63);
    for (size_t i = 0; i < many.size(); ++i) many[i] = static_cast<uint8_t>(i);
    uint8_t sink[8];
    a.dev->Read(sink, sizeof sink);
    const uint64_t t1 = a.clock.NowUs();
    a.line->PeerSend(many.data(), many.size(), t1, 38400);
    ASSERT_TRUE(a.dev->WaitInput(t1 + 100'000, nullptr));
    EXPECT_NEAR(static_cast<double>(a.clock.NowUs() - t1), 62 * 10e6 / 38400, 2.0);
    EXPECT_EQ(a.dev->InputCount(), 62u);
    std::vector<uint8_t> got(64);
    EXPECT_EQ(a.dev->Read(got.data(), got.size()), 62);
    EXPECT_EQ(got[61], 61);
    ASSERT_TRUE(a.dev->WaitInput(t1 + 100'000, nullptr));
    EXPECT_GE(a.clock.NowUs() - t1, 63 * 10'000'000 / 38400 + 16'000 - 2);
    EXPECT_EQ(a.dev->Read(got.data(), got.size()), 1);
    EXPECT_EQ(got[0], 62);
}

TEST(UsbAdapter, WrittenBytesLeaveInTheNextFrameAndTheCountStaysUntilThen) {
    Adapter a(AdapterProfile::For(AdapterKind::Ftdi, 1));
    const uint8_t bytes[3] = {1, 2, 3};
    const uint64_t t0 = a.clock.NowUs();  // 1 ms + 0: the next frame starts at 2 ms
    a.clock.AdvanceUs(300);
    ASSERT_EQ(a.dev->Write(bytes, 3, t0 + 1'000'000), 3);
    EXPECT_EQ(a.dev->OutputCount(), 3u);
    a.clock.AdvanceUs(600);  // still before the frame
    EXPECT_EQ(a.dev->OutputCount(), 3u);
    a.clock.AdvanceUs(200);  // past it: the transfer is done, the bytes are in the adapter
    EXPECT_EQ(a.dev->OutputCount(), 0u);
    EXPECT_TRUE(a.peer->bytes.empty()) << "the count is zero before the UART has sent a bit";
    // A drain waits for the adapter's UART too, as tcdrain does.
    ASSERT_TRUE(a.dev->WaitOutputEmpty(t0 + 1'000'000));
    EXPECT_EQ(a.peer->bytes, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(a.peer->arrivals.front(), 2000 + kByteUs + 1);
    EXPECT_NEAR(static_cast<double>(a.clock.NowUs()), 2000 + 3 * 10e6 / 38400, 2.0);
}

TEST(UsbAdapter, TheAdapterFifoLimitsWhatOneFrameTakes) {
    Adapter a(AdapterProfile::For(AdapterKind::Ftdi, 1));
    std::vector<uint8_t> block(300, 0x55);
    ASSERT_EQ(a.dev->Write(block.data(), block.size(), UINT64_MAX), 300);
    a.clock.AdvanceUs(1000);
    EXPECT_EQ(a.dev->OutputCount(), 300u - 128u);
    ASSERT_TRUE(a.dev->WaitOutputEmpty(a.clock.NowUs() + 1'000'000));
    EXPECT_EQ(a.peer->bytes.size(), 300u);
    // The line never idled once it had started: the FIFO was refilled in time.
    EXPECT_NEAR(static_cast<double>(a.peer->arrivals.back() - a.peer->arrivals.front()), 299 * 10e6 / 38400, 3.0);
}

TEST(UsbAdapter, UnpluggedAfterNBytesEverythingFailsAndTheRestNeverArrives) {
    AdapterProfile p = AdapterProfile::For(AdapterKind::Cp210x);
    p.unplugAfter = 5;
    Adapter a(p);
    const uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(a.dev->Write(bytes, 8, UINT64_MAX), 8);  // the kernel took them
    EXPECT_FALSE(a.dev->Gone());
    const uint64_t t0 = a.clock.NowUs();
    EXPECT_FALSE(a.dev->WaitInput(t0 + 2'000'000, nullptr));
    EXPECT_TRUE(a.dev->Gone());
    EXPECT_LT(a.clock.NowUs() - t0, 2000u) << "a vanished device ends the wait at once";
    uint8_t b;
    EXPECT_EQ(a.dev->Read(&b, 1), -1);
    EXPECT_EQ(a.dev->Write(bytes, 1, UINT64_MAX), -1);
    EXPECT_EQ(a.dev->SetRts(true), LineResult::Failed);
    a.line->AdvanceTo(a.clock.NowUs() + 100'000);
    EXPECT_EQ(a.peer->bytes, (std::vector<uint8_t>{1, 2, 3, 4, 5}));
}

TEST(UsbAdapter, ProfilesAndNames) {
    AdapterKind k;
    ASSERT_TRUE(ParseAdapterKind("cp210x", &k));
    EXPECT_EQ(k, AdapterKind::Cp210x);
    EXPECT_FALSE(ParseAdapterKind("ch340", &k));
    EXPECT_EQ(AdapterProfile::For(AdapterKind::Ftdi).latencyUs, 16'000u);
    EXPECT_EQ(AdapterProfile::For(AdapterKind::Ftdi, 2).latencyUs, 2'000u);
    // A UART on the main board has neither packets nor a timer, whatever is asked.
    EXPECT_EQ(AdapterProfile::For(AdapterKind::Native, 16).latencyUs, 0u);
    EXPECT_EQ(AdapterProfile::For(AdapterKind::Native).packetPayload, 0u);
}

}  // namespace
}  // namespace tessel
