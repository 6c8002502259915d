// The old 1.1E loader: its detection through the link worker, and the upgrade that turns it
// into a 1.1F loader with the user's code put back.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>

#include "device/CDeviceSession.h"
#include "firmware/Firmware.h"
#include "protocol/Detection.h"
#include "protocol/Primitives.h"
#include "protocol/Upgrade11E.h"
#include "serial/LinkWorker.h"
#include "sim/SimBoard.h"
#include "support/RecordingOperator.h"
#include "support/RecordingProgress.h"
#include "support/RecordingView.h"
#include "support/SimFixture.h"
#include "support/TempFolder.h"

namespace tessel {
namespace {

using V = std::vector<uint8_t>;

// A window that lets a test act when the progress label changes: at a given step of a command.
struct HookedView : test::RecordingView {
    std::function<void(const std::string&)> onLabel;
    void setProgressLabel(const std::string& t) override {
        if (onLabel) onLabel(t);
        RecordingView::setProgressLabel(t);
    }
};

// A session on a board with the 1.1E loader, at its 9600 baud, with a link worker for the
// detection to start.
struct OldLoader : test::SimSession {
    explicit OldLoader(int chip = 2, sim::Faults faults = {}, uint8_t remapBits = 0)
        : test::SimSession(Config(chip, faults, remapBits), 9600) {
        ctx.worker = &worker;
    }
    ~OldLoader() { StopLinkWorker(worker); }
    static sim::BoardConfig Config(int chip, sim::Faults faults, uint8_t remapBits) {
        sim::BoardConfig c = test::Chip(chip, sim::Firmware::F11E);
        c.faults = faults;
        c.remapBits = remapBits;
        return c;
    }

    HookedView view;
    LinkWorker worker;
    DetectionContext ctx{session, view, op};
};

struct Detecting11E : OldLoader {
    explicit Detecting11E(int chip, sim::Faults faults = {}) : OldLoader(chip, faults) {
        ctx.endApplication = [this] { ended = true; };
        ctx.runUpgrade = [this](bool) { upgraded = true; };
    }
    bool ended = false;
    bool upgraded = false;
};

// Declining the upgrade ends the application (accepting it, on an NX31A32, is
// DetectCommands.TheUpgradeOfferEndsTheApplicationWhenDeclinedAndRetitlesTheWindowWhenTaken).
TEST(Detect11E, ReadsStatusAndChipByteThroughTheWorkerThenOffersTheUpgrade) {
    Detecting11E d(1);
    d.op.answers = {false};
    Detect11E(d.ctx, true);
    EXPECT_TRUE(d.session.IsLinkUp());
    EXPECT_TRUE(d.session.flags.workerRunning);
    EXPECT_EQ(d.session.chipType, 1);
    EXPECT_EQ(d.view.Field(ChipField::ChipType), "NX31A16");
    EXPECT_EQ(d.view.Field(ChipField::FwVersion), "v1.1E");
    EXPECT_EQ(d.view.Field(ChipField::IapStatus), "Handshaking succeed!");
    EXPECT_EQ(d.view.Field(ChipField::MemMode), "Internal");
    EXPECT_TRUE(d.view.ButtonEnabled(IapButton::Download));
    EXPECT_FALSE(d.view.ButtonEnabled(IapButton::ChipErase));
    EXPECT_FALSE(d.session.flags.longOperation);
    ASSERT_EQ(d.op.questions.size(), 1u);
    EXPECT_TRUE(d.ended);
    EXPECT_FALSE(d.upgraded);
    EXPECT_FALSE(d.session.flags.errorReported);
}

// A silent target ends the reset wait at 30 s; the operator's stop ends it at once, without
// blaming the target.
TEST(Detect11E, ASilentTargetEndsTheResetWaitAtThirtySecondsAStopAtOnce) {
    for (const bool stop : {false, true}) {
        SCOPED_TRACE(stop ? "stopped" : "waited out");
        sim::Faults f;
        f.silentFromByte = 1;  // prompts come, the status request is never answered
        Detecting11E d(2, f);
        if (stop) d.session.flags.stop.Request();
        const uint64_t t0 = d.clock.TickMs();
        Detect11E(d.ctx, true);
        EXPECT_EQ(d.Shown("No Response from Target Board!!!"), !stop);
        if (stop) {
            EXPECT_LT(d.clock.TickMs() - t0, 3000u);
            EXPECT_NE(d.session.flags.stop.Notes().find("the boot loader had not answered yet"), std::string::npos);
        } else {
            EXPECT_GE(d.clock.TickMs() - t0, 30000u);
            EXPECT_LE(d.clock.TickMs() - t0, 36000u);
        }
        EXPECT_FALSE(d.session.IsLinkUp());
    }
}

// ---- the upgrade ----

struct Upgrading : OldLoader {
    explicit Upgrading(uint8_t remapBits = 0, sim::Faults faults = {}) : OldLoader(2, faults, remapBits) {
        user.resize(32768, 0xFF);
        for (size_t i = 0; i < 1280; ++i) user[i] = static_cast<uint8_t>(i * 7 + 1);
        user[5000] = 0x33;
        link.board->SetBlock(0, user);
        ctx.runUpgrade = [this](bool menu) { backup = UpgradeBsl11E(ctx, menu, dir); };
        op.answers = {true};
    }
    // Refused: nothing may speak 1.1F to the 1.1E loader afterwards.
    void ExpectSessionEnded() const {
        EXPECT_FALSE(session.IsLinkUp());
        EXPECT_FALSE(session.flags.workerRunning);
        for (IapButton b : {IapButton::Read, IapButton::Download, IapButton::SectorErase, IapButton::DnloadRunUserCode})
            EXPECT_FALSE(view.ButtonEnabled(b)) << static_cast<int>(b);
        EXPECT_TRUE(Says("reset the board and detect it again")) << op.messages.back();
    }
    // Whether a message box said `t` among its words.
    bool Says(const std::string& t) const {
        for (const auto& m : op.messages)
            if (m.find(t) != std::string::npos) return true;
        return false;
    }
    // The user's code as the backup file holds it.
    V Saved() const {
        std::ifstream in(backup, std::ios::binary);
        return V((std::istreambuf_iterator<char>(in)), {});
    }

    test::TempFolder dir;
    std::string backup;
    V user;
};

// The saved user code is what goes back, so it must be exact even when a prompt of the
// loader's crosses a read command: right after the last reply (the prompt looks like data)
// or long after it (the worker gives up on the exchange). The new loader's remap size is the
// one the 1.1E detection read (bits 1:0 of its status).
TEST(Upgrade11E, TurnsTheLoaderInto11FAndPutsTheUserCodeBack) {
    struct Case {
        const char* name;
        uint64_t promptBeforeRead;
        uint32_t replyDelayMs;
        uint8_t remapBits;
        const char* remap;
    };
    for (const Case& k : {Case{"clean line", 0, 0, 0x02, "2 KByte"}, Case{"prompt before a read", 1, 0, 0, "0 KByte"},
                          Case{"prompt before a late read", 3, 600, 0, "0 KByte"}}) {
        SCOPED_TRACE(k.name);
        sim::Faults f;
        f.promptBeforeRead = k.promptBeforeRead;
        f.replyDelayMs = k.replyDelayMs;
        Upgrading u(k.remapBits, f);
        Detect11E(u.ctx, true);
        EXPECT_EQ(u.link.board->CurrentFirmware(), sim::Firmware::F11F);
        EXPECT_TRUE(u.Says("Upgrade Bootstrap Loader from 1.1E to 1.1F Completed!")) << u.op.messages.back();
        EXPECT_TRUE(u.Says("Please continue to use IAP function."));
        EXPECT_EQ(u.view.Field(ChipField::FwVersion), "v1.1F");
        EXPECT_EQ(u.view.Field(ChipField::IapStatus), "Re-detect chip from target MCU for BSL1.1F is done.");
        EXPECT_EQ(u.view.Field(ChipField::ReMap), k.remap);
        EXPECT_EQ(u.session.remapText, k.remap);
        EXPECT_TRUE(u.session.IsLinkUp());
        EXPECT_FALSE(u.session.flags.workerRunning);
        const V after = u.link.board->Block(0);
        EXPECT_TRUE(std::equal(u.user.begin(), u.user.begin() + 1280, after.begin())) << "block 0 restored";
        EXPECT_EQ(after[5000], 0x33) << "nothing beyond the upgrade area touched";
        // The saved code went to a backup file before anything was erased.
        ASSERT_FALSE(u.backup.empty());
        EXPECT_EQ(u.Saved(), V(u.user.begin(), u.user.begin() + 1280));
        EXPECT_FALSE(u.session.flags.longOperation);
    }
}

TEST(Upgrade11E, AStandInImageIsNeverWrittenToARealPort) {
    // The same session, but the port's device does not say it is the stand-in line.
    class RealLooking : public VirtualLineHandle {
    public:
        using VirtualLineHandle::VirtualLineHandle;
        bool IsStandInLine() const override { return false; }
    };
    Upgrading u;
    u.session.port.SetDeviceFactory([&](OpenError*) { return std::make_unique<RealLooking>(u.link.line); });
    Detect11E(u.ctx, true);
    // The refusal names the file and every folder a real one would be taken from.
    EXPECT_TRUE(u.Says("the built-in upgrade_11e_11f.bin is a stand-in")) << u.op.messages.back();
    for (const std::string& folder : FirmwareSearchFolders())
        EXPECT_TRUE(u.Says(folder)) << folder << " in " << u.op.messages.back();
    EXPECT_EQ(u.link.board->CurrentFirmware(), sim::Firmware::F11E);
    EXPECT_EQ(u.link.board->Block(0), u.user);
    u.ExpectSessionEnded();
}

// Once the upgrade program runs, block 0 holds it and not the user's code: a loader that never
// answers then ends the session, and the failure names the copy of the code.
TEST(Upgrade11E, ALoaderSilentAfterTheUpgradeProgramStartsNamesTheSavedCode) {
    sim::Faults f;
    f.upgradeNeverAnswers = true;
    Upgrading u(0, f);
    Detect11E(u.ctx, true);
    EXPECT_TRUE(u.Says("The boot loader never answered after the upgrade program was started. Block 0 was not "
                       "restored: the user's code saved from 0000h-04FFh is in " + u.backup + "."))
        << u.op.messages.back();
    EXPECT_EQ(u.Saved(), V(u.user.begin(), u.user.begin() + 1280));
    u.ExpectSessionEnded();
    // Nothing was erased or written into the silence: block 0 still holds the upgrade program.
    u.Settle();
    const FirmwareImage& program = Firmware(FirmwareId::Upgrade11E);
    EXPECT_TRUE(std::equal(program.data, program.data + program.size, u.link.board->Block(0).begin()));
}

// The operator's stop comes as the user's code starts to be saved.
TEST(Upgrade11E, AStopWhileTheUserCodeIsSavedErasesNothingAndEndsTheSession) {
    Upgrading u;
    u.ctx.runUpgrade = [&](bool menu) {
        u.view.onLabel = [&](const std::string& t) {
            if (t == "Reading") u.session.flags.stop.Request();
        };
        u.backup = UpgradeBsl11E(u.ctx, menu, u.dir);
    };
    Detect11E(u.ctx, true);
    EXPECT_EQ(u.link.board->CurrentFirmware(), sim::Firmware::F11E);
    EXPECT_EQ(u.link.board->Block(0), u.user);
    EXPECT_TRUE(u.backup.empty());
    EXPECT_TRUE(std::filesystem::is_empty(std::string(u.dir))) << "nothing was erased, so no copy is kept";
    EXPECT_NE(u.session.flags.stop.Notes().find("nothing was erased"), std::string::npos);
    u.ExpectSessionEnded();
}

}  // namespace
}  // namespace tessel
