#include <gtest/gtest.h>

#include <algorithm>

#include "firmware/Firmware.h"
#include "support/FlashRig.h"

namespace tessel {
namespace {

using namespace test;

// The new loader, as a binary for block 1's first sector: the A models' loader area is
// 0xF000 to 0xF3FF.
struct Upgrade {
    explicit Upgrade(FlashRig& r, const std::string& password = "") : r(r) {
        code = Pattern(32768, 3);
        r.board().SetBlock(0, code);
        EXPECT_TRUE(r.Detect());
        loader = Pattern(1024, 0x40);
        r.file = r.WriteFile("loader.bin", loader);
        r.block = 1;
        r.startSector = 0;
        r.passwords = {password};
        r.op.answers = {true};
        mark = r.board().CommandLog().size();
    }
    // The A models' password sector, 0xF040 to 0xF07F, lies inside the loader's area and is
    // rewritten after the loader.
    static std::vector<uint8_t> WithoutPasswordSector(std::vector<uint8_t> area) {
        area.erase(area.begin() + 0x40, area.begin() + 0x80);
        return area;
    }
    std::vector<uint8_t> LoaderArea() {
        const std::vector<uint8_t> b1 = r.Block(1);
        return {b1.begin(), b1.begin() + 1024};
    }
    FlashRig& r;
    std::vector<uint8_t> code, loader;
    size_t mark = 0;
};

// A cancelled download leaves the old loader and block 0 as they were; then the upgrade runs.
TEST(UpgradeInternalBsl, WritesTheNewLoaderKeepsBlock0AndAnEmptyPasswordStaysEmpty) {
    FlashRig r(BoardOf(2, 0, ""));
    Upgrade u(r);
    const std::vector<uint8_t> before = u.LoaderArea();
    r.cancelDialog = "DownloadDialog";
    EXPECT_FALSE(r.Run(command::kUpgradeInternalBsl));
    EXPECT_TRUE(r.Said("Upgrade BSL is cancelled!"));
    EXPECT_EQ(r.window.Field(ChipField::IapStatus).rfind("rc=", 0), std::string::npos) << "no rc line for a cancel";
    EXPECT_EQ(Upgrade::WithoutPasswordSector(u.LoaderArea()), Upgrade::WithoutPasswordSector(before));
    EXPECT_EQ(r.Block(0), u.code);
    EXPECT_EQ(r.board().CurrentMode(), sim::Mode::Loader) << "control is back with the loader";

    r.cancelDialog.clear();
    r.passwords = {""};
    r.op.answers = {true};
    EXPECT_TRUE(r.Run(command::kUpgradeInternalBsl));
    EXPECT_TRUE(r.Said("Upgrade BSL Succeed!"));
    EXPECT_EQ(r.window.Field(ChipField::IapStatus), "Upgrade BSL Succeed!");
    const std::vector<uint8_t> area = u.LoaderArea();
    EXPECT_EQ(Upgrade::WithoutPasswordSector(area), Upgrade::WithoutPasswordSector(u.loader));
    EXPECT_TRUE(std::all_of(area.begin() + 0x40, area.begin() + 0x80, [](uint8_t b) { return b == 0xFF; }))
        << "an empty password leaves its sector erased";
    EXPECT_EQ(r.Block(0), u.code) << "block 0 put back";
    EXPECT_TRUE(r.Backups().empty());
    EXPECT_EQ(CountFrames(r.LastCommands(), "07"), 0u) << "no password to write back";
    EXPECT_EQ(r.board().Password(), "");
    EXPECT_FALSE(r.session().flags.longOperation.load());
    EXPECT_FALSE(r.session().bslUpgradeMode);
}

// A loader-area erase that fails is tried again over the same area only: on an H/L chip the
// sectors after its 9-sector loader area hold block 1 code that the new loader does not replace.
TEST(UpgradeInternalBsl, ARetriedLoaderEraseStaysInsideTheLoaderArea) {
    FlashRig r(BoardOf(5, 0, ""));
    std::vector<uint8_t> block1 = r.Block(1);
    const std::vector<uint8_t> beyond = Pattern(0x600 - 0x480, 9);
    std::copy(beyond.begin(), beyond.end(), block1.begin() + 0x480);
    r.board().SetBlock(1, block1);
    Upgrade u(r);
    r.board().SetFaults({.refuseCommand = 0x0B, .refuseAt = 0xE000, .refuseTimes = 1});
    EXPECT_TRUE(r.Run(command::kUpgradeInternalBsl));
    EXPECT_TRUE(r.Said("Upgrade BSL Succeed!"));
    // The H/L chips keep the password in the area's second sector, which is written after.
    std::vector<uint8_t> area = u.LoaderArea(), loader = u.loader;
    for (auto* v : {&area, &loader}) v->erase(v->begin() + 0x80, v->begin() + 0x100);
    EXPECT_EQ(area, loader);
    const std::vector<uint8_t> after = r.Block(1);
    EXPECT_TRUE(std::equal(beyond.begin(), beyond.end(), after.begin() + 0x480)) << "block 1 code past the loader";
}

// The password given at the gate survives the upgrade. Two boards in one process, each with its
// own password: the one written back is the one given to this board's gate, even when another
// board's gate was passed in between.
TEST(UpgradeInternalBsl, WritesBackItsOwnBoardsPasswordNotAnotherSessions) {
    FlashRig a(BoardOf(1, 0, "board-a"));
    Upgrade ua(a, "board-a");
    ASSERT_TRUE(a.Run(command::kRead)) << "the gate is passed with A's password";
    FlashRig b(BoardOf(1, 0, "board-b"));
    Upgrade ub(b, "board-b");
    ASSERT_TRUE(b.Run(command::kRead));
    EXPECT_TRUE(a.Run(command::kUpgradeInternalBsl));
    a.Settle();
    EXPECT_EQ(a.board().Password(), "board-a");
    EXPECT_EQ(CountFrames(a.CommandsSince(ua.mark), "07"), 1u);
    EXPECT_EQ(b.board().Password(), "board-b");
}

TEST(UpgradeInternalBsl, AFailedLoaderWriteIsNamedInTheStepCodes) {
    FlashRig r(BoardOf(2, 0, ""));
    Upgrade u(r);
    r.board().SetFaults({.refuseCommand = 0x0B});  // no erase is ever confirmed: the stub cannot even be placed
    EXPECT_FALSE(r.Run(command::kUpgradeInternalBsl));
    EXPECT_TRUE(r.Said("Upgrade Bootstrap Loader Failed!"));
    const std::string status = r.window.Field(ChipField::IapStatus);
    EXPECT_EQ(status.substr(0, 12), "rc=0,0,-1,-1") << status;
    EXPECT_EQ(status.substr(status.size() - 9), ". Failed!") << status;
    EXPECT_EQ(CountFrames(r.CommandsSince(u.mark), "03"), 0u) << "no jump into a stub that is not there";
    EXPECT_TRUE(r.session().flags.errorReported.load());
}

TEST(UpgradeExternalBsl, NeedsTheLowWindowAndReplacesAnOlderLoaderKeepingTheRestOfItsSector) {
    // Outside the low window it is refused (a row of the handlers' refusal table).
    FlashRig r(BoardOf(3, 0, ""));
    ASSERT_TRUE(r.Detect());
    // An older loader, and data of the operator's behind it in the same sector.
    std::vector<uint8_t> ext = r.board().External();
    std::fill(ext.begin(), ext.begin() + 1152, uint8_t{0x00});
    std::fill(ext.begin() + 2000, ext.begin() + 2100, uint8_t{0x77});
    r.board().SetExternal(ext);
    ASSERT_TRUE(r.Run(command::kExternalLow));
    EXPECT_TRUE(r.Run(command::kUpgradeExternalBsl));
    EXPECT_EQ(r.window.Field(ChipField::IapStatus), "Upgrade External BSL Succeed!");
    r.Settle();
    const std::vector<uint8_t> now = r.board().External();
    const FirmwareImage& xbsl = Firmware(FirmwareId::ExternalBsl);
    EXPECT_TRUE(std::equal(xbsl.data, xbsl.data + xbsl.size, now.begin()));
    EXPECT_TRUE(std::equal(ext.begin() + 1152, ext.begin() + 4096, now.begin() + 1152));
    EXPECT_TRUE(r.Backups().empty());
}

}  // namespace
}  // namespace tessel
