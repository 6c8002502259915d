#include <gtest/gtest.h>

#include <thread>

#include "device/CDeviceSession.h"
#include "device/CommandChecks.h"
#include "support/RecordingOperator.h"

namespace tessel {
namespace {

TEST(Session, StartsAsTheSelectionDialogsDefault) {
    test::RecordingOperator op;
    CDeviceSession s(&op);
    EXPECT_EQ(s.ChipType(), 2);
    EXPECT_EQ(s.MemoryMode(), 1);
    EXPECT_EQ(s.CurrentBlock(), 0);
    EXPECT_DOUBLE_EQ(s.CrystalMHz(), 11.0592);
    EXPECT_EQ(s.port.GetPortNumber(), 1);
    EXPECT_EQ(s.port.GetBaudRate(), 38400u);
    EXPECT_FALSE(s.IsLinkUp());
    EXPECT_TRUE(s.BlockImage(0).empty()) << "images exist only after a detection";
    EXPECT_EQ(s.BlockSize(0), 32768);
}

TEST(Session, AllocateImagesFollowsTheGeometryAndErases) {
    CDeviceSession s(nullptr);
    s.chipType = 3;
    s.RefreshGeometry();
    s.AllocateImages();
    ASSERT_EQ(s.BlockImage(0).size(), 65536u + 16);
    ASSERT_EQ(s.BlockImage(1).size(), 8192u + 16);
    for (size_t i = 0; i < 65536; ++i) ASSERT_EQ(s.BlockImage(0)[i], 0xFF) << i;
    EXPECT_EQ(s.ExternalImage().size(), 65580u);
    s.BlockImage(0)[5] = 0x12;
    // A new detection on another chip starts from erased images of the new size.
    s.chipType = 1;
    s.RefreshGeometry();
    s.AllocateImages();
    EXPECT_EQ(s.BlockImage(0).size(), 16384u + 16);
    EXPECT_EQ(s.BlockImage(0)[5], 0xFF);
    EXPECT_TRUE(s.BlockImage(2).empty());
}

TEST(Session, BslWindowEdges) {
    CDeviceSession s(nullptr);
    s.chipType = 2;
    s.RefreshGeometry();
    EXPECT_EQ(s.SectorAddress(1, 15), 0xF3C0);
    EXPECT_TRUE(s.InBslWindow(1, 0xF3C0));
    EXPECT_EQ(s.SectorAddress(1, 16), 0xF400);
    EXPECT_FALSE(s.InBslWindow(1, 0xF400));
    s.chipType = 4;
    s.RefreshGeometry();
    EXPECT_EQ(s.SectorAddress(1, 9), 0x0480);
    EXPECT_FALSE(s.InBslWindow(1, 0x0480));
    EXPECT_TRUE(s.InBslWindow(1, 0x047F));
    EXPECT_FALSE(s.InBslWindow(0, 0x0000)) << "block 0 shares the addresses but is user flash";
    s.chipType = 5;
    s.RefreshGeometry();
    EXPECT_TRUE(s.InBslWindow(1, 0xE47F));
    EXPECT_FALSE(s.InBslWindow(1, 0xE480));
}

TEST(Preconditions, RunInTheirFixedOrder) {
    test::RecordingOperator op;
    CDeviceSession s(&op);
    int gateCalls = 0;
    auto gate = [&] { ++gateCalls; return true; };

    EXPECT_EQ(CheckCommandPreconditions(nullptr, &op, CheckScope::FlashCommand, gate), CheckOutcome::Failed);
    EXPECT_EQ(op.messages.back(), "No flash chip has been selected/detected!!!");

    // No detection yet: the link check comes before every later one.
    s.flags.userCodeRunning = true;
    s.currentBlock = 7;
    EXPECT_EQ(CheckCommandPreconditions(&s, &op, CheckScope::FlashCommand, gate), CheckOutcome::Failed);
    EXPECT_EQ(op.messages.back(), "No target board has been located!!!");

    s.port.SetLinkUp();
    EXPECT_EQ(CheckCommandPreconditions(&s, &op, CheckScope::FlashCommand, gate), CheckOutcome::Failed);
    EXPECT_EQ(op.messages.back(), "No flash chip has been selected/detected!!!");
    // Chip erase stops at the link check.
    EXPECT_EQ(CheckCommandPreconditions(&s, &op, CheckScope::ChipErase, gate), CheckOutcome::Proceed);

    s.flags.userCodeRunning = false;
    s.externalHighOpen = true;
    EXPECT_EQ(CheckCommandPreconditions(&s, &op, CheckScope::FlashCommand, gate),
              CheckOutcome::RunExternalVariant);
    EXPECT_EQ(gateCalls, 0) << "the external variant runs before the password gate";

    s.externalHighOpen = false;
    const size_t shown = op.messages.size();
    EXPECT_EQ(CheckCommandPreconditions(&s, &op, CheckScope::FlashCommand, [] { return false; }),
              CheckOutcome::GateDeclined);
    EXPECT_EQ(op.messages.size(), shown) << "a declined gate ends silently";

    EXPECT_EQ(CheckCommandPreconditions(&s, &op, CheckScope::FlashCommand, gate), CheckOutcome::Failed);
    EXPECT_EQ(op.messages.back(), "Illegal Block Number Detected!!!");
    s.currentBlock = 1;
    EXPECT_EQ(CheckCommandPreconditions(&s, &op, CheckScope::FlashCommand, gate), CheckOutcome::Proceed);
}

TEST(Availability, LockStatusRulesDifferByFamilyAndMode) {
    const auto aInt80 = ComputeAvailability(ChipFamily::A, 1, 0x80, "v1.1F", ExternalWindowState::None);
    EXPECT_FALSE(aInt80.download);
    EXPECT_FALSE(aInt80.sectorErase);
    EXPECT_TRUE(aInt80.read);
    const auto hlInt80 = ComputeAvailability(ChipFamily::HL64D, 1, 0x80, "v1.1F", ExternalWindowState::None);
    EXPECT_TRUE(hlInt80.download);
    EXPECT_TRUE(hlInt80.sectorErase);
    EXPECT_TRUE(hlInt80.lockChip);
    const auto aInt60 = ComputeAvailability(ChipFamily::A, 1, 0x60, "v1.1F", ExternalWindowState::None);
    EXPECT_FALSE(aInt60.download || aInt60.sectorErase || aInt60.runUserCode);
    const auto ext20 = ComputeAvailability(ChipFamily::HL32B, 2, 0x20, "v1.1F", ExternalWindowState::None);
    EXPECT_FALSE(ext20.download || ext20.memoryRemap || ext20.lockChip || ext20.sectorErase);
    EXPECT_TRUE(ext20.chipErase);
    EXPECT_FALSE(ext20.runUserCode);
    const auto wrongFw = ComputeAvailability(ChipFamily::HL32B, 1, 0x00, "v1.1?", ExternalWindowState::None);
    EXPECT_FALSE(wrongFw.download);
}

TEST(SessionFlags, SharedBetweenThreads) {
    CDeviceSession s(nullptr);
    std::thread worker([&] {
        for (int i = 0; i < 1000; ++i) s.flags.errorReported = (i % 2) == 0;
        s.flags.workerRunning = true;
    });
    while (!s.flags.workerRunning) std::this_thread::yield();
    worker.join();
    EXPECT_FALSE(s.flags.errorReported);
}

}  // namespace
}  // namespace tessel
