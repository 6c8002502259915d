// The handlers ask the rule book before their first byte, a new boot loader is checked before
// the stub goes in, and a HEX file with gaps leaves the flash in its gaps alone.

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "files/HexImage.h"
#include "support/FlashRig.h"
#include "commands/Commands.h"
#include "commands/FlashDialogs.h"
#include "commands/UpgradeCommands.h"

namespace tessel {
namespace {

using namespace test;

// Every command in every state of the six chips (both memory modes, the eight lock states):
// where the rule book says no, the window's handler refuses too, says which rule, asks nothing,
// opens no dialog or menu and sends nothing (not even the password gate's frame), so that the
// command line's check of a plan and the window never disagree.
TEST(HandlerRules, EveryCellTheRuleBookForbidsSendsNothing) {
    const int commands[] = {command::kRead,           command::kCompare,         command::kSave,
                            command::kDownload,       command::kSectorErase,     command::kRunUserCode,
                            command::kLockChip,       command::kMemoryRemap,     command::kDoubleClock,
                            command::kChipErase,      command::kEditBlock0,      command::kExecuteUserCode,
                            command::kChangePassword, command::kSetResetPassword, command::kUpgradeInternalBsl,
                            command::kDownloadMonitra, command::kExternalLow};
    // The button table's commands give the rule's own words, the others their handlers' messages.
    const std::set<int> ownMessages = {command::kEditBlock0,       command::kExecuteUserCode,
                                       command::kChangePassword,   command::kSetResetPassword,
                                       command::kUpgradeInternalBsl, command::kDownloadMonitra, command::kExternalLow};
    int forbidden = 0;
    for (int chip = 1; chip <= 6; ++chip)
        for (int mode : {kInternalMemory, kExternalMemory})
            for (int lock = 0; lock <= 0xE0; lock += 0x20) {
                DetectedRig r(BoardOf(chip, static_cast<uint8_t>(lock)), mode);
                r.file = r.WriteFile("p.bin", Pattern(128));
                r.menuOption = 1;
                r.entries = {{"", "new", "new"}};
                for (int id : commands) {
                    const RuleVerdict rule = r.window.CommandRule(id);
                    if (rule.allowed) continue;
                    ++forbidden;
                    const size_t said = r.op.messages.size(), dialogs = r.op.dialogs.size();
                    EXPECT_FALSE(r.RunYes(id, {true, true, true, true}));
                    EXPECT_EQ(r.op.dialogs.size(), dialogs) << "command " << id;
                    EXPECT_EQ(r.LastCommands(), std::vector<std::string>{})
                        << "command " << id << " chip " << chip << " mode " << mode << " lock " << lock;
                    EXPECT_TRUE(ownMessages.count(id) ? r.op.messages.size() > said : r.Said(rule.reason))
                        << rule.reason;
                }
                EXPECT_TRUE(r.op.questions.empty());
            }
    EXPECT_GT(forbidden, 500) << "the table must reach the refusals";
}

// The commands outside the button table refuse outside internal memory mode, on a chip whose
// blocks are hard-locked, or on a chip or in a state without what they need, in their handlers'
// own words, before any dialog or byte; the link stays up and no window opens.
TEST(HandlerRules, TheOtherCommandsRefuseInTheirOwnWordsAndSendNothing) {
    const struct { int command, chip, mode; uint8_t lock; const char* says; } rows[] = {
        {command::kChangePassword, 4, kExternalMemory, 0, "Password Change only works in internal memory mode!"},
        {command::kSetResetPassword, 4, kExternalMemory, 0, "Password Set/Reset only works in internal memory mode!"},
        {command::kSetResetPassword, 1, kInternalMemory, 0x80,
         "Password Set/Reset doesn't work if Block0 or Block1 is hardlocked!"},
        {command::kUpgradeInternalBsl, 3, kExternalMemory, 0, "Update BSL only works in internal memory mode!"},
        {command::kUpgradeInternalBsl, 2, kInternalMemory, 0x80,
         "Update BSL doesn't work if Block0 or Block1 is hardlocked!"},
        {command::kExecuteUserCode, 3, kExternalMemory, 0, "Run User Code only works in internal memory mode!"},
        {command::kDownloadMonitra, 3, kExternalMemory, 0, "Downloading Monitra only works in internal memory mode!"},
        {command::kDownloadMonitra, 2, kInternalMemory, 0x80,
         "Downloading Monitra doesn't work if Block0 or Block1 is hardlocked!"},
        {command::kExternalLow, 1, kInternalMemory, 0xA0, "External Flash can't be accessed if Block0 hard locked!"},
        {command::kDoubleClock, 1, kInternalMemory, 0, "This feature is for MCU H/L32B and H/L64D only!"},
        {command::kUpgradeExternalBsl, 3, kInternalMemory, 0,
         "Please enter into Low64K in internal memory mode for external BSL upgrade!"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.says);
        DetectedRig r(BoardOf(row.chip, row.lock), row.mode);
        r.entries = {{"", "a", "a"}};
        EXPECT_FALSE(r.RunYes(row.command));
        EXPECT_TRUE(r.Said(row.says));
        EXPECT_TRUE(r.op.dialogs.empty() && r.op.questions.empty()) << "asked before the refusal";
        EXPECT_EQ(r.LastCommands(), std::vector<std::string>{});
        EXPECT_TRUE(r.session().IsLinkUp() && !r.session().ExternalWindowOpen());
    }
}

TEST(HandlerRules, TheReturnFromAWindowHasItsOwnRowUntilTheNextDetection) {
    DetectedRig r(BoardOf(3, 0xE0));
    EXPECT_TRUE(r.window.ButtonEnabled(IapButton::Read));
    ASSERT_TRUE(r.Run(command::kExternalLow));
    // Inside the window Chip Erase would take the board's own loader.
    r.Settle();
    const std::vector<uint8_t> external = r.board().External();
    EXPECT_FALSE(r.window.ButtonEnabled(IapButton::ChipErase));
    EXPECT_FALSE(r.RunYes(command::kChipErase));
    EXPECT_TRUE(r.Said("Chip Erase is not available while an external-flash window is open (it would erase all "
                       "of the external flash, the board's boot loader included)"));
    EXPECT_TRUE(r.op.questions.empty());
    EXPECT_EQ(r.LastCommands(), std::vector<std::string>{});
    EXPECT_EQ(r.board().External(), external);
    ASSERT_TRUE(r.RunYes(command::kBackToMcu));
    EXPECT_FALSE(r.window.ButtonEnabled(IapButton::Read));
    EXPECT_TRUE(r.window.ButtonEnabled(IapButton::LockChip));
    EXPECT_FALSE(r.Run(command::kRead));
    // A refusal is something the operator can act on, not a failure.
    EXPECT_TRUE(r.Said("Read is not available on NX31H64D after the return from the external flash at lock status E0h",
                       MessageKind::Warning));
    EXPECT_TRUE(r.LastCommands().empty());
    // A detection puts the ordinary rules back, under which Read always runs.
    r.window.Route(command::kResetLink);
    ASSERT_TRUE(r.Detect());
    EXPECT_TRUE(r.window.ButtonEnabled(IapButton::Read));
    EXPECT_FALSE(r.session().backInMcuFlash);
}

// ---- The new boot loader ----

TEST(UpgradeInternalBslChecks, TheDialogOffersOnlyStartsThatCanCarryTheLoader) {
    const struct { int chip; size_t starts; const char* last; } cases[] = {
        {2, 3, "Addr=F080"}, {3, 6, "Addr=0280"}, {6, 6, "Addr=E280"}};
    for (const auto& c : cases) {
        DetectedRig r(BoardOf(c.chip));
        FileSectorDialog d(r.session(), FileSectorDialog::Kind::UpgradeBsl);
        ASSERT_EQ(d.sectors.size(), c.starts) << c.chip;
        EXPECT_EQ(d.sectors.front().rfind("B1 Str 000", 0), 0u) << d.sectors.front();
        EXPECT_NE(d.sectors.back().find(c.last), std::string::npos) << d.sectors.back();
    }
}

TEST(UpgradeInternalBslChecks, ALoaderThatCannotWorkIsRefusedWithNothingErased) {
    DetectedRig r(BoardOf(5));
    const std::vector<uint8_t> code = r.FillBlock(0, 9);
    const std::vector<uint8_t> loader = r.Block(1);
    r.block = 1;
    const struct { std::string name; std::vector<uint8_t> bytes; int startSector; const char* says; } cases[] = {
        {"short.bin", Pattern(0x100), 0, "does not cover the loader's entry address E2CAh"},
        {"long.bin", Pattern(0x481), 0, "1153 bytes from E000h run past the end of block 1's loader area, E000h to E47Fh on NX31H32B."},
        {"late.bin", Pattern(0x40), 5, "written from E280h it does not cover"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        r.file = r.WriteFile(c.name, c.bytes);
        r.startSector = c.startSector;
        EXPECT_FALSE(r.RunYes(command::kUpgradeInternalBsl));
        EXPECT_TRUE(r.LastSaid(c.says));
        EXPECT_TRUE(r.op.questions.empty()) << "refused before the question";
        for (const std::string& frame : r.LastCommands())
            EXPECT_EQ(frame.rfind("08", 0), 0u) << "only the password gate's frame, not " << frame;
        EXPECT_EQ(r.Block(0), code);
        EXPECT_EQ(r.Block(1), loader);
        EXPECT_EQ(r.window.Field(ChipField::IapStatus), "Upgrade BSL refused: nothing was erased.");
    }
    // A HEX loader with a gap over the entry address does not cover it either.
    LoadedImage image{"x.bin", Pattern(0x300), std::vector<bool>(0x300, true)};
    image.defined[0x2CA] = false;
    EXPECT_NE(CheckNewLoader(r.session(), 1, 0xE000, image).find("entry address E2CAh"), std::string::npos);
}

// ---- HEX files with gaps ----

TEST(SparseImages, OnlyTheSectorsHoldingARecordAreErasedProgrammedAndCompared) {
    DetectedRig r(BoardOf(2));
    const std::vector<uint8_t> code = r.FillBlock(0, 5);
    // Three bytes at 0100h and a table over the first half of the sector at 1000h; everything
    // between is a gap, and so is the rest of that sector after the file's last byte.
    const std::vector<uint8_t> small = {0xA1, 0xA2, 0xA3};
    const std::vector<uint8_t> table(64, 0x5C);
    r.file = r.WriteFile("sparse.hex", HexOf({{0x0100, small}, {0x1000, table}}));
    ASSERT_TRUE(r.Download(r.file).Ok());
    const std::vector<std::string> log = r.LastCommands();
    EXPECT_EQ(CountFrames(log, "0B"), 2u) << "sector 2 (0100h) and sector 32 (1000h) only";
    EXPECT_EQ(CountFrames(log, "0B 01 00"), 1u);
    EXPECT_EQ(CountFrames(log, "0B 10 00"), 1u);
    EXPECT_EQ(r.window.ProgressRange(), 2) << "the bar counts the sectors touched";
    // From the first byte the file gives to its last.
    EXPECT_EQ(r.window.Result(), "downloaded sparse.hex: 67 bytes in 2 sectors at 0100h-103Fh, verified");

    // The sectors the file touches were read first: their other bytes are written back.
    std::vector<uint8_t> want = code;
    std::copy(small.begin(), small.end(), want.begin() + 0x100);
    std::copy(table.begin(), table.end(), want.begin() + 0x1000);
    EXPECT_EQ(r.Block(0), want);

    // The compare looks at the bytes the file gives and nowhere else.
    EXPECT_TRUE(r.Run(command::kCompare));
    EXPECT_EQ(r.window.Result(), "compare: sparse.hex matches the flash, 67 bytes at 0100h-103Fh");
    std::vector<uint8_t> changed = r.Block(0);
    changed[0x1020] ^= 0xFF;
    r.board().SetBlock(0, changed);
    EXPECT_FALSE(r.Run(command::kCompare));
    EXPECT_EQ(r.window.Field(ChipField::IapStatus).rfind("Unmatched data at memory address 1020h", 0), 0u)
        << r.window.Field(ChipField::IapStatus);
}

// An H/L32B image that runs on into block 1 in external memory mode: one that reaches the
// loader's sectors is refused whole, before anything is erased, as no stub stands between them;
// a HEX tail past them goes through and compares.
TEST(SparseImages, ExternalMemoryModeComparesWhatItsDownloadAcceptedAndKeepsOffTheLoader) {
    DetectedRig r(BoardOf(5), kExternalMemory);
    const std::vector<uint8_t> loader = r.Block(1), block0 = r.Block(0);
    // Erased cells up to a dense tail at E000h.
    std::vector<uint8_t> dense(0xE000 + 0x100, 0xFF);
    std::fill(dense.begin() + 0xE000, dense.end(), uint8_t{0x34});
    r.file = r.WriteFile("full.bin", dense);
    // Refused before any byte changed: no erase and no stub, both blocks as they were.
    EXPECT_FALSE(r.RunYes(command::kDownload));
    EXPECT_TRUE(r.Said("The boot loader's own sectors are never erased or written: this would reach E000h-E47Fh, "
                       "the boot loader's own area in block 1. Nothing was changed."));
    EXPECT_EQ(CountFrames(r.board().CommandLog(), "0B"), 0u);
    EXPECT_EQ(CountFrames(r.board().CommandLog(), "03 20 27"), 0u) << "no stub in external memory mode";
    EXPECT_EQ(r.Block(0), block0);
    EXPECT_EQ(r.Block(1), loader);

    r.file = r.WriteFile("tail.hex", HexOf({{0x0000, std::vector<uint8_t>(0x80, 0x12)},
                                             {0xE480, std::vector<uint8_t>(0x100, 0x34)}}));
    ASSERT_TRUE(r.Download(r.file).Ok());
    EXPECT_TRUE(r.Run(command::kCompare)) << r.window.Field(ChipField::IapStatus);
    const std::vector<uint8_t> b1 = r.Block(1);
    EXPECT_TRUE(std::equal(loader.begin(), loader.begin() + 0x480, b1.begin())) << "the loader kept";
    EXPECT_TRUE(std::all_of(b1.begin() + 0x480, b1.begin() + 0x580, [](uint8_t x) { return x == 0x34; }));
    // An erase of block 1's first sectors in external memory mode is refused before its question.
    r.block = 1;
    r.count = 1;
    const size_t asked = r.op.questions.size();
    EXPECT_FALSE(r.RunYes(command::kSectorErase));
    EXPECT_EQ(r.op.questions.size(), asked);
    EXPECT_EQ(r.LastCommands(), std::vector<std::string>{});
}

}  // namespace
}  // namespace tessel
