#include <gtest/gtest.h>

#include <algorithm>

#include "firmware/Firmware.h"
#include "support/FlashRig.h"
#include "commands/Commands.h"

namespace tessel {
namespace {

using namespace test;

// A detected board with the user's code in block 0, and a new loader of 1 KB for block 1's
// first sector (the A models' loader area is F000h to F3FFh) in a file.
struct Upgrade : DetectedRig {
    explicit Upgrade(sim::BoardConfig config) : DetectedRig(config), code(FillBlock(0, 3)), loader(Pattern(1024, 0x40)) {
        request.file = WriteFile("loader.bin", loader);
        request.block = 1;
    }
    using FlashRig::Run;
    CommandResult Run() {
        runMark = board().CommandLog().size();
        op.answers = {true};
        return UpgradeLoader(window, request);
    }
    // The first 1 KB of `area` without the password's sector from `at` on (its size), which is
    // rewritten after the loader.
    static std::vector<uint8_t> WithoutPassword(std::vector<uint8_t> area, long at = 0x40) {
        area.resize(1024);
        area.erase(area.begin() + at, area.begin() + 2 * at);
        return area;
    }
    std::vector<uint8_t> code, loader;
    ImageRequest request;
};

// A cancelled dialog leaves the old loader and block 0 as they were; then the upgrade runs.
TEST(UpgradeInternalBsl, WritesTheNewLoaderKeepsBlock0AndAnEmptyPasswordStaysEmpty) {
    Upgrade r(BoardOf(2));
    const std::vector<uint8_t> before = r.Block(1);
    r.cancelDialog = "DownloadDialog";
    EXPECT_FALSE(r.Run(command::kUpgradeInternalBsl));
    EXPECT_TRUE(r.Said("Upgrade BSL is cancelled!"));
    EXPECT_EQ(Upgrade::WithoutPassword(r.Block(1)), Upgrade::WithoutPassword(before));
    EXPECT_EQ(r.Block(0), r.code);
    EXPECT_EQ(r.board().CurrentMode(), sim::Mode::Loader) << "control is back with the loader";

    EXPECT_TRUE(r.Run().Ok());
    EXPECT_TRUE(r.Said("Upgrade BSL Succeed!"));
    const std::vector<uint8_t> area = r.Block(1);
    EXPECT_EQ(Upgrade::WithoutPassword(area), Upgrade::WithoutPassword(r.loader));
    EXPECT_TRUE(Blank(area, 0x40, 0x80)) << "an empty password leaves its sector erased";
    EXPECT_EQ(r.Block(0), r.code) << "block 0 put back";
    EXPECT_TRUE(r.Backups().empty());
    EXPECT_EQ(CountFrames(r.LastCommands(), "07"), 0u) << "no password to write back";
    EXPECT_FALSE(r.session().flags.longOperation.load() || r.session().bslUpgradeMode);
}

// A loader-area erase that fails is tried again over the same area only: on an H/L chip the
// sectors after its 9-sector loader area hold block 1 code that the new loader does not replace.
TEST(UpgradeInternalBsl, ARetriedLoaderEraseStaysInsideTheLoaderArea) {
    Upgrade r(BoardOf(5));
    std::vector<uint8_t> block1 = r.Block(1);
    const std::vector<uint8_t> beyond = Pattern(0x600 - 0x480, 9);
    std::copy(beyond.begin(), beyond.end(), block1.begin() + 0x480);
    r.board().SetBlock(1, block1);
    r.board().SetFaults({.refuseCommand = 0x0B, .refuseAt = 0xE000, .refuseTimes = 1});
    EXPECT_TRUE(r.Run().Ok());
    // The H/L chips keep the password in the area's second sector.
    const std::vector<uint8_t> after = r.Block(1);
    EXPECT_EQ(Upgrade::WithoutPassword(after, 0x80), Upgrade::WithoutPassword(r.loader, 0x80));
    EXPECT_TRUE(std::equal(beyond.begin(), beyond.end(), after.begin() + 0x480)) << "block 1 code past the loader";
}

// The password given at the gate survives the upgrade. Two boards in one process, each with its
// own password: the one written back is the one given to this board's gate, even when another
// board's gate was passed in between.
TEST(UpgradeInternalBsl, WritesBackItsOwnBoardsPasswordNotAnotherSessions) {
    Upgrade a(BoardOf(1, 0, "board-a")), b(BoardOf(1, 0, "board-b"));
    a.passwords = {"board-a"};
    ASSERT_TRUE(a.Run(command::kRead)) << "the gate is passed with A's password";
    b.passwords = {"board-b"};
    ASSERT_TRUE(b.Run(command::kRead));
    EXPECT_TRUE(a.Run().Ok());
    EXPECT_EQ(CountFrames(a.LastCommands(), "07"), 1u);
    EXPECT_EQ(a.board().Password(), "board-a");
    EXPECT_EQ(b.board().Password(), "board-b");
}

TEST(UpgradeInternalBsl, AFailedLoaderWriteIsNamedInTheStepCodes) {
    Upgrade r(BoardOf(2));
    r.board().SetFaults({.refuseCommand = 0x0B});  // no erase is ever confirmed: the stub cannot even be placed
    EXPECT_FALSE(r.Run().Ok());
    EXPECT_TRUE(r.Said("Upgrade Bootstrap Loader Failed!"));
    const std::string status = r.window.Field(ChipField::IapStatus);
    EXPECT_TRUE(status.starts_with("rc=0,0,-1,-1") && status.ends_with(". Failed!")) << status;
    EXPECT_EQ(CountFrames(r.LastCommands(), "03"), 0u) << "no jump into a stub that is not there";
    EXPECT_TRUE(r.session().flags.errorReported.load());
}

TEST(UpgradeExternalBsl, NeedsTheLowWindowAndReplacesAnOlderLoaderKeepingTheRestOfItsSector) {
    // Outside the low window it is refused (HandlerRules.TheOtherCommandsRefuseInTheirOwnWordsAndSendNothing).
    DetectedRig r(BoardOf(3, 0, ""));
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
