#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "support/FlashRig.h"
#include "ui/Texts.h"

namespace tessel {
namespace {

using test::FlashRig;

size_t Count(const FlashRig& r, const std::string& text) {
    return static_cast<size_t>(std::count(r.op.messages.begin(), r.op.messages.end(), text));
}

TEST(DetectCommands, ConfigDetectionRunsTheDialogsThenDetectsAtTheChosenRateAndExitAsks) {
    FlashRig r;
    EXPECT_TRUE(r.window.Route(command::kDetect11F));
    EXPECT_EQ(r.op.dialogs, (std::vector<std::string>{"ChipSelectDialog", "CommSetupDialog"}));
    EXPECT_TRUE(r.window.Session().IsLinkUp());
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

TEST(DetectCommands, AnIncompleteChipChoiceARefusedRateOrCancelDetectNothing) {
    FlashRig r;
    r.modeChoice = 0;
    r.window.Route(command::kDetect11F);
    EXPECT_EQ(r.op.dialogs, std::vector<std::string>{"ChipSelectDialog"}) << "stopped before the serial dialog";
    EXPECT_EQ(Count(r, text::kChipInfoIncomplete), 1u);

    r.modeChoice = kInternalMemory;
    r.rateSelection = 0;  // 38400, above the best rate at 1 MHz
    r.op.dialogScript = [&r, inner = r.op.dialogScript](DialogModel& m) {
        if (std::string(m.DialogName()) == "CommSetupDialog") static_cast<CommSetupDialog&>(m).crystal = 1.0;
        return inner(m);
    };
    r.window.Route(command::kDetect11F);
    EXPECT_EQ(Count(r, "You can't choose a baudrate which is higher than the computed best baudrate!\n"), 1u);
    EXPECT_FALSE(r.window.Session().IsLinkUp());
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
    ASSERT_EQ(r.titlesSeen.size(), 1u);
    EXPECT_EQ(r.titlesSeen[0], text::kBaudMustMatchTitle);
    EXPECT_EQ(r.window.Title(), before);
    EXPECT_EQ(Count(r, text::kSelectChipOrDetect), 1u);
    EXPECT_EQ(r.window.Session().port.GetBaudRate(), 4800u);
    EXPECT_EQ(r.window.BaudPane(), "Baud Rate: 4800");
    r.cancel = true;
    r.window.Route(command::kExtMemSerialDialog);
    EXPECT_EQ(Count(r, text::kSelectChipOrDetect), 1u) << "no hint after Cancel";
    EXPECT_EQ(r.window.Title(), before);
}

sim::BoardConfig OldLoader() {
    sim::BoardConfig c;
    c.chipType = 2;
    c.firmware = sim::Firmware::F11E;
    return c;
}

// The old loader's detection offers the upgrade: declined, the application ends; accepted
// from the menu, the window takes the new firmware's title and stays.
TEST(DetectCommands, TheUpgradeOfferEndsTheApplicationWhenDeclinedAndRetitlesTheWindowWhenTaken) {
    for (const bool accept : {false, true}) {
        SCOPED_TRACE(accept);
        FlashRig r(OldLoader());
        r.window.Session().port.SetBaudRate(9600);
        r.op.answers = {accept};
        r.window.Route(command::kDetect11E);
        EXPECT_EQ(r.window.Field(ChipField::ChipType), "NX31A32");
        EXPECT_EQ(r.window.CloseRequested(), !accept);
        if (!accept) continue;
        EXPECT_EQ(r.link.board->CurrentFirmware(), sim::Firmware::F11F);
        EXPECT_EQ(r.window.Title(), "QMT Tessel11F Boot-Strap Loader(Fw:v1.1F)");
    }
}

}  // namespace
}  // namespace tessel
