#pragma once
// The six Norvik51 models the tool supports, with the flash geometry of both blocks and the
// place of the boot loader in block 1. Everything here is constant data and pure functions;
// the session (CDeviceSession) picks a row by its chip type code.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace tessel {

// One flash block. Five 32-bit signed ints in this order, as the rest of the tool expects.
struct BlockGeometry {
    int32_t sectorCount = 0;
    int32_t sectorSize = 0;  // bytes
    int32_t blockSize = 0;   // bytes, sectorCount * sectorSize
    // Sectors offered in the download and save dialogs and used for size limits.
    int32_t listedSectorCount = 0;
    // First address of the block in the 16-bit code address space used on the wire.
    int32_t startAddress = 0;

    bool operator==(const BlockGeometry&) const = default;
};

// Unknown is the family of any chip type code outside 1 to 6.
enum class ChipFamily { Unknown, A, HL64D, HL32B };

inline constexpr int kMinChipType = 1;
inline constexpr int kMaxChipType = 6;
// The chip selection dialog's default, and the session's chip type at start.
inline constexpr int kDefaultChipType = 2;

// Memory mode codes: the MCU runs from its own flash (EA# = 1) or from external memory (EA# = 0).
inline constexpr int kInternalMemory = 1;
inline constexpr int kExternalMemory = 2;

struct ChipInfo {
    int code = 0;  // 0 for the "any other" row
    const char* model = "";
    ChipFamily family = ChipFamily::Unknown;
    const char* flashSizeText = "";  // the "Flash Size:" field
    std::array<BlockGeometry, 2> block{};
    // The boot loader occupies the first bslSectorCount sectors of block 1, addresses
    // bslFirstAddress to bslLastAddress inclusive. Zero sectors: no known boot loader.
    int32_t bslSectorCount = 0;
    int32_t bslFirstAddress = 0;
    int32_t bslLastAddress = -1;
    // Where the loader's code resumes after the block-1 programming stub hands back;
    // nullopt for the "any other" row.
    std::optional<uint16_t> bslEntryAddress;
};

// The row for a chip type code; any code outside 1 to 6 gets the "any other" row.
const ChipInfo& LookupChip(int chipType);
// The six supported models in code order.
std::span<const ChipInfo> AllChips();

bool IsKnownChipType(int chipType);
ChipFamily FamilyOf(int chipType);
// "A", "H/L64D", "H/L32B", or "?" for Unknown.
const char* FamilyName(ChipFamily family);
bool IsHLFamily(ChipFamily family);
// The A-type chips (NX31A16, NX31A32) and the H/L chips, by code.
inline bool IsTypeA(int chipType) { return FamilyOf(chipType) == ChipFamily::A; }
inline bool IsHLChip(int chipType) { return IsHLFamily(FamilyOf(chipType)); }

// "NX31A16" ... "NX31L32B"; "????????" for a code outside 1 to 6.
const char* ModelNameForCode(int chipType);
// The code of a model name, ignoring letter case; nullopt for a name that is no model.
std::optional<int> ChipCodeForModel(std::string_view model);

// The block-select commands (68h/69h) must precede block reads, erases and programs: on
// H/L64D always (block 1 overlays block 0's first 8 KB), on H/L32B only in internal memory
// mode, on the A models never.
bool NeedsBlockSelect(ChipFamily family, int memoryMode);

// True when the address lies in the boot loader's protection window, which download and
// sector erase keep clear of in internal memory mode: A 0xF000 <= a < 0xF400, H/L32B
// 0xE000 <= a < 0xE480, H/L64D 0x0000 <= a < 0x0480. The window is in block 1 only; on
// H/L64D the same addresses in block 0 are ordinary user flash.
bool InBslWindow(ChipFamily family, int block, int32_t address);

// The "ReMap:" text for bits 1:0 of the detection status byte (the other bits are ignored).
// The A models map 0..3 to 0, 1, 2, 4 KByte; H/L models to 8 KByte, 0 KByte, Block1
// Invisible twice. The Unknown family has no remap text: "".
const char* RemapText(ChipFamily family, unsigned statusByte);

// External flash of the demonstration board (NX40F128): one 64 KB window at a time,
// handled as 16 sectors of 4096 bytes, moved in 128-byte pieces.
inline constexpr int32_t kExternalWindowSectors = 16;
inline constexpr int32_t kExternalSectorSize = 4096;
inline constexpr int32_t kExternalPieceSize = 128;
inline constexpr size_t kExternalImageSize = 65580;
// The external boot loader's presence check compares this many bytes of the low window.
inline constexpr size_t kExternalBslCompareBytes = 1144;

}  // namespace tessel
