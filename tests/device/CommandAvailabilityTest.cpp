#include "device/CommandChecks.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <utility>

namespace tessel {

// Found by argument-dependent lookup, so that a failing case prints its buttons.
static std::ostream& operator<<(std::ostream& out, const CommandAvailability& a) {
    return out << "{read " << a.read << ", download " << a.download << ", sectorErase "
               << a.sectorErase << ", runUserCode " << a.runUserCode << ", lockChip "
               << a.lockChip << ", memoryRemap " << a.memoryRemap << ", chipErase "
               << a.chipErase << "}";
}

namespace {

// Field order: read, download, sectorErase, runUserCode, lockChip, memoryRemap, chipErase.
constexpr CommandAvailability kNone{};
constexpr CommandAvailability kReadOnly{true, false, false, false, false, false, false};
constexpr CommandAvailability kAInternalWritable{true, true, true, true, false, false, false};
constexpr CommandAvailability kHLInternalWritable{true, true, true, true, true, true, false};
constexpr CommandAvailability kHLInternalLocked{true, false, false, false, true, true, false};
constexpr CommandAvailability kExternalUnlocked{true, true, true, false, true, true, true};
constexpr CommandAvailability kExternalLocked{true, false, false, false, false, false, true};
constexpr CommandAvailability kWindowOpen{true, true, true, false, false, false, false};

struct Case {
    ChipFamily family;
    int memoryMode;
    int lockStatus;
    LoaderFirmware firmware;
    ExternalWindowState window;
    CommandAvailability expected;
};

class AvailabilityTable : public testing::TestWithParam<Case> {};

TEST_P(AvailabilityTable, FollowsTheButtonTable) {
    const Case& c = GetParam();
    EXPECT_EQ(ComputeAvailability(c.family, c.memoryMode, c.lockStatus, c.firmware, c.window),
              c.expected)
        << FamilyName(c.family) << " mode " << c.memoryMode << " lock 0x" << std::hex
        << c.lockStatus << " fw " << LoaderFirmwareText(c.firmware);
}

constexpr auto A = ChipFamily::A;
constexpr auto D = ChipFamily::HL64D;
constexpr auto B = ChipFamily::HL32B;
constexpr auto U = ChipFamily::Unknown;
constexpr int kInt = kInternalMemory;
constexpr int kExt = kExternalMemory;
constexpr auto kMcu = ExternalWindowState::None;
constexpr auto kOpen = ExternalWindowState::Open;
constexpr auto kBack = ExternalWindowState::BackInMcuFlash;
constexpr auto F = LoaderFirmware::V11F;
constexpr auto E = LoaderFirmware::V11E;
constexpr auto kOther = LoaderFirmware::Unknown;

INSTANTIATE_TEST_SUITE_P(
    InternalAModels, AvailabilityTable,
    testing::Values(Case{A, kInt, 0x00, F, kMcu, kAInternalWritable},
                    Case{A, kInt, 0x20, F, kMcu, kAInternalWritable},
                    Case{A, kInt, 0x40, F, kMcu, kAInternalWritable},
                    Case{A, kInt, 0x60, F, kMcu, kReadOnly},
                    Case{A, kInt, 0x80, F, kMcu, kReadOnly},
                    Case{A, kInt, 0x00, kOther, kMcu, kReadOnly},
                    Case{A, kInt, 0x00, E, kMcu, kAInternalWritable},
                    Case{A, kInt, 0x60, E, kMcu, kReadOnly}));

INSTANTIATE_TEST_SUITE_P(
    InternalHLModels, AvailabilityTable,
    testing::Values(Case{D, kInt, 0x00, F, kMcu, kHLInternalWritable},
                    Case{D, kInt, 0x20, F, kMcu, kHLInternalWritable},
                    Case{B, kInt, 0x40, F, kMcu, kHLInternalWritable},
                    Case{D, kInt, 0x60, F, kMcu, kHLInternalLocked},
                    // 80h splits the families: read-only on the A models, writable on the H/L ones.
                    Case{B, kInt, 0x80, F, kMcu, kHLInternalWritable},
                    Case{B, kInt, 0xC0, F, kMcu, kHLInternalWritable},
                    Case{B, kInt, 0x00, kOther, kMcu, kHLInternalLocked}));

INSTANTIATE_TEST_SUITE_P(
    ExternalMode, AvailabilityTable,
    testing::Values(Case{A, kExt, 0x00, F, kMcu, kExternalUnlocked},
                    Case{A, kExt, 0x20, F, kMcu, kExternalLocked},
                    // Chip Erase stays at any lock status in external memory mode.
                    Case{D, kExt, 0xE0, F, kMcu, kExternalLocked}));

INSTANTIATE_TEST_SUITE_P(
    ExternalWindow, AvailabilityTable,
    testing::Values(Case{D, kInt, 0xE0, F, kOpen, kWindowOpen},
                    Case{B, kExt, 0x60, F, kOpen, kWindowOpen}));

INSTANTIATE_TEST_SUITE_P(
    BackInMcuFlash, AvailabilityTable,
    testing::Values(Case{A, kInt, 0x80, F, kBack, kAInternalWritable},
                    Case{A, kInt, 0xC0, F, kBack, kAInternalWritable},
                    Case{A, kInt, 0x60, F, kBack, kNone},
                    Case{D, kInt, 0x40, F, kBack, kHLInternalWritable},
                    Case{B, kInt, 0xE0, F, kBack,
                         CommandAvailability{false, false, false, false, true, true, false}}));

INSTANTIATE_TEST_SUITE_P(
    UnknownChip, AvailabilityTable,
    testing::Values(Case{U, kInt, 0x00, F, kMcu, kReadOnly},
                    Case{U, kExt, 0x00, F, kMcu, kExternalUnlocked}));


// Buttons and handlers are two readings of one table: in every state they agree.
TEST(RuleBook, TheButtonsAndTheHandlerChecksAgreeInEveryState) {
    const std::pair<RuledCommand, bool CommandAvailability::*> columns[] = {
        {RuledCommand::Read, &CommandAvailability::read},
        {RuledCommand::Download, &CommandAvailability::download},
        {RuledCommand::SectorErase, &CommandAvailability::sectorErase},
        {RuledCommand::RunUserCode, &CommandAvailability::runUserCode},
        {RuledCommand::LockChip, &CommandAvailability::lockChip},
        {RuledCommand::MemoryRemap, &CommandAvailability::memoryRemap},
        {RuledCommand::ChipErase, &CommandAvailability::chipErase}};
    for (int chip = 0; chip <= 6; ++chip)
        for (int mode : {kInt, kExt})
            for (int lock = 0; lock <= 0xE0; lock += 0x20)
                for (LoaderFirmware fw : {F, E, kOther})
                    for (auto window : {kMcu, kOpen, kBack}) {
                        const CommandAvailability a = ComputeAvailability(FamilyOf(chip), mode, lock, fw, window);
                        for (const auto& [command, field] : columns) {
                            const RuleVerdict v = CheckCommandRule(command, {chip, mode, lock, fw, window, true});
                            ASSERT_EQ(v.allowed, a.*field) << RuledCommandLabel(command) << " chip " << chip << " mode "
                                                           << mode << " lock " << lock << " " << LoaderFirmwareText(fw) << " window "
                                                           << static_cast<int>(window);
                            ASSERT_EQ(v.reason.empty(), v.allowed) << v.reason;
                        }
                    }
}

// One row per rule, the reason naming it ("" when allowed): the link and the user's code come
// first, and the commands beyond the buttons follow their handlers' conditions.
TEST(RuleBook, EachRuleHasItsReason) {
    using C = RuledCommand;
    const struct {
        RuledCommand command;
        RuleState state;
        const char* reason;
    } rows[] = {
        {C::Read, {2, kInt, 0, F, kMcu, false}, kNoTargetBoard},
        {C::Download, {2, kInt, 0, F, kMcu, true, true}, kNoChipSelected},
        {C::ChipErase, {2, kExt, 0, F, kMcu, true, true}, ""},  // Chip Erase looks at the link alone
        {C::Download, {2, kInt, 0, kOther, kMcu, true, false, false, "v1.1?"},
         "Download is not available on NX31A32 with boot loader firmware v1.1?"},
        {C::DoubleClock, {5, kInt, 0, F, kMcu, true}, ""},
        {C::DoubleClock, {5, kInt, 0, F, kOpen, true},
         "Double Clock is not available while an external-flash window is open"},
        {C::ByteEdit, {2, kInt, 0x40, F, kMcu, true}, ""},
        {C::ByteEdit, {2, kInt, 0x80, F, kMcu, true},
         "Byte Edit is not available on NX31A32 in internal memory mode at lock status 80h"},
        {C::ByteEdit, {5, kInt, 0xC0, F, kMcu, true}, ""},
        {C::ByteEdit, {3, kExt, 0, F, kMcu, true}, "Byte Edit is not available on NX31H64D in external memory mode"},
        {C::ByteEdit, {3, kInt, 0, F, kOpen, true}, "Byte Edit is not available while an external-flash window is open"},
        {C::ExecuteUserCode, {1, kInt, 0xE0, F, kMcu, true}, ""},
        {C::ExecuteUserCode, {1, kExt, 0, F, kMcu, true},
         "Run User Code is not available on NX31A16 in external memory mode"},
        {C::ExecuteUserCode, {1, kInt, 0, F, kOpen, true}, ""},
        {C::ChangePassword, {2, kInt, 0x40, F, kMcu, true}, ""},
        {C::ChangePassword, {2, kInt, 0x20, F, kMcu, true},
         "Change Password is not available on NX31A32 in internal memory mode at lock status 20h"},
        {C::SetResetPassword, {6, kInt, 0x80, F, kMcu, true}, ""},
        {C::UpgradeInternalBsl, {6, kInt, 0xC0, F, kMcu, true},
         "Upgrade Internal BSL is not available on NX31L32B in internal memory mode at lock status C0h"},
        {C::DownloadMonitor, {4, kExt, 0, F, kMcu, true},
         "Download Monitra is not available on NX31L64D in external memory mode"},
        // Level 4 of the A types hides block 0 as a hard lock does, and the window borrows it.
        {C::ExternalFlash, {2, kInt, 0x60, F, kMcu, true},
         "External Flash is not available on NX31A32 in internal memory mode at lock status 60h"},
        {C::ExternalFlash, {1, kInt, 0x40, F, kMcu, true}, ""},
        {C::ExternalFlash, {3, kInt, 0xE0, F, kMcu, true}, ""},
        {C::ExternalFlash, {3, kExt, 0, F, kMcu, true},
         "External Flash is not available on NX31H64D in external memory mode"},
        // An external-mode loader gives out no bytes of a locked chip to a file.
        {C::Save, {2, kExt, 0x20, F, kMcu, true},
         "Save is not available on NX31A32 in external memory mode at lock status 20h"},
        {C::Compare, {5, kExt, 0x80, F, kMcu, true},
         "Compare is not available on NX31H32B in external memory mode at lock status 80h"},
        {C::Compare, {5, kInt, 0xE0, F, kMcu, true}, ""},
        // A chip type nobody chose lets the tool read, never erase or program.
        {C::SectorErase, {2, kInt, 0, F, kMcu, true, false, true}, kChipTypeNotReported},
        {C::Compare, {2, kInt, 0, F, kMcu, true, false, true}, ""},
    };
    for (const auto& r : rows) {
        const RuleVerdict v = CheckCommandRule(r.command, r.state);
        EXPECT_EQ(v.reason, r.reason) << RuledCommandLabel(r.command) << " chip " << r.state.chipType;
        EXPECT_EQ(v.allowed, *r.reason == 0);
    }
}

// The loader's own sectors, whatever the memory mode: any overlap counts.
TEST(RuleBook, TheLoaderAreaIsAnyOverlapWithIt) {
    const std::string a = "F000h-F3FFh, the boot loader's own area in block 1";
    EXPECT_EQ(LoaderAreaOverlap(2, 1, 0xF3C0, 64), a);
    EXPECT_EQ(LoaderAreaOverlap(2, 1, 0xF400, 3072), "");
    EXPECT_EQ(LoaderAreaOverlap(3, 1, 0x0400, 0x100), "0000h-047Fh, the boot loader's own area in block 1");
    EXPECT_EQ(LoaderAreaOverlap(3, 0, 0x0000, 0x8000), "") << "block 0 holds no loader";
}

}  // namespace
}  // namespace tessel
