// The handlers ask the rule book before their first byte, a new boot loader is checked before
// the stub goes in, and a HEX file with gaps leaves the flash in its gaps alone.

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "device/CommandChecks.h"
#include "files/HexImage.h"
#include "support/FlashRig.h"
#include "ui/CommandApi.h"
#include "ui/FlashDialogs.h"
#include "ui/UpgradeCommands.h"

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
                FlashRig r(BoardOf(chip, static_cast<uint8_t>(lock)), mode);
                ASSERT_TRUE(r.Detect());
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
    const struct {
        int command, chip, mode;
        uint8_t lock;
        const char* says;
    } rows[] = {
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
        {command::kDownloadMonitra, 5, kInternalMemory, 0xC0,
         "Downloading Monitra doesn't work if Block0 or Block1 is hardlocked!"},
        {command::kExternalLow, 1, kInternalMemory, 0xA0, "External Flash can't be accessed if Block0 hard locked!"},
        {command::kDoubleClock, 1, kInternalMemory, 0, "This feature is for MCU H/L32B and H/L64D only!"},
        {command::kUpgradeExternalBsl, 3, kInternalMemory, 0,
         "Please enter into Low64K in internal memory mode for external BSL upgrade!"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.says);
        FlashRig r(BoardOf(row.chip, row.lock), row.mode);
        ASSERT_TRUE(r.Detect());
        r.entries = {{"", "a", "a"}};
        EXPECT_FALSE(r.RunYes(row.command));
        EXPECT_TRUE(r.Said(row.says));
        EXPECT_TRUE(r.op.dialogs.empty()) << r.op.dialogs.front();
        EXPECT_TRUE(r.op.questions.empty());
        EXPECT_EQ(r.LastCommands(), std::vector<std::string>{});
        EXPECT_TRUE(r.session().IsLinkUp());
        EXPECT_FALSE(r.session().ExternalWindowOpen());
    }
}

TEST(HandlerRules, TheReturnFromAWindowHasItsOwnRowUntilTheNextDetection) {
    FlashRig r(BoardOf(3, 0xE0));
    ASSERT_TRUE(r.Detect());
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
    EXPECT_TRUE(r.Said("Read is not available on NX31H64D after the return from the external flash at lock status E0h"));
    EXPECT_TRUE(r.LastCommands().empty());
    // A detection puts the ordinary rules back, under which Read always runs.
    r.window.Route(command::kResetLink);
    ASSERT_TRUE(r.Detect());
    EXPECT_TRUE(r.window.ButtonEnabled(IapButton::Read));
    EXPECT_FALSE(r.session().backInMcuFlash);
}

// Buttons and handlers are two readings of one table: in every state they agree.
TEST(RuleBook, TheButtonsAndTheHandlerChecksAgreeInEveryState) {
    const std::pair<RuledCommand, bool CommandAvailability::*> columns[] = {
        {RuledCommand::Read, &CommandAvailability::read},
        {RuledCommand::Download, &CommandAvailability::download},
        {RuledCommand::SectorErase, &CommandAvailability::sectorErase},
        {RuledCommand::RunUserCode, &CommandAvailability::runUserCode},
        {RuledCommand::LockChip, &CommandAvailability::lockChip},
        {RuledCommand::MemoryRemap, &CommandAvailability::memoryRemap},
        {RuledCommand::ChipErase, &CommandAvailability::chipErase},
    };
    for (int chip = 0; chip <= 6; ++chip)
        for (int mode : {kInternalMemory, kExternalMemory})
            for (int lock = 0; lock <= 0xE0; lock += 0x20)
                for (const char* fw : {"v1.1F", "v1.1E", "?????"})
                    for (auto window : {ExternalWindowState::None, ExternalWindowState::Open,
                                        ExternalWindowState::BackInMcuFlash}) {
                        RuleState st{chip, mode, lock, fw, window, true, false};
                        const CommandAvailability a = ComputeAvailability(FamilyOf(chip), mode, lock, fw, window);
                        for (const auto& [command, field] : columns) {
                            const RuleVerdict v = CheckCommandRule(command, st);
                            ASSERT_EQ(v.allowed, a.*field)
                                << RuledCommandLabel(command) << " chip " << chip << " mode " << mode << " lock "
                                << lock << " " << fw << " window " << static_cast<int>(window);
                            ASSERT_EQ(v.reason.empty(), v.allowed) << v.reason;
                        }
                    }
}

TEST(RuleBook, TheLinkAndTheUsersCodeComeFirstAndTheReasonNamesTheRule) {
    RuleState st{2, kInternalMemory, 0, "v1.1F", ExternalWindowState::None, false, false};
    EXPECT_EQ(CheckCommandRule(RuledCommand::Read, st).reason, kNoTargetBoard);
    st.linkUp = true;
    st.userCodeRunning = true;
    EXPECT_EQ(CheckCommandRule(RuledCommand::Download, st).reason, kNoChipSelected);
    st.memoryMode = kExternalMemory;
    EXPECT_TRUE(CheckCommandRule(RuledCommand::ChipErase, st).allowed) << "Chip Erase looks at the link alone";
    st.userCodeRunning = false;
    st.memoryMode = kInternalMemory;
    st.firmware = "v1.1?";
    EXPECT_EQ(CheckCommandRule(RuledCommand::Download, st).reason,
              "Download is not available on NX31A32 with boot loader firmware v1.1?");
    st.chipType = 5;
    st.firmware = "v1.1F";
    EXPECT_EQ(CheckCommandRule(RuledCommand::DoubleClock, st).allowed, true);
    st.window = ExternalWindowState::Open;
    EXPECT_EQ(CheckCommandRule(RuledCommand::DoubleClock, st).reason,
              "Double Clock is not available while an external-flash window is open");
}

// The commands outside the button table, as their handlers test them: one row per rule, the
// reason naming it.
TEST(RuleBook, TheCommandsBeyondTheButtonsFollowTheirHandlersConditionsAndKeepOffTheLoaderArea) {
    constexpr auto kNone = ExternalWindowState::None;
    constexpr auto kOpen = ExternalWindowState::Open;
    const struct {
        RuledCommand command;
        int chip, mode, lock;
        ExternalWindowState window;
        const char* reason;  // "" when allowed
    } rows[] = {
        {RuledCommand::ByteEdit, 2, kInternalMemory, 0x40, kNone, ""},
        {RuledCommand::ByteEdit, 2, kInternalMemory, 0x80, kNone,
         "Byte Edit is not available on NX31A32 in internal memory mode at lock status 80h"},
        {RuledCommand::ByteEdit, 5, kInternalMemory, 0xC0, kNone, ""},
        {RuledCommand::ByteEdit, 3, kExternalMemory, 0x00, kNone,
         "Byte Edit is not available on NX31H64D in external memory mode"},
        {RuledCommand::ByteEdit, 3, kInternalMemory, 0x00, kOpen,
         "Byte Edit is not available while an external-flash window is open"},
        {RuledCommand::ExecuteUserCode, 1, kInternalMemory, 0xE0, kNone, ""},
        {RuledCommand::ExecuteUserCode, 1, kExternalMemory, 0x00, kNone,
         "Run User Code is not available on NX31A16 in external memory mode"},
        {RuledCommand::ExecuteUserCode, 1, kInternalMemory, 0x00, kOpen, ""},
        {RuledCommand::ChangePassword, 2, kInternalMemory, 0x40, kNone, ""},
        {RuledCommand::ChangePassword, 2, kInternalMemory, 0x20, kNone,
         "Change Password is not available on NX31A32 in internal memory mode at lock status 20h"},
        {RuledCommand::SetResetPassword, 6, kInternalMemory, 0x80, kNone, ""},
        {RuledCommand::UpgradeInternalBsl, 6, kInternalMemory, 0xC0, kNone,
         "Upgrade Internal BSL is not available on NX31L32B in internal memory mode at lock status C0h"},
        {RuledCommand::DownloadMonitor, 4, kExternalMemory, 0x00, kNone,
         "Download Monitra is not available on NX31L64D in external memory mode"},
        // Level 4 of the A types hides block 0 as a hard lock does, and the window borrows it.
        {RuledCommand::ExternalFlash, 2, kInternalMemory, 0x60, kNone,
         "External Flash is not available on NX31A32 in internal memory mode at lock status 60h"},
        {RuledCommand::ExternalFlash, 1, kInternalMemory, 0x40, kNone, ""},
        {RuledCommand::ExternalFlash, 2, kInternalMemory, 0xA0, kNone,
         "External Flash is not available on NX31A32 in internal memory mode at lock status A0h"},
        {RuledCommand::ExternalFlash, 3, kInternalMemory, 0xE0, kNone, ""},
        {RuledCommand::ExternalFlash, 3, kExternalMemory, 0x00, kNone,
         "External Flash is not available on NX31H64D in external memory mode"},
        // An external-mode loader gives out no bytes of a locked chip to a file.
        {RuledCommand::Save, 2, kExternalMemory, 0x20, kNone,
         "Save is not available on NX31A32 in external memory mode at lock status 20h"},
        {RuledCommand::Compare, 5, kExternalMemory, 0x80, kNone,
         "Compare is not available on NX31H32B in external memory mode at lock status 80h"},
        {RuledCommand::Compare, 5, kInternalMemory, 0xE0, kNone, ""},
        {RuledCommand::Read, 5, kExternalMemory, 0xE0, kNone, ""},
    };
    for (const auto& r : rows) {
        const RuleState st{r.chip, r.mode, r.lock, "v1.1F", r.window, true, false};
        const RuleVerdict v = CheckCommandRule(r.command, st);
        EXPECT_EQ(v.reason, r.reason) << RuledCommandLabel(r.command) << " chip " << r.chip << " lock " << r.lock;
        EXPECT_EQ(v.allowed, std::string(r.reason).empty());
    }
    // A chip type nobody chose lets the tool read, never erase or program.
    const RuleState guessed{2, kInternalMemory, 0, "v1.1F", kNone, true, false, true};
    EXPECT_EQ(CheckCommandRule(RuledCommand::SectorErase, guessed).reason, kChipTypeNotReported);
    EXPECT_EQ(CheckCommandRule(RuledCommand::ExternalFlash, guessed).reason, kChipTypeNotReported);
    EXPECT_TRUE(CheckCommandRule(RuledCommand::Compare, guessed).allowed);

    // The loader's own sectors, whatever the memory mode: any overlap counts.
    EXPECT_EQ(LoaderAreaOverlap(2, 1, 0xF000, 64), "F000h-F3FFh, the boot loader's own area in block 1");
    EXPECT_EQ(LoaderAreaOverlap(2, 1, 0xF3C0, 64), "F000h-F3FFh, the boot loader's own area in block 1");
    EXPECT_EQ(LoaderAreaOverlap(2, 1, 0xF400, 3072), "");
    EXPECT_EQ(LoaderAreaOverlap(5, 1, 0xE000 + 9 * 128, 128), "");
    EXPECT_EQ(LoaderAreaOverlap(3, 1, 0x0400, 0x100), "0000h-047Fh, the boot loader's own area in block 1");
    EXPECT_EQ(LoaderAreaOverlap(3, 0, 0x0000, 0x8000), "") << "block 0 holds no loader";
}

// ---- The new boot loader ----

TEST(UpgradeInternalBslChecks, TheDialogOffersOnlyStartsThatCanCarryTheLoader) {
    const struct {
        int chip;
        size_t starts;
        const char* last;
    } cases[] = {{2, 3, "Addr=F080"}, {3, 6, "Addr=0280"}, {6, 6, "Addr=E280"}};
    for (const auto& c : cases) {
        FlashRig r(BoardOf(c.chip));
        ASSERT_TRUE(r.Detect());
        FileSectorDialog d(r.session(), FileSectorDialog::Kind::UpgradeBsl);
        ASSERT_EQ(d.sectors.size(), c.starts) << c.chip;
        EXPECT_EQ(d.sectors.front().rfind("B1 Str 000", 0), 0u) << d.sectors.front();
        EXPECT_NE(d.sectors.back().find(c.last), std::string::npos) << d.sectors.back();
    }
}

TEST(UpgradeInternalBslChecks, ALoaderThatCannotWorkIsRefusedWithNothingErased) {
    FlashRig r(BoardOf(5));
    const std::vector<uint8_t> code = r.FillBlock(0, 9);
    ASSERT_TRUE(r.Detect());
    const std::vector<uint8_t> loader = r.Block(1);
    r.block = 1;
    struct Case {
        std::string name;
        std::vector<uint8_t> bytes;
        int startSector;
        const char* says;
    };
    const Case cases[] = {
        {"short.bin", Pattern(0x100), 0, "does not cover the loader's entry address E2CAh"},
        {"long.bin", Pattern(0x481), 0, "1153 bytes from E000h run past the end of block 1's loader area, E000h to E47Fh on NX31H32B."},
        {"late.bin", Pattern(0x40), 5, "written from E280h it does not cover"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        r.file = r.WriteFile(c.name, c.bytes);
        r.startSector = c.startSector;
        const size_t said = r.op.messages.size();
        EXPECT_FALSE(r.RunYes(command::kUpgradeInternalBsl));
        ASSERT_GT(r.op.messages.size(), said);
        EXPECT_NE(r.op.messages[said].find(c.says), std::string::npos) << r.op.messages[said];
        EXPECT_TRUE(r.op.questions.empty()) << "refused before the question";
        for (const std::string& frame : r.LastCommands())
            EXPECT_EQ(frame.rfind("08", 0), 0u) << "only the password gate's frame, not " << frame;
        EXPECT_EQ(r.Block(0), code);
        EXPECT_EQ(r.Block(1), loader);
        EXPECT_EQ(r.window.Field(ChipField::IapStatus), "Upgrade BSL refused: nothing was erased.");
    }
    // The check against the chip: a start in block 0 is never a loader's.
    LoadedImage image{"x.bin", Pattern(0x300), {}};
    EXPECT_EQ(CheckNewLoader(r.session(), 0, 0, image),
              "A new boot loader goes into block 1's loader area, E000h to E47Fh on NX31H32B, not into block 0.");
    EXPECT_EQ(CheckNewLoader(r.session(), 1, 0xE000, image), "");
    // A HEX loader with a gap over the entry address does not cover it either.
    image.defined.assign(0x300, true);
    image.defined[0x2CA] = false;
    EXPECT_NE(CheckNewLoader(r.session(), 1, 0xE000, image).find("entry address E2CAh"), std::string::npos);
}

// ---- HEX files with gaps ----

TEST(SparseImages, OnlyTheSectorsHoldingARecordAreErasedProgrammedAndCompared) {
    FlashRig r(BoardOf(2));
    const std::vector<uint8_t> code = r.FillBlock(0, 5);
    ASSERT_TRUE(r.Detect());
    // Three bytes at 0100h and a table over the first half of the sector at 1000h; everything
    // between is a gap, and so is the rest of that sector after the file's last byte.
    const std::vector<uint8_t> small = {0xA1, 0xA2, 0xA3};
    const std::vector<uint8_t> table(64, 0x5C);
    r.file = r.WriteFile("sparse.hex", HexOf({{0x0100, small}, {0x1000, table}}));
    ASSERT_TRUE(r.RunYes(command::kDownload));
    const std::vector<std::string> log = r.LastCommands();
    EXPECT_EQ(CountFrames(log, "0B"), 2u) << "sector 2 (0100h) and sector 32 (1000h) only";
    EXPECT_EQ(CountFrames(log, "0B 01 00"), 1u);
    EXPECT_EQ(CountFrames(log, "0B 10 00"), 1u);
    EXPECT_EQ(r.window.ProgressRange(), 2) << "the bar counts the sectors touched";
    // From the first byte the file gives to its last.
    EXPECT_EQ(r.window.Result(), "downloaded sparse.hex: 67 bytes in 2 sectors at 0100h-103Fh, verified");

    std::vector<uint8_t> want = code;
    // The sectors the file touches were read first: their other bytes are written back.
    std::copy(small.begin(), small.end(), want.begin() + 0x100);
    std::copy(table.begin(), table.end(), want.begin() + 0x1000);
    EXPECT_EQ(r.Block(0), want);

    // The compare looks at the bytes the file gives and nowhere else.
    EXPECT_TRUE(r.Run(command::kCompare));
    EXPECT_EQ(r.window.Field(ChipField::IapStatus), "File sparse.hex Compare OK!");
    EXPECT_EQ(r.window.Result(), "compare: sparse.hex matches the flash, 67 bytes at 0100h-103Fh");
    std::vector<uint8_t> changed = r.Block(0);
    changed[0x1020] ^= 0xFF;
    r.board().SetBlock(0, changed);
    EXPECT_FALSE(r.Run(command::kCompare));
    EXPECT_EQ(r.window.Field(ChipField::IapStatus).rfind("Unmatched data at memory address 1020h", 0), 0u)
        << r.window.Field(ChipField::IapStatus);
}

// Gaps inside one sector, between records a few bytes apart, and a record that ends mid-sector:
// every byte the file does not give stays as the chip held it, whether the download rewrites
// every sector it touches or only those that changed.
TEST(SparseImages, GapsWithinASectorKeepTheChipsBytesInBothKindsOfDownload) {
    const std::vector<std::pair<uint16_t, std::vector<uint8_t>>> records = {
        {0x0000, std::vector<uint8_t>(128, 0x11)}, {0x0405, std::vector<uint8_t>(3, 0x33)},
        {0x0430, std::vector<uint8_t>(16, 0x44)}, {0x2000, std::vector<uint8_t>(384, 0x22)}};
    for (const bool changedOnly : {false, true}) {
        SCOPED_TRACE(changedOnly ? "changed only" : "plain");
        FlashRig r(BoardOf(2));
        std::vector<uint8_t> want = r.FillBlock(0, 3);
        ASSERT_TRUE(r.Detect());
        for (const auto& [address, bytes] : records) std::copy(bytes.begin(), bytes.end(), want.begin() + address);
        const ImageRequest request{r.WriteFile("areas.hex", HexOf(records)), ImageFormat::Auto, 0, 0, changedOnly};
        r.op.answers = {true};
        EXPECT_TRUE(DownloadImage(r.window, request).Ok());
        EXPECT_TRUE(CompareImage(r.window, request).Ok());
        const std::vector<uint8_t> after = r.Block(0);
        for (size_t i = 0; i < want.size(); ++i) ASSERT_EQ(after[i], want[i]) << "first difference at " << i;
    }
}

// An H/L32B image that runs on into block 1 in external memory mode: one that reaches the
// loader's sectors is refused whole, before anything is erased, as no stub stands between them;
// a HEX tail past them goes through and compares.
TEST(SparseImages, ExternalMemoryModeComparesWhatItsDownloadAcceptedAndKeepsOffTheLoader) {
    FlashRig r(BoardOf(5), kExternalMemory);
    ASSERT_TRUE(r.Detect());
    const std::vector<uint8_t> loader = r.Block(1), block0 = r.Block(0);
    // Erased cells up to a dense tail at E000h.
    std::vector<uint8_t> dense(0xE000 + 0x100, 0xFF);
    std::fill(dense.begin() + 0xE000, dense.end(), uint8_t{0x34});
    r.file = r.WriteFile("full.bin", dense);
    r.ExpectDownloadKeptOffTheLoader("E000h-E47Fh", block0, loader);

    r.file = r.WriteFile("tail.hex", HexOf({{0x0000, std::vector<uint8_t>(0x80, 0x12)},
                                             {0xE480, std::vector<uint8_t>(0x100, 0x34)}}));
    ASSERT_TRUE(r.RunYes(command::kDownload));
    EXPECT_TRUE(r.Run(command::kCompare)) << r.window.Field(ChipField::IapStatus);
    EXPECT_EQ(r.window.Field(ChipField::IapStatus), "File tail.hex Compare OK!");
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
