#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "device/CommandChecks.h"
#include "support/FlashRig.h"
#include "commands/Texts.h"

namespace tessel {
namespace {

using namespace test;

size_t Count(const FlashRig& r, const std::string& text) {
    return static_cast<size_t>(std::count(r.op.messages.begin(), r.op.messages.end(), text));
}

TEST(DetectCommands, ConfigDetectionRunsTheDialogsThenDetectsAtTheChosenRateAndExitAsks) {
    FlashRig r;
    EXPECT_EQ(r.window.LinkPane(), "Not connected");
    EXPECT_TRUE(r.window.Route(command::kDetect11F));
    r.window.TickPanes();  // as the window does when a command ends
    EXPECT_EQ(r.window.LinkPane(), "Connected NX31A32 at 9600 on sim:NX31A32");
    EXPECT_EQ(r.op.dialogs, (std::vector<std::string>{"ChipSelectDialog", "CommSetupDialog"}));
    EXPECT_EQ(r.window.Session().port.GetBaudRate(), 9600u);
    EXPECT_EQ(r.window.Field(ChipField::ChipType), "NX31A32");
    EXPECT_EQ(r.window.ComPane(), "sim:NX31A32") << "a named port shows its name";
    EXPECT_EQ(r.window.BaudPane(), "Baud Rate: 9600");
    EXPECT_EQ(r.store.ReadPortName(), "sim:NX31A32");

    // Exit asks, and closes only on Yes.
    r.op.answers = {false, true};
    r.window.Route(command::kExit);
    EXPECT_FALSE(r.window.CloseRequested());
    r.window.Route(command::kExit);
    EXPECT_TRUE(r.window.CloseRequested());
    EXPECT_EQ(r.op.questions, (std::vector<std::string>(2, text::kExitQuestion)));
}

TEST(DetectCommands, AnIncompleteChipChoiceOrCancelDetectNothing) {
    FlashRig r;
    r.modeChoice = 0;
    r.window.Route(command::kDetect11F);
    EXPECT_EQ(r.op.dialogs, std::vector<std::string>{"ChipSelectDialog"}) << "stopped before the serial dialog";
    EXPECT_EQ(Count(r, text::kChipInfoIncomplete), 1u);
    // A rate above the crystal's best is refused by the serial dialog itself (DialogsGui).
    r.modeChoice = kInternalMemory;
    r.cancel = true;
    r.window.Route(command::kDetectUnknown);
    EXPECT_FALSE(r.window.Session().IsLinkUp());
    EXPECT_EQ(r.link.board->BytesReceived(), 0u) << "nothing reached the line";
}

TEST(DetectCommands, ExternalSerialDialogShowsItsTitleOnlyWhileOpen) {
    FlashRig r;
    const std::string before = r.window.Title();
    r.rateSelection = 3;
    r.window.Route(command::kExtMemSerialDialog);
    EXPECT_EQ(r.titlesSeen, std::vector<std::string>{text::kBaudMustMatchTitle});
    EXPECT_EQ(r.window.Title(), before);
    EXPECT_EQ(Count(r, text::kSelectChipOrDetect), 1u);
    EXPECT_EQ(r.window.BaudPane(), "Baud Rate: 4800");
    r.cancel = true;
    r.window.Route(command::kExtMemSerialDialog);
    EXPECT_EQ(Count(r, text::kSelectChipOrDetect), 1u) << "no hint after Cancel";
    EXPECT_EQ(r.window.Title(), before);
}

// The old loader's detection offers the upgrade: declined, the application ends; accepted
// from the menu, the window takes the new firmware's title and stays.
TEST(DetectCommands, TheUpgradeOfferEndsTheApplicationWhenDeclinedAndRetitlesTheWindowWhenTaken) {
    for (const bool accept : {false, true}) {
        SCOPED_TRACE(accept);
        sim::BoardConfig old;
        old.firmware = sim::Firmware::F11E;
        FlashRig r(old);
        r.window.Session().port.SetBaudRate(9600);
        r.op.answers = {accept};
        r.window.Route(command::kDetect11E);
        EXPECT_EQ(r.window.Field(ChipField::ChipType), "NX31A32");
        EXPECT_EQ(r.window.CloseRequested(), !accept);
        EXPECT_EQ(r.link.board->CurrentFirmware(), accept ? sim::Firmware::F11F : sim::Firmware::F11E);
        EXPECT_EQ(r.window.Title(), accept ? "QMT Tessel11F Boot-Strap Loader(Fw:v1.1F)" : r.window.Title());
    }
}

// A detection after the user's code ran makes every command work again.
TEST(Redetection, AfterTheUsersCodeRanReadAndDownloadWorkAgain) {
    DetectedRig r(BoardOf(2));
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
    EXPECT_TRUE(r.Download(r.WriteFile("app.bin", code)).Ok());
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

}  // namespace
}  // namespace tessel
