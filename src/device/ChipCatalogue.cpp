#include "device/ChipCatalogue.h"

#include <cctype>

namespace tessel {

namespace {

constexpr BlockGeometry Block(int32_t sectors, int32_t size, int32_t start) {
    return BlockGeometry{sectors, size, sectors * size, sectors, start};
}

constexpr std::array<ChipInfo, 6> kChips = {{
    {1, "NX31A16", ChipFamily::A, "16+4 KB", {Block(128, 128, 0x0000), Block(64, 64, 0xF000)},
     16, 0xF000, 0xF3FF, 0xF080},
    {2, "NX31A32", ChipFamily::A, "32+4 KB", {Block(256, 128, 0x0000), Block(64, 64, 0xF000)},
     16, 0xF000, 0xF3FF, 0xF080},
    {3, "NX31H64D", ChipFamily::HL64D, "64+8 KB",
     {Block(512, 128, 0x0000), Block(64, 128, 0x0000)}, 9, 0x0000, 0x047F, 0x02CA},
    {4, "NX31L64D", ChipFamily::HL64D, "64+8 KB",
     {Block(512, 128, 0x0000), Block(64, 128, 0x0000)}, 9, 0x0000, 0x047F, 0x02CA},
    {5, "NX31H32B", ChipFamily::HL32B, "32+8 KB",
     {Block(256, 128, 0x0000), Block(64, 128, 0xE000)}, 9, 0xE000, 0xE47F, 0xE2CA},
    {6, "NX31L32B", ChipFamily::HL32B, "32+8 KB",
     {Block(256, 128, 0x0000), Block(64, 128, 0xE000)}, 9, 0xE000, 0xE47F, 0xE2CA},
}};

// A code that detection and the selection dialog never set still needs a geometry, so that
// the buffers and lists built from it stay sane.
constexpr ChipInfo kOtherChip = {0,  "????????", ChipFamily::Unknown, "????????",
                                 {Block(512, 128, 0x0000), Block(64, 64, 0xF000)},
                                 0,  0,          -1,                  std::nullopt};

}  // namespace

const ChipInfo& LookupChip(int chipType) {
    return IsKnownChipType(chipType) ? kChips[static_cast<size_t>(chipType - 1)] : kOtherChip;
}

std::span<const ChipInfo> AllChips() { return kChips; }

bool IsKnownChipType(int chipType) {
    return chipType >= kMinChipType && chipType <= kMaxChipType;
}

ChipFamily FamilyOf(int chipType) { return LookupChip(chipType).family; }

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
    switch (family) {
        case ChipFamily::A: return address >= 0xF000 && address < 0xF400;
        case ChipFamily::HL32B: return address >= 0xE000 && address < 0xE480;
        case ChipFamily::HL64D: return address >= 0x0000 && address < 0x0480;
        case ChipFamily::Unknown: break;
    }
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
