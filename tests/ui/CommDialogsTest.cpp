#include <gtest/gtest.h>

#include "device/CDeviceSession.h"
#include "files/ConfigStore.h"
#include "support/RecordingOperator.h"
#include "ui/CommDialogs.h"

namespace tessel {
namespace {

// What the RS232 dialog opens with, beyond what the window's dialog test sees: the models' own
// lists. The refusals and what OK stores are walked through the real dialogs there.
struct CommRig {
    CommRig() : session(&op), dialog(session, store, op) {}
    test::RecordingOperator op;
    CDeviceSession session;
    ConfigStore store = ConfigStore::Discarding();
    CommSetupDialog dialog;
};

TEST(CommSetupDialog, OpensWithTheSavedPortAndTheBestRateForTheSessionCrystal) {
    CommRig s;
    s.session.port.SetPortNumber(4);
    s.session.port.SetBaudRate(1200);
    s.session.crystalMHz = 12.0;
    s.dialog.FirstExchange({"sim:NX31A32"});
    EXPECT_EQ(s.dialog.ports.size(), 257u);
    EXPECT_EQ(s.dialog.ports[0], "COM1");
    EXPECT_EQ(s.dialog.portSelection, 3);
    EXPECT_EQ(s.dialog.recommendedRate, 38400u) << "not the session's last rate";
    EXPECT_EQ(s.dialog.reloadText, "FFF6");
    EXPECT_EQ(s.dialog.rateSelection, 0);
    EXPECT_EQ(s.dialog.rates.size(), 7u) << "12 MHz makes neither rate beyond the list";
    s.session.crystalMHz = 0.0;
    s.dialog.FirstExchange();
    EXPECT_DOUBLE_EQ(s.dialog.crystal, 11.0592);
    // 11.0592 MHz makes both exactly: they follow the documented rates, marked as beyond them.
    ASSERT_EQ(s.dialog.rates.size(), 9u);
    EXPECT_EQ(s.dialog.rates[6], "600");
    EXPECT_EQ(s.dialog.rates[7], "57600 (beyond the loader's documented list)");
    EXPECT_EQ(s.dialog.rates[8], "115200 (beyond the loader's documented list)");
    EXPECT_EQ(s.dialog.RateAt(8), 115200u);
    EXPECT_EQ(s.dialog.PositionOf(57600), 7);
    EXPECT_EQ(s.dialog.rateSelection, 0) << "the recommendation stays the best documented rate";
}

TEST(ChipSelectDialog, BothChoicesNeededAndTheyBecomeTheSession) {
    CDeviceSession session(nullptr);
    ChipSelectDialog d(session);
    d.chipType = 4;
    d.memoryMode = 0;
    EXPECT_FALSE(d.OnOK());
    EXPECT_EQ(session.chipType, 2);
    d.memoryMode = 2;
    EXPECT_TRUE(d.OnOK());
    EXPECT_EQ(session.chipType, 4);
    EXPECT_EQ(session.memoryMode, 2);
    EXPECT_EQ(session.BlockSize(0), 65536);
}

}  // namespace
}  // namespace tessel
