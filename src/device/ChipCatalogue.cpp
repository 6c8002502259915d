#include "device/ChipCatalogue.h"

#include <cctype>

namespace tessel {

namespace {

constexpr BlockGeometry Block(int32_t sectors, int32_t size, int32_t start) {
    return BlockGeometry{sectors, size, sectors * size, sectors, start};
}

using namespace security;

constexpr char kLevel4Long[] = "Can not set level4 lock!";
constexpr char kLevel4Short[] = "Can not set level4 lock";
constexpr char kLevel4Internal[] = "Can't set level4 lock!";
constexpr char kLevel4InternalShort[] = "Can't set level4 lock";

using L = LockChoice;
constexpr LockOption kLockMenuA[] = {
    {L::SB1, 1, "L2 Hard Lock Block 0, 1 (PROG-SB1)", {kSB1, 0}, kSB1, kLevel4Long, kLevel4Long},
    {L::SB1SB2, 2, "L3 Hard Lock Block 0, 1 (PROG-SB1, SB2)", {kSB1, kSB2}, kSB1 | kSB2, kLevel4Long, kLevel4Long},
    {L::SB1SB3, 3, "L3 Hard Lock Block 0, 1 (PROG-SB1, SB3)", {kSB1, kSB3}, kSB1 | kSB3, kLevel4Long, kLevel4Long},
    {L::SB2, 4, "L3 Soft Lock Block 0, 1 (PROG-SB2)", {kSB2, 0}, kSB2, kLevel4Long, kLevel4Long},
    {L::SB3, 5, "L3 Soft Lock Block 0, Hard Lock Block 1 (PROG-SB3)", {kSB3, 0}, kSB3, kLevel4Short, kLevel4Short},
};

constexpr LockOption kLockMenuHL[] = {
    {L::SB1, 1, "L2 Soft Lock Block 0, 1 (PROG-SB1)", {kSB1, 0}, kSB1, kLevel4Long, kLevel4Internal},
    {L::SB2SB3, 2, "L3 Hard Lock Block 0, 1 (PROG-SB2, SB3)", {kSB2, kSB3}, kSB2 | kSB3, kLevel4Long,
     kLevel4Internal},
    {L::SB1SB3, 3, "L3 Hard Lock Block 0, 1 (PROG-SB1, SB3)", {kSB1, kSB3}, kSB1 | kSB3, kLevel4Long,
     kLevel4Internal},
    {L::SB2, 4, "L3 Soft Lock Block 0, 1 (PROG-SB2)", {kSB2, 0}, kSB2, kLevel4Long, kLevel4Internal},
    {L::SB3, 5, "L3 Soft Lock Block 0, Hard Lock Block 1 (PROG-SB3)", {kSB3, 0}, kSB3, kLevel4Short,
     kLevel4InternalShort},
    {L::SB1SB2, 6, "L3 Soft Lock Block 0, Hard Lock Block 1 (PROG-SB1, SB2)", {kSB1, kSB2}, kSB1 | kSB2,
     kLevel4Internal, kLevel4Internal},
};

constexpr RemapOption kRemapMenu[] = {
    {RemapChoice::Remap1K, 1, 1071, "Remap 1 KByte (PROG-RB0) (A16/32)", 0x01, "1k"},
    {RemapChoice::Remap2K, 2, 1072, "Remap 2 KByte (PROG-RB1) (A16/32)", 0x02, "2k"},
    {RemapChoice::Remap4K, 3, 1073, "Remap 4 KByte (PROG-RB0, RB1) (A16/32)", 0x03, "4k"},
    {RemapChoice::SC0, 0, 1074, "PROG-SC0 (H/L32B, H/L64D)", 0, "sc0"},
    {RemapChoice::SC1, 4, 1075, "PROG-SC1 (H/L32B)", 0, "sc1"},
};

constexpr RemapChoice kRemapA[] = {RemapChoice::Remap1K, RemapChoice::Remap2K, RemapChoice::Remap4K};
constexpr RemapChoice kRemapHL64D[] = {RemapChoice::SC0};
constexpr RemapChoice kRemapHL32B[] = {RemapChoice::SC0, RemapChoice::SC1};

constexpr MonitorLayout kMonitorA16{true, FirmwareId::MonitorA16Block0, 0x3000, FirmwareId::MonitorA16Block1,
                                     0xF000, 16};
constexpr MonitorLayout kMonitorA32{true, FirmwareId::MonitorA32Block0, 0x7000, FirmwareId::MonitorA32Block1,
                                     0xF000, 16};
constexpr MonitorLayout kMonitorHL64D{false, {}, 0, FirmwareId::MonitorHL64D, 0x0000, 32};
constexpr MonitorLayout kMonitorHL32B{false, {}, 0, FirmwareId::MonitorHL32B, 0xE000, 32};

constexpr std::array<ChipInfo, 6> kChips = {{
    {1, ChipCode::NX31A16, "NX31A16", ChipFamily::A, "16+4 KB", {Block(128, 128, 0x0000), Block(64, 64, 0xF000)},
     16, 0xF000, 0xF3FF, 0xF080, 0xF040, kMonitorA16, 0x4000, 0x01, kLockMenuA, kRemapA},
    {2, ChipCode::NX31A32, "NX31A32", ChipFamily::A, "32+4 KB", {Block(256, 128, 0x0000), Block(64, 64, 0xF000)},
     16, 0xF000, 0xF3FF, 0xF080, 0xF040, kMonitorA32, 0x8000, 0x01, kLockMenuA, kRemapA},
    {3, ChipCode::NX31H64D, "NX31H64D", ChipFamily::HL64D, "64+8 KB",
     {Block(512, 128, 0x0000), Block(64, 128, 0x0000)}, 9, 0x0000, 0x047F, 0x02CA, 0x0080, kMonitorHL64D, 0x10000,
     0x02, kLockMenuHL, kRemapHL64D, true},
    {4, ChipCode::NX31L64D, "NX31L64D", ChipFamily::HL64D, "64+8 KB",
     {Block(512, 128, 0x0000), Block(64, 128, 0x0000)}, 9, 0x0000, 0x047F, 0x02CA, 0x0080, kMonitorHL64D, 0x10000,
     0x02, kLockMenuHL, kRemapHL64D, true},
    {5, ChipCode::NX31H32B, "NX31H32B", ChipFamily::HL32B, "32+8 KB",
     {Block(256, 128, 0x0000), Block(64, 128, 0xE000)}, 9, 0xE000, 0xE47F, 0xE2CA, 0xE080, kMonitorHL32B, 0x8000,
     0x03, kLockMenuHL, kRemapHL32B},
    {6, ChipCode::NX31L32B, "NX31L32B", ChipFamily::HL32B, "32+8 KB",
     {Block(256, 128, 0x0000), Block(64, 128, 0xE000)}, 9, 0xE000, 0xE47F, 0xE2CA, 0xE080, kMonitorHL32B, 0x8000,
     0x03, kLockMenuHL, kRemapHL32B},
}};

// A code that detection and the selection dialog never set still needs a geometry, so that
// the buffers and lists built from it stay sane. Byte Edit's end stays at 32 KB although the
// geometry's block 0 is 64 KB: the rules refuse Byte Edit on such a chip before it matters.
constexpr ChipInfo kOtherChip = {0, ChipCode::Unknown, "????????", ChipFamily::Unknown, "????????",
                                 {Block(512, 128, 0x0000), Block(64, 64, 0xF000)},
                                 0, 0, -1, std::nullopt, 0, std::nullopt, 0x8000, 0, {}, {}};

}  // namespace

const ChipInfo& LookupChip(int chipType) {
    return IsKnownChipType(chipType) ? kChips[static_cast<size_t>(chipType - 1)] : kOtherChip;
}

ChipCode ChipCodeOf(int chipType) { return LookupChip(chipType).chip; }

std::span<const ChipInfo> AllChips() { return kChips; }

std::span<const LockOption> LockMenu(ChipFamily family) {
    for (const ChipInfo& chip : kChips)
        if (chip.family == family) return chip.lockMenu;
    return {};
}

const LockOption* FindLockOption(std::span<const LockOption> menu, int option) {
    for (const LockOption& o : menu)
        if (o.option == option) return &o;
    return nullptr;
}

std::span<const RemapOption> RemapMenu() { return kRemapMenu; }

const RemapOption* FindRemapOption(int option) {
    for (const RemapOption& o : kRemapMenu)
        if (o.option == option) return &o;
    return nullptr;
}

const RemapOption& RemapOptionOf(RemapChoice choice) {
    for (const RemapOption& o : kRemapMenu)
        if (o.choice == choice) return o;
    return kRemapMenu[0];
}

const LockOption* FindLockChoice(std::span<const LockOption> menu, LockChoice choice) {
    for (const LockOption& o : menu)
        if (o.choice == choice) return &o;
    return nullptr;
}

bool OffersRemap(const ChipInfo& chip, RemapChoice choice) {
    for (RemapChoice c : chip.remapChoices)
        if (c == choice) return true;
    return false;
}

bool IsKnownChipType(int chipType) {
    return chipType >= kMinChipType && chipType <= kMaxChipType;
}

ChipFamily FamilyOf(int chipType) { return LookupChip(chipType).family; }

const char* LoaderFirmwareText(LoaderFirmware firmware) {
    switch (firmware) {
        case LoaderFirmware::V11F: return "v1.1F";
        case LoaderFirmware::V11E: return "v1.1E";
        case LoaderFirmware::Unknown: break;
    }
    return "";
}

const char* FamilyName(ChipFamily family) {
    switch (family) {
        case ChipFamily::A: return "A";
        case ChipFamily::HL64D: return "H/L64D";
        case ChipFamily::HL32B: return "H/L32B";
        case ChipFamily::Unknown: break;
    }
    return "?";
}

bool IsHLFamily(ChipFamily family) {
    return family == ChipFamily::HL64D || family == ChipFamily::HL32B;
}

const char* ModelNameForCode(int chipType) { return LookupChip(chipType).model; }

std::optional<int> ChipCodeForModel(std::string_view model) {
    for (const ChipInfo& chip : kChips) {
        const std::string_view name = chip.model;
        if (name.size() != model.size()) continue;
        bool same = true;
        for (size_t i = 0; i < name.size() && same; ++i) {
            same = std::toupper(static_cast<unsigned char>(model[i])) == name[i];
        }
        if (same) return chip.code;
    }
    return std::nullopt;
}

bool NeedsBlockSelect(ChipFamily family, int memoryMode) {
    switch (family) {
        case ChipFamily::HL64D: return true;
        case ChipFamily::HL32B: return memoryMode == kInternalMemory;
        case ChipFamily::A:
        case ChipFamily::Unknown: break;
    }
    return false;
}

bool InBslWindow(ChipFamily family, int block, int32_t address) {
    if (block != 1) return false;
    // The chips of a family share their loader's area.
    for (const ChipInfo& chip : kChips)
        if (chip.family == family) return address >= chip.bslFirstAddress && address <= chip.bslLastAddress;
    return false;
}

const char* RemapText(ChipFamily family, unsigned statusByte) {
    static constexpr std::array<const char*, 4> kA = {"0 KByte", "1 KByte", "2 KByte",
                                                      "4 KByte"};
    static constexpr std::array<const char*, 4> kHL = {"8 KByte", "0 KByte", "Block1 Invisible",
                                                       "Block1 Invisible"};
    const unsigned bits = statusByte & 3u;
    if (family == ChipFamily::A) return kA[bits];
    if (IsHLFamily(family)) return kHL[bits];
    return "";
}

}  // namespace tessel
