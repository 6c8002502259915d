#include "device/CommandChecks.h"

#include <gtest/gtest.h>

#include <ostream>

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
    const char* firmware;
    ExternalWindowState window;
    CommandAvailability expected;
};

class AvailabilityTable : public testing::TestWithParam<Case> {};

TEST_P(AvailabilityTable, FollowsTheButtonTable) {
    const Case& c = GetParam();
    EXPECT_EQ(ComputeAvailability(c.family, c.memoryMode, c.lockStatus, c.firmware, c.window),
              c.expected)
        << FamilyName(c.family) << " mode " << c.memoryMode << " lock 0x" << std::hex
        << c.lockStatus << " fw " << c.firmware;
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

INSTANTIATE_TEST_SUITE_P(
    InternalAModels, AvailabilityTable,
    testing::Values(Case{A, kInt, 0x00, "v1.1F", kMcu, kAInternalWritable},
                    Case{A, kInt, 0x20, "v1.1F", kMcu, kAInternalWritable},
                    Case{A, kInt, 0x40, "v1.1F", kMcu, kAInternalWritable},
                    Case{A, kInt, 0x60, "v1.1F", kMcu, kReadOnly},
                    Case{A, kInt, 0x80, "v1.1F", kMcu, kReadOnly},
                    Case{A, kInt, 0xA0, "v1.1F", kMcu, kReadOnly},
                    Case{A, kInt, 0xC0, "v1.1F", kMcu, kReadOnly},
                    Case{A, kInt, 0xE0, "v1.1F", kMcu, kReadOnly},
                    Case{A, kInt, 0x00, "v1.1?", kMcu, kReadOnly},
                    Case{A, kInt, 0x00, "v1.1E", kMcu, kAInternalWritable},
                    Case{A, kInt, 0x60, "v1.1E", kMcu, kReadOnly},
                    Case{A, kInt, 0x00, "", kMcu, kReadOnly}));

INSTANTIATE_TEST_SUITE_P(
    InternalHLModels, AvailabilityTable,
    testing::Values(Case{D, kInt, 0x00, "v1.1F", kMcu, kHLInternalWritable},
                    Case{D, kInt, 0x20, "v1.1F", kMcu, kHLInternalWritable},
                    Case{B, kInt, 0x40, "v1.1F", kMcu, kHLInternalWritable},
                    Case{D, kInt, 0x60, "v1.1F", kMcu, kHLInternalLocked},
                    Case{B, kInt, 0x80, "v1.1F", kMcu, kHLInternalWritable},
                    Case{D, kInt, 0xA0, "v1.1F", kMcu, kHLInternalLocked},
                    Case{B, kInt, 0xC0, "v1.1F", kMcu, kHLInternalWritable},
                    Case{D, kInt, 0xE0, "v1.1F", kMcu, kHLInternalLocked},
                    Case{B, kInt, 0x00, "?????", kMcu, kHLInternalLocked},
                    // 80h splits the families: read-only on the A models, writable on both H/L.
                    Case{D, kInt, 0x80, "v1.1F", kMcu, kHLInternalWritable},
                    Case{B, kInt, 0x00, "v1.1F", kMcu, kHLInternalWritable}));

INSTANTIATE_TEST_SUITE_P(
    ExternalMode, AvailabilityTable,
    testing::Values(Case{A, kExt, 0x00, "v1.1F", kMcu, kExternalUnlocked},
                    Case{D, kExt, 0x00, "v1.1F", kMcu, kExternalUnlocked},
                    Case{B, kExt, 0x00, "v1.1F", kMcu, kExternalUnlocked},
                    Case{A, kExt, 0x20, "v1.1F", kMcu, kExternalLocked},
                    Case{D, kExt, 0x40, "v1.1F", kMcu, kExternalLocked},
                    Case{B, kExt, 0x80, "v1.1F", kMcu, kExternalLocked},
                    Case{B, kExt, 0xE0, "v1.1F", kMcu, kExternalLocked},
                    // Chip Erase stays at any lock status in external memory mode.
                    Case{A, kExt, 0xE0, "v1.1F", kMcu, kExternalLocked},
                    Case{D, kExt, 0xE0, "v1.1F", kMcu, kExternalLocked}));

INSTANTIATE_TEST_SUITE_P(
    ExternalWindow, AvailabilityTable,
    testing::Values(Case{A, kInt, 0x00, "v1.1F", kOpen, kWindowOpen},
                    Case{D, kInt, 0xE0, "v1.1F", kOpen, kWindowOpen},
                    Case{B, kExt, 0x60, "v1.1F", kOpen, kWindowOpen}));

INSTANTIATE_TEST_SUITE_P(
    BackInMcuFlash, AvailabilityTable,
    testing::Values(Case{A, kInt, 0x00, "v1.1F", kBack, kAInternalWritable},
                    Case{A, kInt, 0x80, "v1.1F", kBack, kAInternalWritable},
                    Case{A, kInt, 0xC0, "v1.1F", kBack, kAInternalWritable},
                    Case{A, kInt, 0x60, "v1.1F", kBack, kNone},
                    Case{A, kInt, 0xA0, "v1.1F", kBack, kNone},
                    Case{D, kInt, 0x40, "v1.1F", kBack, kHLInternalWritable},
                    Case{B, kInt, 0xE0, "v1.1F", kBack,
                         CommandAvailability{false, false, false, false, true, true, false}}));

INSTANTIATE_TEST_SUITE_P(
    UnknownChip, AvailabilityTable,
    testing::Values(Case{U, kInt, 0x00, "v1.1F", kMcu, kReadOnly},
                    Case{U, kExt, 0x00, "v1.1F", kMcu, kExternalUnlocked}));

}  // namespace
}  // namespace tessel
