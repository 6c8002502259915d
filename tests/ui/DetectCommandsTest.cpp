#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "files/ConfigStore.h"
#include "serial/LinkWorker.h"
#include "sim/SimBoard.h"
#include "support/RecordingOperator.h"
#include "ui/CommDialogs.h"
#include "ui/DetectCommands.h"
#include "ui/MainDialog.h"
#include "ui/Texts.h"

namespace tessel {
namespace {

// A window with the detection commands routed, against a stand-in board on a virtual line;
// the operator fills the dialogs the way `chooser` says and presses OK.
struct Rig {
    explicit Rig(sim::BoardConfig config = {}) : dialog(&op, clock), store(Dir()) {
        link = sim::MakeSimLink(clock, config);
        dialog.Session().port.SetDeviceFactory(
            [this](OpenError*) { return std::make_unique<VirtualLineHandle>(link.line); });
        RegisterDetectCommands(dialog, {&store, [] { return std::vector<std::string>{"sim:NX31A32"}; }, store.Folder()});
        op.dialogScript = [this](DialogModel& m) {
            titlesSeen.push_back(dialog.Title());
            const std::string name = m.DialogName();
            if (name == "ChipSelectDialog") {
                auto& d = static_cast<ChipSelectDialog&>(m);
                d.chipType = chipType;
                d.memoryMode = memoryMode;
            } else if (name == "CommSetupDialog") {
                auto& d = static_cast<CommSetupDialog&>(m);
                d.rateSelection = rateSelection;
                d.portSelection = static_cast<int>(d.ports.size()) - 1;  // the named stand-in port
            } else if (name == "ExtMemCommDialog") {
                auto& d = static_cast<ExtMemCommDialog&>(m);
                d.rateSelection = rateSelection;
                d.portSelection = 1;
            }
            if (cancel) return DialogResult::Cancel;
            return m.PressOk() == OkOutcome::CloseOk ? DialogResult::Ok : DialogResult::Cancel;
        };
    }
    ~Rig() {
        StopLinkWorker(dialog.Worker());
        std::filesystem::remove_all(store.Folder());
    }
    static std::string Dir() {
        char tmpl[] = "/tmp/tessel-cmd-XXXXXX";
        return mkdtemp(tmpl);
    }
    size_t Count(const std::string& text) const { return std::count(op.messages.begin(), op.messages.end(), text); }

    VirtualClock clock;
    test::RecordingOperator op;
    sim::SimLink link;
    MainDialog dialog;
    ConfigStore store;
    int chipType = 2, memoryMode = 1, rateSelection = 2;  // NX31A32 (1 is NX31A16), internal, 9600
    bool cancel = false;
    std::vector<std::string> titlesSeen;
};

TEST(DetectCommands, ConfigDetectionRunsTheDialogsThenDetectsAtTheChosenRate) {
    Rig r;
    EXPECT_TRUE(r.dialog.Route(command::kDetect11F));
    EXPECT_EQ(r.op.dialogs, (std::vector<std::string>{"ChipSelectDialog", "CommSetupDialog"}));
    EXPECT_TRUE(r.dialog.Session().IsLinkUp());
    EXPECT_EQ(r.dialog.Session().port.GetBaudRate(), 9600u);
    EXPECT_EQ(r.dialog.Field(ChipField::ChipType), "NX31A32");
    EXPECT_EQ(r.dialog.ComPane(), "sim:NX31A32") << "a named port shows its name";
    EXPECT_EQ(r.dialog.BaudPane(), "Baud Rate: 9600");
    EXPECT_EQ(r.store.ReadPortName(), "sim:NX31A32");
}

TEST(DetectCommands, AnIncompleteChipChoiceARefusedRateOrCancelDetectNothing) {
    Rig r;
    r.memoryMode = 0;
    r.dialog.Route(command::kDetect11F);
    EXPECT_EQ(r.op.dialogs, std::vector<std::string>{"ChipSelectDialog"}) << "stopped before the serial dialog";
    EXPECT_EQ(r.Count(text::kChipInfoIncomplete), 1u);

    r.memoryMode = 1;
    r.rateSelection = 0;  // 38400, above the best rate at 1 MHz
    r.op.dialogScript = [&r, inner = r.op.dialogScript](DialogModel& m) {
        if (std::string(m.DialogName()) == "CommSetupDialog") static_cast<CommSetupDialog&>(m).crystal = 1.0;
        return inner(m);
    };
    r.dialog.Route(command::kDetect11F);
    EXPECT_EQ(r.Count("You can't choose a baudrate which is higher than the computed best baudrate!\n"), 1u);
    EXPECT_FALSE(r.dialog.Session().IsLinkUp());
    r.cancel = true;
    r.dialog.Route(command::kDetectUnknown);
    EXPECT_FALSE(r.dialog.Session().IsLinkUp());
    EXPECT_EQ(r.link.board->BytesReceived(), 0u) << "nothing reached the line";
}

TEST(DetectCommands, ExternalSerialDialogShowsItsTitleOnlyWhileOpen) {
    Rig r;
    const std::string before = r.dialog.Title();
    r.rateSelection = 3;
    r.dialog.Route(command::kExtMemSerialDialog);
    ASSERT_EQ(r.titlesSeen.size(), 1u);
    EXPECT_EQ(r.titlesSeen[0], text::kBaudMustMatchTitle);
    EXPECT_EQ(r.dialog.Title(), before);
    EXPECT_EQ(r.Count(text::kSelectChipOrDetect), 1u);
    EXPECT_EQ(r.dialog.Session().port.GetBaudRate(), 4800u);
    EXPECT_EQ(r.dialog.BaudPane(), "Baud Rate: 4800");
    r.cancel = true;
    r.dialog.Route(command::kExtMemSerialDialog);
    EXPECT_EQ(r.Count(text::kSelectChipOrDetect), 1u) << "no hint after Cancel";
    EXPECT_EQ(r.dialog.Title(), before);
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
        Rig r(OldLoader());
        r.dialog.Session().port.SetBaudRate(9600);
        r.op.answers = {accept};
        r.dialog.Route(command::kDetect11E);
        EXPECT_EQ(r.dialog.Field(ChipField::ChipType), "NX31A32");
        EXPECT_EQ(r.dialog.CloseRequested(), !accept);
        if (!accept) continue;
        EXPECT_EQ(r.link.board->CurrentFirmware(), sim::Firmware::F11F);
        EXPECT_EQ(r.dialog.Title(), "QMT Tessel11F Boot-Strap Loader(Fw:v1.1F)");
    }
}

TEST(DetectCommands, ExitAsksAndClosesOnlyOnYes) {
    Rig r;
    r.op.answers = {false, true};
    r.dialog.Route(command::kExit);
    EXPECT_FALSE(r.dialog.CloseRequested());
    r.dialog.Route(command::kExit);
    EXPECT_TRUE(r.dialog.CloseRequested());
    EXPECT_EQ(r.op.questions, (std::vector<std::string>(2, text::kExitQuestion)));
}

}  // namespace
}  // namespace tessel
