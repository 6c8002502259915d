#include <gtest/gtest.h>

#include "device/CDeviceSession.h"
#include "protocol/Detection.h"
#include "serial/LinkWorker.h"
#include "sim/SimBoard.h"
#include "support/RecordingOperator.h"
#include "support/RecordingView.h"

namespace tessel {
namespace {

struct Detecting11E {
    explicit Detecting11E(int chip, sim::Faults faults = {}) : session(&op, clock) {
        sim::BoardConfig c;
        c.chipType = chip;
        c.firmware = sim::Firmware::F11E;
        c.faults = faults;
        link = sim::MakeSimLink(clock, c);
        session.port.SetBaudRate(9600);
        session.port.SetDeviceFactory([this](OpenError*) { return std::make_unique<VirtualLineHandle>(link.line); });
        ctx.worker = &worker;
        ctx.endApplication = [this] { ended = true; };
        ctx.runUpgrade = [this](bool) { upgraded = true; };
    }
    ~Detecting11E() { StopLinkWorker(worker); }
    bool Shown(const std::string& t) const {
        return std::find(op.messages.begin(), op.messages.end(), t) != op.messages.end();
    }

    VirtualClock clock;
    test::RecordingOperator op;
    test::RecordingView view;
    sim::SimLink link;
    CDeviceSession session;
    LinkWorker worker;
    DetectionContext ctx{session, view, op};
    bool ended = false;
    bool upgraded = false;
};

TEST(Detect11E, ReadsStatusAndChipByteThroughTheWorkerThenOffersTheUpgrade) {
    for (int chip : {1, 2}) {
        Detecting11E d(chip);
        const bool accept = chip == 2;
        d.op.answers = {accept};
        Detect11E(d.ctx, true);
        EXPECT_TRUE(d.session.IsLinkUp());
        EXPECT_TRUE(d.session.flags.workerRunning);
        EXPECT_EQ(d.session.chipType, chip);
        EXPECT_EQ(d.view.Field(ChipField::ChipType), chip == 1 ? "NX31A16" : "NX31A32");
        EXPECT_EQ(d.view.Field(ChipField::FwVersion), "v1.1E");
        EXPECT_EQ(d.view.Field(ChipField::IapStatus), "Handshaking succeed!");
        EXPECT_EQ(d.view.Field(ChipField::MemMode), "Internal");
        EXPECT_TRUE(d.view.ButtonEnabled(IapButton::Download));
        EXPECT_FALSE(d.view.ButtonEnabled(IapButton::ChipErase));
        EXPECT_FALSE(d.session.flags.longOperation);
        // Declining the upgrade ends the application; accepting runs it.
        ASSERT_EQ(d.op.questions.size(), 1u);
        EXPECT_EQ(d.ended, !accept);
        EXPECT_EQ(d.upgraded, accept);
        EXPECT_FALSE(d.session.flags.errorReported);
    }
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

TEST(DetectUnknown, FallsBackToTheOneOneEDetection) {
    Detecting11E d(1);
    d.ctx.detect11EFallback = [&] { Detect11E(d.ctx, false); };
    DetectUnknown(d.ctx);
    EXPECT_TRUE(d.Shown("Failed to detect Firmware 1.1F,\nnow we will try to detect 1.1E."));
    EXPECT_EQ(d.view.Field(ChipField::ChipType), "NX31A16");
    EXPECT_EQ(d.view.progress.Last(), "Done");
    EXPECT_TRUE(d.ended);
}

}  // namespace
}  // namespace tessel
