#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "files/ConfigStore.h"
#include "protocol/Detection.h"
#include "sim/SimBoard.h"
#include "support/RecordingOperator.h"
#include "ui/MainDialog.h"

namespace tessel {
namespace {

struct CountingObserver : MainDialogObserver {
    void OnChanged(Change what) override { ++counts[what]; }
    std::map<Change, int> counts;
};

struct Window {
    Window() : dialog(&op, clock) {
        char tmpl[] = "/tmp/tessel-ui-XXXXXX";
        dir = mkdtemp(tmpl);
        link = sim::MakeSimLink(clock, {});
        dialog.Session().port.SetDeviceFactory(
            [this](OpenError*) { return std::make_unique<VirtualLineHandle>(link.line); });
        dialog.SetObserver(&observer);
    }
    ~Window() { std::filesystem::remove_all(dir); }
    void Detect() {
        DetectionContext ctx{dialog.Session(), dialog, op};
        Detect11F(ctx);
        ASSERT_TRUE(dialog.Session().IsLinkUp());
    }

    VirtualClock clock;
    test::RecordingOperator op;
    sim::SimLink link;
    MainDialog dialog;
    CountingObserver observer;
    std::string dir;
};

TEST(MainDialogClock, TwelveHourTextWithMiddayAndMidnightAsAm) {
    EXPECT_EQ(MainDialog::ClockText(12, 5, 30), "12:05:30AM");
    EXPECT_EQ(MainDialog::ClockText(13, 5, 30), "01:05:30PM");
    EXPECT_EQ(MainDialog::ClockText(0, 0, 0), "00:00:00AM");
    EXPECT_EQ(MainDialog::ClockText(23, 59, 59), "11:59:59PM");
}

TEST(MainDialogStart, ReadsTheSettingsAndShowsThePanes) {
    Window w;
    {
        std::ofstream f(w.dir + "/QmtBslComDft.txt");
        f << "COM3$BAUD9600$CRYSTAL12.000000$$";
    }
    w.dialog.Initialise(ConfigStore(w.dir));
    EXPECT_TRUE(w.dialog.TimerRunning());
    EXPECT_EQ(w.dialog.Session().port.GetPortNumber(), 3);
    EXPECT_DOUBLE_EQ(w.dialog.Session().crystalMHz, 12.0);
    w.dialog.Tick(9, 0, 1);
    EXPECT_EQ(w.dialog.ComPane(), "COM3");
    EXPECT_EQ(w.dialog.BaudPane(), "Baud Rate: 9600");
    EXPECT_EQ(w.dialog.DoubleClockPane(), "Double Clock OFF");
    EXPECT_EQ(w.dialog.ClockPane(), "09:00:01AM");
    EXPECT_EQ(w.dialog.Title(), "QMT Tessel11F Boot-Strap Loader (Fw: v1.1F) ");
    EXPECT_EQ(w.dialog.SecurityLine(), "SECURITY: UNKNOWN");
    EXPECT_GT(w.observer.counts[Change::Panes], 0);

    // A named port comes back at the next start; choosing a COM entry forgets the name.
    ConfigStore store(w.dir);
    ASSERT_TRUE(store.WritePortName("/dev/ttyUSB1"));
    MainDialog named(&w.op, w.clock);
    named.Initialise(store);
    EXPECT_EQ(named.Session().port.GetPortName(), "/dev/ttyUSB1");
    EXPECT_EQ(named.ComPane(), "/dev/ttyUSB1");
    EXPECT_EQ(named.BaudPane(), "Baud Rate: 9600");
    ASSERT_TRUE(store.WritePortName(""));
    MainDialog again(&w.op, w.clock);
    again.Initialise(store);
    EXPECT_EQ(again.ComPane(), "COM3");
}

TEST(MainDialogKeepAlive, QuietDuringALongOperationAndASilentTargetIsNoticedAtTheNextTenthSecond) {
    Window w;
    w.dialog.Initialise(ConfigStore(w.dir));
    w.Detect();
    uint64_t before = w.link.board->BytesReceived();
    w.dialog.Session().flags.longOperation = true;
    for (int s = 0; s < 60; ++s) w.dialog.Tick(10, 1, s);
    EXPECT_EQ(w.link.board->BytesReceived(), before) << "quiet during a long operation";
    w.dialog.Session().flags.longOperation = false;

    w.dialog.Tick(10, 0, 10);
    EXPECT_TRUE(w.dialog.Session().IsLinkUp()) << "the echo came back";
    EXPECT_EQ(w.link.board->BytesReceived(), before + 1);
    sim::Faults f;
    f.silentFromByte = 1;
    w.link.board->SetFaults(f);
    for (int s = 11; s < 20; ++s) w.dialog.Tick(10, 0, s);
    EXPECT_TRUE(w.dialog.Session().IsLinkUp()) << "only seconds that are a multiple of ten probe";
    w.dialog.Tick(10, 0, 20);
    EXPECT_FALSE(w.dialog.Session().IsLinkUp());
    EXPECT_TRUE(w.dialog.Field(ChipField::ChipType).empty());
    EXPECT_EQ(w.dialog.SecurityLine(), "SECURITY : UNKNOWN");
    const std::string timeout =
        "A timeout error detected and resets the host Application.\nPlease re-detect the Chiptype.";
    EXPECT_EQ(std::count(w.op.messages.begin(), w.op.messages.end(), timeout), 1);
    w.dialog.Tick(10, 0, 30);
    EXPECT_EQ(std::count(w.op.messages.begin(), w.op.messages.end(), timeout), 1) << "no probe once the link is down";
}

TEST(MainDialogRouting, OnlyRegisteredIdsAct) {
    Window w;
    int reads = 0;
    w.dialog.RegisterHandler(command::kRead, [&] { ++reads; });
    EXPECT_TRUE(w.dialog.Route(command::kRead));
    EXPECT_FALSE(w.dialog.Route(command::kToolbarLast));
    EXPECT_FALSE(w.dialog.HasHandler(command::kNoAction1));
    EXPECT_EQ(reads, 1);
}

TEST(MainDialogProgress, LabelMovesTheBarByItsWidthAndFourBlanks) {
    EXPECT_EQ(MainDialog::ProgressBarLeft(100, 400, 42, 4), 100 + 42 + 16);
    EXPECT_EQ(MainDialog::ProgressBarLeft(100, 400, 0, 4), 100);
    EXPECT_EQ(MainDialog::ProgressBarLeft(100, 120, 42, 4), 120) << "never past the pane";
    Window w;
    w.dialog.setProgressRange(4);
    w.dialog.stepProgress();
    w.dialog.stepProgress();
    EXPECT_EQ(w.dialog.ProgressPosition(), 2);
    EXPECT_TRUE(w.dialog.ProgressVisible());
    w.dialog.resetProgress();
    EXPECT_EQ(w.dialog.ProgressPosition(), 0);
}

}  // namespace
}  // namespace tessel
