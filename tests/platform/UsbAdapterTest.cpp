#include <gtest/gtest.h>

#include <cmath>
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

// The FTDI timer runs in periods from the last packet sent, quiet line or not: a reply waits
// for the end of the current period, not a whole timer from its first byte; a full packet
// goes at once and starts a new period, which the rest then waits out.
TEST(UsbAdapter, APartialPacketWaitsForTheEndOfTheTimerPeriodAFullOneGoesAtOnce) {
    // At 40 ms a packet fills within one period at 38400 baud.
    Adapter a(AdapterProfile::For(AdapterKind::Ftdi, 40));
    a.clock.AdvanceUs(9'000);  // 10 ms: the first period ends at 40 ms
    const uint64_t t0 = a.clock.NowUs();
    std::vector<uint8_t> reply(5, 0xC0);
    a.line->PeerSend(reply.data(), reply.size(), t0, 38400);
    a.clock.AdvanceUs(5 * kByteUs + 100);
    EXPECT_EQ(a.dev->InputCount(), 0u) << "all five are on the wire, none is visible";
    ASSERT_TRUE(a.dev->WaitInput(t0 + 40'000, nullptr));
    EXPECT_EQ(a.clock.NowUs(), 40'000u);
    EXPECT_EQ(a.dev->InputCount(), 5u);

    std::vector<uint8_t> many(63);
    for (size_t i = 0; i < many.size(); ++i) many[i] = static_cast<uint8_t>(i);
    uint8_t sink[8];
    a.dev->Read(sink, sizeof sink);
    const uint64_t t1 = a.clock.NowUs();
    a.line->PeerSend(many.data(), many.size(), t1, 38400);
    ASSERT_TRUE(a.dev->WaitInput(t1 + 100'000, nullptr));
    const uint64_t full = a.clock.NowUs();
    EXPECT_NEAR(static_cast<double>(full - t1), 62 * 10e6 / 38400, 2.0);
    std::vector<uint8_t> got(64);
    EXPECT_EQ(a.dev->Read(got.data(), got.size()), 62);
    EXPECT_EQ(got[61], 61);
    ASSERT_TRUE(a.dev->WaitInput(t1 + 100'000, nullptr));
    EXPECT_EQ(a.clock.NowUs(), full + 40'000) << "a new period began with the full packet";
    EXPECT_EQ(a.dev->Read(got.data(), got.size()), 1);
    EXPECT_EQ(got[0], 62);
}

// When each adapter at its best setting lets a 128-byte reply through: the FTDI at each end
// of its 1 ms timer period, the CH340 and a CDC-ACM device at each 1 ms poll, a few bytes at
// a time, the last of them less than a millisecond after they arrived; the CP210x all of it
// at once, when the line has been quiet for its receive timeout. The waits each adapter
// makes are in the line's activity log, and with the wire they cover the whole exchange: a
// host that answers at once adds nothing to the bound.
TEST(UsbAdapter, EachAdapterDeliversAReplyAsItsMakerDocuments) {
    struct Row {
        AdapterKind kind;
        size_t deliveries;   // 0: one per millisecond or so
        double minLateUs;    // the last byte becomes visible this long after it arrived,
        double maxLateUs;    // at least and at most
    } rows[] = {
        // A CDC-ACM device polls as the CH340 does.
        {AdapterKind::Ftdi, 0, 1, 1000}, {AdapterKind::Cp210x, 1, 1000, 1000},
        {AdapterKind::Ch340, 0, 1, 1000}, {AdapterKind::Native, 128, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(AdapterKindName(row.kind));
        Adapter a(AdapterProfile::Best(row.kind));
        auto log = std::make_shared<ActivityLog>();
        a.line->SetActivityLog(log);
        const uint8_t ask = 0x0C;
        ASSERT_EQ(a.dev->Write(&ask, 1, UINT64_MAX), 1);
        ASSERT_TRUE(a.dev->WaitOutputEmpty(a.clock.NowUs() + 100'000));
        const uint64_t start = a.clock.NowUs();
        std::vector<uint8_t> reply(128, 0x5A);
        a.line->PeerSend(reply.data(), reply.size(), start, 38400);
        const double lastArrives = std::ceil(static_cast<double>(start) + 128 * 10e6 / 38400 - 1e-9);
        size_t total = 0, deliveries = 0;
        std::vector<uint8_t> got(256);
        while (total < 128 && a.dev->WaitInput(start + 100'000, nullptr)) {
            total += static_cast<size_t>(a.dev->Read(got.data(), got.size()));
            ++deliveries;
        }
        EXPECT_EQ(total, 128u);
        const double late = static_cast<double>(a.clock.NowUs()) - lastArrives;
        EXPECT_GE(late, row.minLateUs);
        EXPECT_LE(late, row.maxLateUs);
        if (row.deliveries) EXPECT_EQ(deliveries, row.deliveries);
        else EXPECT_GE(deliveries, 30u);
        // The next command: what it waits for its frame is the adapter's, up to the frame.
        const uint64_t seen = a.clock.NowUs();
        ASSERT_EQ(a.dev->Write(&ask, 1, UINT64_MAX), 1);
        ASSERT_TRUE(a.dev->WaitOutputEmpty(seen + 100'000));
        const double elapsed = static_cast<double>(a.clock.NowUs() - start);
        EXPECT_NEAR(log->UnionUs(static_cast<double>(start), static_cast<double>(a.clock.NowUs())), elapsed, 3.0);
    }
}

// Written bytes leave in the next frame and the count stays until then; a frame takes what
// the adapter's FIFO holds, refilled in time for the line never to idle.
TEST(UsbAdapter, WrittenBytesLeaveInTheNextFrameUpToWhatTheFifoTakes) {
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

    std::vector<uint8_t> block(300, 0x55);
    ASSERT_EQ(a.dev->Write(block.data(), block.size(), UINT64_MAX), 300);
    a.clock.AdvanceUs(1000);
    EXPECT_EQ(a.dev->OutputCount(), 300u - 128u);
    ASSERT_TRUE(a.dev->WaitOutputEmpty(a.clock.NowUs() + 1'000'000));
    EXPECT_EQ(a.peer->bytes.size(), 3u + 300u);
    EXPECT_NEAR(static_cast<double>(a.peer->arrivals.back() - a.peer->arrivals[3]), 299 * 10e6 / 38400, 3.0);
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

TEST(UsbAdapter, ProfilesFollowTheMakersDocuments) {
    EXPECT_EQ(AdapterProfile::For(AdapterKind::Ftdi).latencyUs, 16'000u);
    // Only the FTDI timer is the host's to set, whatever is asked of another.
    EXPECT_FALSE(AdapterProfile::For(AdapterKind::Ch340, 16).LatencySettable());
    EXPECT_EQ(AdapterProfile::For(AdapterKind::CdcAcm, 16).latencyUs, 0u);
}

}  // namespace
}  // namespace tessel
