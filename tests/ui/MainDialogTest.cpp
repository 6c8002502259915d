#include <gtest/gtest.h>

#include <map>

#include "support/FlashRig.h"

namespace tessel {
namespace {

struct CountingObserver : MainDialogObserver {
    void OnChanged(Change what) override { ++counts[what]; }
    std::map<Change, int> counts;
};

using test::FlashRig;

TEST(MainDialogStart, ReadsTheSettingsAndShowsThePanesWithATwelveHourClock) {
    EXPECT_EQ(MainDialog::ClockText(12, 5, 30), "12:05:30AM");
    EXPECT_EQ(MainDialog::ClockText(13, 5, 30), "01:05:30PM");
    EXPECT_EQ(MainDialog::ClockText(0, 0, 0), "00:00:00AM");

    // The panes at start, from the settings read.
    CountingObserver observer;
    FlashRig w;
    w.window.SetObserver(&observer);
    w.WriteFile("QmtBslComDft.txt", std::string("COM3$BAUD9600$CRYSTAL12.000000$$"));
    w.window.Initialise(ConfigStore(w.dir));
    EXPECT_TRUE(w.window.TimerRunning());
    EXPECT_EQ(w.window.Session().port.GetPortNumber(), 3);
    EXPECT_DOUBLE_EQ(w.window.Session().crystalMHz, 12.0);
    w.window.Tick(9, 0, 1);
    EXPECT_EQ(w.window.ComPane(), "COM3");
    EXPECT_EQ(w.window.BaudPane(), "Baud Rate: 9600");
    EXPECT_EQ(w.window.ClockPane(), "09:00:01AM");
    EXPECT_EQ(w.window.Title(), "QMT Tessel11F Boot-Strap Loader (Fw: v1.1F) ");
    EXPECT_EQ(w.window.SecurityLine(), "SECURITY: UNKNOWN");
    EXPECT_GT(observer.counts[Change::Panes], 0);

    // A named port comes back at the next start; choosing a COM entry forgets the name.
    ConfigStore store(w.dir);
    ASSERT_TRUE(store.WritePortName("/dev/ttyUSB1"));
    MainDialog named(&w.op, w.clock);
    named.Initialise(store);
    EXPECT_EQ(named.ComPane(), "/dev/ttyUSB1");
    ASSERT_TRUE(store.WritePortName(""));
    MainDialog again(&w.op, w.clock);
    again.Initialise(store);
    EXPECT_EQ(again.ComPane(), "COM3");
}

TEST(MainDialogKeepAlive, QuietDuringALongOperationAndASilentTargetIsNoticedAtTheNextTenthSecond) {
    FlashRig w;
    w.window.Initialise(ConfigStore(w.dir));
    ASSERT_TRUE(w.Detect());
    uint64_t before = w.board().BytesReceived();
    w.window.Session().flags.longOperation = true;
    for (int s = 0; s < 60; ++s) w.window.Tick(10, 1, s);
    EXPECT_EQ(w.board().BytesReceived(), before) << "quiet during a long operation";
    w.window.Session().flags.longOperation = false;

    w.window.Tick(10, 0, 10);
    EXPECT_TRUE(w.window.Session().IsLinkUp()) << "the echo came back";
    EXPECT_EQ(w.board().BytesReceived(), before + 1);
    w.board().SetFaults({.silentFromByte = 1});
    for (int s = 11; s < 20; ++s) w.window.Tick(10, 0, s);
    EXPECT_TRUE(w.window.Session().IsLinkUp()) << "only seconds that are a multiple of ten probe";
    w.window.Tick(10, 0, 20);
    EXPECT_FALSE(w.window.Session().IsLinkUp());
    EXPECT_TRUE(w.window.Field(ChipField::ChipType).empty());
    EXPECT_EQ(w.window.SecurityLine(), "SECURITY : UNKNOWN");
    const std::string timeout =
        "A timeout error detected and resets the host Application.\nPlease re-detect the Chiptype.";
    EXPECT_EQ(std::count(w.op.messages.begin(), w.op.messages.end(), timeout), 1);
    w.window.Tick(10, 0, 30);
    EXPECT_EQ(std::count(w.op.messages.begin(), w.op.messages.end(), timeout), 1) << "no probe once the link is down";
}

TEST(MainDialogProgress, LabelMovesTheBarByItsWidthAndFourBlanksAndOnlyRegisteredIdsAct) {
    EXPECT_EQ(MainDialog::ProgressBarLeft(100, 400, 42, 4), 100 + 42 + 16);
    EXPECT_EQ(MainDialog::ProgressBarLeft(100, 400, 0, 4), 100);
    EXPECT_EQ(MainDialog::ProgressBarLeft(100, 120, 42, 4), 120) << "never past the pane";
    FlashRig w;
    w.window.setProgressRange(4);
    w.window.stepProgress();
    w.window.stepProgress();
    EXPECT_EQ(w.window.ProgressPosition(), 2);
    EXPECT_TRUE(w.window.ProgressVisible());
    w.window.resetProgress();
    EXPECT_EQ(w.window.ProgressPosition(), 0);

    int reads = 0;
    w.window.RegisterHandler(command::kRead, [&] { ++reads; });
    EXPECT_TRUE(w.window.Route(command::kRead));
    EXPECT_FALSE(w.window.Route(command::kToolbarLast));
    EXPECT_FALSE(w.window.HasHandler(command::kNoAction1));
    EXPECT_EQ(reads, 1);
}

}  // namespace
}  // namespace tessel
