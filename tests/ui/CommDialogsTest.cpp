#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "device/CDeviceSession.h"
#include "files/ConfigStore.h"
#include "support/RecordingOperator.h"
#include "ui/CommDialogs.h"

namespace tessel {
namespace {

// A session, a settings folder of its own and the dialog `D` on them.
template <typename D>
struct DialogRig {
    DialogRig() : session(&op), store(Dir()), dialog(session, store, op) {}
    ~DialogRig() { std::filesystem::remove_all(store.Folder()); }
    static std::string Dir() {
        char tmpl[] = "/tmp/tessel-dlg-XXXXXX";
        return mkdtemp(tmpl);
    }
    test::RecordingOperator op;
    CDeviceSession session;
    ConfigStore store;
    D dialog;
};
using CommRig = DialogRig<CommSetupDialog>;
using ExtRig = DialogRig<ExtMemCommDialog>;

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

TEST(CommSetupDialog, RefusesARateAboveTheBestAndKeepsTheDialogOpen) {
    CommRig s;
    s.dialog.FirstExchange();
    s.dialog.crystal = 1.0;
    s.dialog.rateSelection = 0;  // 38400
    EXPECT_EQ(s.dialog.OnOK(), OkOutcome::KeepOpen);
    EXPECT_EQ(s.op.messages.back(), "You can't choose a baudrate which is higher than the computed best baudrate!\n");
    EXPECT_EQ(s.dialog.rateSelection, 4) << "2400 reselected";
    EXPECT_FALSE(std::filesystem::exists(s.store.SettingsFilePath()));
    EXPECT_DOUBLE_EQ(s.session.crystalMHz, 1.0) << "the port, crystal and rate stay set";
    // At 12 MHz 38400 is the best rate itself and is accepted; the settings are written and
    // read back at the next start.
    s.dialog.crystal = 12.0;
    s.dialog.portSelection = 2;
    s.dialog.rateSelection = 0;
    EXPECT_EQ(s.dialog.OnOK(), OkOutcome::CloseOk);
    EXPECT_EQ(s.store.ReadRegistryValue("COMMPORT"), "3");
    EXPECT_EQ(s.store.ReadRegistryValue("BAUDRATE"), "38400");
    CommSettings read;
    ASSERT_TRUE(s.store.ReadStartupSettings(read));
    EXPECT_EQ(read.portNumber, 3);
    EXPECT_EQ(read.baudRate, 38400u);
    EXPECT_DOUBLE_EQ(read.crystalMHz, 12.0);

    // 115200, listed for 11.0592 MHz, is refused once the crystal no longer makes it, and
    // taken and stored as it is while it does.
    CommRig fast;
    fast.dialog.FirstExchange();
    fast.dialog.rateSelection = fast.dialog.PositionOf(115200);
    fast.dialog.crystal = 12.0;
    EXPECT_EQ(fast.dialog.OnOK(), OkOutcome::KeepOpen);
    EXPECT_EQ(fast.dialog.rateSelection, 0);
    fast.dialog.crystal = 11.0592;
    fast.dialog.rateSelection = fast.dialog.PositionOf(115200);
    EXPECT_EQ(fast.dialog.OnOK(), OkOutcome::CloseOk);
    EXPECT_EQ(fast.session.port.GetBaudRate(), 115200u);
    EXPECT_EQ(fast.store.ReadRegistryValue("BAUDRATE"), "115200");
    ASSERT_TRUE(fast.store.ReadStartupSettings(read));
    EXPECT_EQ(read.baudRate, 115200u);
}

TEST(CommSetupDialog, ALinkedChipClosesAsCancelWithoutWriting) {
    CommRig s;
    s.dialog.FirstExchange();
    s.session.port.SetLinkUp();
    EXPECT_EQ(s.dialog.OnOK(), OkOutcome::CloseCancel);
    EXPECT_EQ(s.op.messages.back(), "ChipType had been detected earlier.");
    EXPECT_FALSE(s.store.ReadRegistryValue("COMMPORT").has_value());
}

TEST(ExtMemCommDialog, ComputeAndReplaceLeaveTheChoiceToTheOperatorAndOkStoresPortAndRateOnly) {
    ExtRig s;
    s.session.port.SetBaudRate(19200);
    s.session.crystalMHz = 12.0;
    s.dialog.FirstExchange();
    EXPECT_EQ(s.dialog.rateSelection, 1) << "the session's rate";
    EXPECT_DOUBLE_EQ(s.dialog.crystal, 11.0592) << "the session crystal is not read";
    s.dialog.crystal = 1.0;
    s.dialog.OnCompute();
    EXPECT_EQ(s.dialog.bestRate, 2400u);
    EXPECT_EQ(s.dialog.bestReload, 65523);
    EXPECT_EQ(s.dialog.rateSelection, 1) << "Compute alone selects nothing";
    s.dialog.OnReplace();
    EXPECT_EQ(s.dialog.rateSelection, 4);
    s.dialog.bestRate = 300;
    s.dialog.OnReplace();
    EXPECT_EQ(s.dialog.rateSelection, 4) << "a rate the list cannot show changes nothing";

    // OK stores the port and the rate but not the crystal, and needs no best rate.
    s.dialog.FirstExchange({"/dev/ttyUSB0"});
    s.dialog.crystal = 1.0;
    s.dialog.rateSelection = 0;  // faster than 1 MHz can make: this dialog does not refuse it
    s.dialog.portSelection = 256;
    s.session.port.SetLinkUp();
    EXPECT_EQ(s.dialog.OnOK(), OkOutcome::CloseOk);
    EXPECT_EQ(s.session.port.GetBaudRate(), 38400u);
    EXPECT_EQ(s.session.port.GetPortName(), "/dev/ttyUSB0");
    EXPECT_DOUBLE_EQ(s.session.crystalMHz, 12.0) << "the session's crystal as it was";
    EXPECT_EQ(s.store.ReadRegistryValue("BAUDRATE"), "38400");
    EXPECT_EQ(s.store.ReadPortName(), "/dev/ttyUSB0");
    std::ifstream settings(s.store.SettingsFilePath());
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(settings), {}), "COM1 BAUD38400 $$")
        << "the short form, which the next start ignores";
    // Out of range crystal: the field check keeps the dialog open and writes nothing more.
    s.dialog.crystal = 0.5;
    s.dialog.rateSelection = 2;
    EXPECT_EQ(s.dialog.OnOK(), OkOutcome::KeepOpen);
    EXPECT_EQ(s.store.ReadRegistryValue("BAUDRATE"), "38400");
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
