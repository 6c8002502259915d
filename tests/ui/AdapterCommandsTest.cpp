#include <gtest/gtest.h>

#include <algorithm>

#include "platform/UsbAdapter.h"
#include "support/FlashRig.h"

namespace tessel {
namespace {

using test::FlashRig;

// The window's commands against the stand-in board behind the USB adapter model.
struct AdapterRig : FlashRig {
    explicit AdapterRig(AdapterProfile p, int chipType = 3) : FlashRig(test::BoardOf(chipType)), profile(p) {
        window.Session().port.SetDeviceFactory([this](OpenError* e) -> std::unique_ptr<SerialDevice> {
            // Once pulled, the device node is gone too.
            if (counters->goneAtUs) {
                *e = {ENOENT, link.line->Name() + ": no such serial device"};
                return nullptr;
            }
            return std::make_unique<UsbAdapterLine>(link.line, profile, counters);
        });
    }
    AdapterProfile profile;
    std::shared_ptr<AdapterCounters> counters = std::make_shared<AdapterCounters>();
};

class AdapterLatency : public ::testing::TestWithParam<AdapterProfile> {};

// Replies that come a whole latency timer late must not upset the baud-detect loop, and a
// full block must go in and verify with the bytes queued rather than drained one by one.
TEST_P(AdapterLatency, DetectionFindsTheLoaderAndAFullBlockDownloadsAndVerifies) {
    AdapterRig r(GetParam());
    ASSERT_TRUE(r.Detect()) << (r.op.messages.empty() ? "" : r.op.messages.back());
    EXPECT_EQ(r.window.Field(ChipField::FwVersion), "v1.1F");
    const std::vector<uint8_t> image = test::Pattern(65536, 5);
    r.file = r.WriteFile("full.bin", image);
    ASSERT_TRUE(r.RunYes(command::kDownload)) << (r.op.messages.empty() ? "" : r.op.messages.back());
    ASSERT_TRUE(r.Run(command::kCompare));
    EXPECT_EQ(r.window.Field(ChipField::IapStatus), "File full.bin Compare OK!");
    EXPECT_EQ(r.Block(0), image);
    EXPECT_GT(r.counters->packets, 1000u) << "the replies came through the adapter's packets";
}

INSTANTIATE_TEST_SUITE_P(EachAdapter, AdapterLatency,
                         ::testing::Values(AdapterProfile::For(AdapterKind::Ftdi, 1),
                                           AdapterProfile::For(AdapterKind::Ftdi, 16),
                                           AdapterProfile::For(AdapterKind::Cp210x),
                                           AdapterProfile::For(AdapterKind::Ch340),
                                           AdapterProfile::For(AdapterKind::CdcAcm)),
                         [](const auto& info) {
                             std::string name = AdapterKindName(info.param.kind);
                             name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                             return name + std::to_string(info.param.latencyUs / 1000) + "ms";
                         });

TEST(AdapterUnplug, APulledCableEndsTheCommandAtOnceWithOneMessageAndTakesTheLinkDown) {
    for (const int commandId : {command::kRead, command::kDownload}) {
        AdapterProfile p = AdapterProfile::For(AdapterKind::Ftdi, 16);
        // Well into the command: detection takes a few dozen bytes, a full read sends 2048.
        p.unplugAfter = commandId == command::kRead ? 1000 : 3000;
        AdapterRig r(p);
        ASSERT_TRUE(r.Detect());
        r.file = r.WriteFile("full.bin", test::Pattern(65536, 9));
        r.count = 0;
        EXPECT_FALSE(r.RunYes(commandId)) << "never reported as success";
        ASSERT_NE(r.counters->goneAtUs, 0u);
        EXPECT_LT(r.clock.NowUs() - r.counters->goneAtUs, 1'000'000u) << "no 2-second wait per byte";
        const std::string gone = CSerialPort::GoneMessage(r.link.line->Name());
        EXPECT_EQ(std::count(r.op.messages.begin(), r.op.messages.end(), gone), 1) << commandId;
        EXPECT_TRUE(r.session().port.DeviceGone());
        EXPECT_FALSE(r.session().IsLinkUp());
        // A later command does not wait on the vanished device either.
        const uint64_t t0 = r.clock.NowUs();
        r.window.Route(command::kDetectBaudAndChip);
        EXPECT_FALSE(r.session().IsLinkUp());
        EXPECT_LT(r.clock.NowUs() - t0, 1'000'000u);
    }
}

}  // namespace
}  // namespace tessel
