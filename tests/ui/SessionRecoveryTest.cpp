// What a detection, a reset and the password gate leave the session and the chip in: every
// command works again after a re-detection, and a reset board is not sent the bytes meant for the
// program it ran before.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "device/CommandChecks.h"
#include "support/FlashRig.h"

namespace tessel {
namespace {

using namespace test;

TEST(Redetection, AfterTheUsersCodeRanReadAndDownloadWorkAgain) {
    FlashRig r(BoardOf(2));
    ASSERT_TRUE(r.Detect());
    ASSERT_TRUE(r.Run(command::kExecuteUserCode));
    r.Settle();
    EXPECT_EQ(r.board().CurrentMode(), sim::Mode::UserCode);
    ASSERT_TRUE(r.session().flags.userCodeRunning.load());
    EXPECT_FALSE(r.session().IsLinkUp());
    EXPECT_FALSE(r.Run(command::kExecuteUserCode)) << "the loader's commands stop until a detection";
    EXPECT_TRUE(r.Said(kNoChipSelected));
    ASSERT_TRUE(r.Detect()) << "the detection resets the board into its loader";
    EXPECT_FALSE(r.session().flags.userCodeRunning.load());

    const std::vector<uint8_t> code = Pattern(4 * 128, 7);
    r.file = r.WriteFile("app.bin", code);
    EXPECT_TRUE(r.RunYes(command::kDownload));
    r.count = 4;
    EXPECT_TRUE(r.Run(command::kRead));
    const auto image = r.session().BlockImage(0);
    EXPECT_TRUE(std::equal(code.begin(), code.end(), image.begin()));

    // Download then run: the sample goes in and the chip runs it.
    r.file = test::SampleHex();
    EXPECT_TRUE(r.RunYes(command::kRunUserCode));
    r.Settle();
    EXPECT_EQ(r.board().CurrentMode(), sim::Mode::UserCode);
    EXPECT_FALSE(r.session().flags.passwordVerified.load());
}

// After a reset the loader, not the board's external-flash program, has the line: the window
// is left by giving block 0 back, without the 01h 01h that would open a chip erase frame.
TEST(ExternalWindowAfterReset, BackToMcuFlashSendsNothingMeantForTheBoardsProgram) {
    FlashRig r(BoardOf(2));
    ASSERT_TRUE(r.Detect());
    const std::vector<uint8_t> block0 = r.FillBlock(0, 12);
    ASSERT_TRUE(r.Run(command::kExternalLow));
    r.Run(command::kResetLink);
    // The unknown-firmware detection has no external-flash step: the window stays marked.
    r.Run(command::kDetectUnknown);
    ASSERT_TRUE(r.session().IsLinkUp());
    ASSERT_TRUE(r.session().ExternalWindowOpen());

    EXPECT_TRUE(r.RunYes(command::kBackToMcu));
    EXPECT_EQ(CountFrames(r.LastCommands(), "01"), 0u);
    EXPECT_EQ(r.Block(0), block0);
    EXPECT_FALSE(r.session().ExternalWindowOpen());
    EXPECT_TRUE(r.Said("Return to MCU Flash Successful!"));
}

}  // namespace
}  // namespace tessel
