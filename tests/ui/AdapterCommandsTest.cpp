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
        window.Session().port.SetDeviceFactory(
            [this](OpenError*) { return std::make_unique<UsbAdapterLine>(link.line, profile, counters); });
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

}  // namespace
}  // namespace tessel
