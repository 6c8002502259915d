#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "device/CDeviceSession.h"
#include "firmware/Firmware.h"
#include "protocol/Detection.h"
#include "protocol/Upgrade11E.h"
#include "serial/LinkWorker.h"
#include "sim/SimBoard.h"
#include "support/RecordingOperator.h"
#include "support/RecordingView.h"

namespace tessel {
namespace {

using V = std::vector<uint8_t>;

struct Upgrading {
    explicit Upgrading(uint8_t remapBits = 0, sim::Faults faults = {}) : session(&op, clock) {
        char tmpl[] = "/tmp/tessel-state-XXXXXX";
        dir = mkdtemp(tmpl);
        sim::BoardConfig c;
        c.chipType = 2;
        c.firmware = sim::Firmware::F11E;
        c.remapBits = remapBits;
        c.faults = faults;
        link = sim::MakeSimLink(clock, c);
        user.resize(32768, 0xFF);
        for (size_t i = 0; i < 1280; ++i) user[i] = static_cast<uint8_t>(i * 7 + 1);
        user[5000] = 0x33;
        link.board->SetBlock(0, user);
        session.port.SetBaudRate(9600);
        session.port.SetDeviceFactory([this](OpenError*) { return std::make_unique<VirtualLineHandle>(link.line); });
        ctx.worker = &worker;
        ctx.runUpgrade = [this](bool menu) { backup = UpgradeBsl11E(ctx, menu, dir); };
        op.answers = {true};
    }
    ~Upgrading() {
        StopLinkWorker(worker);
        std::filesystem::remove_all(dir);
    }
    // Refused: nothing may speak 1.1F to the 1.1E loader afterwards.
    void ExpectSessionEnded() const {
        EXPECT_FALSE(session.IsLinkUp());
        EXPECT_FALSE(session.flags.workerRunning);
        for (IapButton b : {IapButton::Read, IapButton::Download, IapButton::SectorErase, IapButton::DnloadRunUserCode})
            EXPECT_FALSE(view.ButtonEnabled(b)) << static_cast<int>(b);
        EXPECT_TRUE(Shown("reset the board and detect it again")) << op.messages.back();
    }
    bool Shown(const std::string& t) const {
        for (const auto& m : op.messages)
            if (m.find(t) != std::string::npos) return true;
        return false;
    }

    VirtualClock clock;
    test::RecordingOperator op;
    test::RecordingView view;
    sim::SimLink link;
    CDeviceSession session;
    LinkWorker worker;
    DetectionContext ctx{session, view, op};
    std::string dir, backup;
    V user;
};

// The saved user code is what goes back, so it must be exact even when a prompt of the
// loader's crosses a read command: right after the last reply (the prompt looks like data)
// or long after it (the worker gives up on the exchange).
TEST(Upgrade11E, TurnsTheLoaderInto11FAndPutsTheUserCodeBack) {
    struct Case {
        const char* name;
        uint64_t promptBeforeRead;
        uint32_t replyDelayMs;
    };
    for (const Case& k : {Case{"clean line", 0, 0}, Case{"prompt before a read", 1, 0},
                          Case{"prompt before a late read", 3, 600}}) {
        SCOPED_TRACE(k.name);
        sim::Faults f;
        f.promptBeforeRead = k.promptBeforeRead;
        f.replyDelayMs = k.replyDelayMs;
        Upgrading u(0, f);
        Detect11E(u.ctx, true);
        EXPECT_EQ(u.link.board->CurrentFirmware(), sim::Firmware::F11F);
        EXPECT_TRUE(u.Shown("Upgrade Bootstrap Loader from 1.1E to 1.1F Completed!")) << u.op.messages.back();
        EXPECT_TRUE(u.Shown("Please continue to use IAP function."));
        EXPECT_EQ(u.view.Field(ChipField::FwVersion), "v1.1F");
        EXPECT_EQ(u.view.Field(ChipField::IapStatus), "Re-detect chip from target MCU for BSL1.1F is done.");
        EXPECT_TRUE(u.session.IsLinkUp());
        EXPECT_FALSE(u.session.flags.workerRunning);
        const V after = u.link.board->Block(0);
        EXPECT_TRUE(std::equal(u.user.begin(), u.user.begin() + 1280, after.begin())) << "block 0 restored";
        EXPECT_EQ(after[5000], 0x33) << "nothing beyond the upgrade area touched";
        // The saved code went to a backup file before anything was erased.
        ASSERT_FALSE(u.backup.empty());
        std::ifstream in(u.backup, std::ios::binary);
        const V saved((std::istreambuf_iterator<char>(in)), {});
        EXPECT_EQ(saved, V(u.user.begin(), u.user.begin() + 1280));
        EXPECT_FALSE(u.session.flags.longOperation);
    }
}

// A window that, once the upgrade program has been started, makes the new loader refuse
// every sector erase, so that the user's code cannot be put back.
struct SabotagingView : test::RecordingView {
    sim::Board* board = nullptr;
    void setProgressLabel(const std::string& t) override {
        if (board && t == "Upgrade is in process, please wait...") {
            sim::Faults f;
            f.refuseCommand = 0x0B;
            board->SetFaults(f);
        }
        RecordingView::setProgressLabel(t);
    }
};

TEST(Upgrade11E, AFailedRestoreNamesTheBackupFile) {
    Upgrading u;
    SabotagingView view;
    view.board = u.link.board.get();
    DetectionContext ctx{u.session, view, u.op};
    ctx.worker = &u.worker;
    ctx.runUpgrade = [&](bool menu) { u.backup = UpgradeBsl11E(ctx, menu, u.dir); };
    Detect11E(ctx, true);
    ASSERT_FALSE(u.backup.empty());
    EXPECT_TRUE(std::filesystem::exists(u.backup));
    EXPECT_TRUE(u.Shown("But user's code on Block0 was destroyed.\nIts saved copy is in " + u.backup))
        << u.op.messages.back();
    std::ifstream in(u.backup, std::ios::binary);
    const V saved((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(saved, V(u.user.begin(), u.user.begin() + 1280));
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
    EXPECT_TRUE(u.Shown("the built-in upgrade_11e_11f.bin is a stand-in")) << u.op.messages.back();
    for (const std::string& folder : FirmwareSearchFolders())
        EXPECT_TRUE(u.Shown(folder)) << folder << " in " << u.op.messages.back();
    EXPECT_EQ(u.link.board->CurrentFirmware(), sim::Firmware::F11E);
    EXPECT_EQ(u.link.board->Block(0), u.user);
    u.ExpectSessionEnded();
}

// The new loader's remap size is the one the 1.1E detection read (bits 1:0 of its status).
TEST(Upgrade11E, TheRemapSizeComesFromThe11EStatusByte) {
    Upgrading u(0x02);
    Detect11E(u.ctx, true);
    ASSERT_EQ(u.link.board->CurrentFirmware(), sim::Firmware::F11F);
    EXPECT_EQ(u.view.Field(ChipField::ReMap), "2 KByte");
    EXPECT_EQ(u.session.remapText, "2 KByte");
}

// A view that raises the operator's stop as the user's code starts to be saved.
struct StoppingView : test::RecordingView {
    CDeviceSession* session = nullptr;
    void setProgressLabel(const std::string& t) override {
        if (session && t == "Reading") session->flags.stop.Request();
        RecordingView::setProgressLabel(t);
    }
};

TEST(Upgrade11E, AStopWhileTheUserCodeIsSavedErasesNothingAndEndsTheSession) {
    Upgrading u;
    StoppingView view;
    DetectionContext ctx{u.session, view, u.op};
    ctx.worker = &u.worker;
    ctx.runUpgrade = [&](bool menu) {
        view.session = &u.session;
        u.backup = UpgradeBsl11E(ctx, menu, u.dir);
    };
    Detect11E(ctx, true);
    EXPECT_EQ(u.link.board->CurrentFirmware(), sim::Firmware::F11E);
    EXPECT_EQ(u.link.board->Block(0), u.user);
    EXPECT_TRUE(u.backup.empty());
    EXPECT_TRUE(std::filesystem::is_empty(u.dir)) << "nothing was erased, so no copy is kept";
    EXPECT_NE(u.session.flags.stop.Notes().find("nothing was erased"), std::string::npos);
    EXPECT_FALSE(u.session.IsLinkUp());
    EXPECT_FALSE(u.session.flags.workerRunning);
    for (IapButton b : {IapButton::Read, IapButton::Download, IapButton::SectorErase}) EXPECT_FALSE(view.ButtonEnabled(b));
}

}  // namespace
}  // namespace tessel
