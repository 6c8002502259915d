#pragma once
// The six Norvik51 models the tool supports, with every fact that differs between them: the
// flash geometry of both blocks, the place of the boot loader in block 1, its password, the
// debug monitor's layout, the status request and the lock and remap menus. Everything here is
// constant data and pure functions; the session (CDeviceSession) picks a row by its chip
// type code, and the rest of the tool asks the row rather than the code.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "firmware/Firmware.h"

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

// The boot loader's firmware generations; Unknown is any other answer, or none yet.
enum class LoaderFirmware { V11F, V11E, Unknown };
// "v1.1F", "v1.1E"; "" for Unknown, whose text depends on what the loader said.
const char* LoaderFirmwareText(LoaderFirmware firmware);

// The chips by name. The numbers are the chip type codes that the settings file, the chip
// dialog's buttons and the 1.1E loader's reply use; Unknown is any other code.
enum class ChipCode { Unknown = 0, NX31A16 = 1, NX31A32, NX31H64D, NX31L64D, NX31H32B, NX31L32B };

// Bits of the lock status (the chip's FCST bits 7:5), which the lock menus program.
namespace security {
constexpr uint8_t kSB1 = 0x80, kSB2 = 0x40, kSB3 = 0x20;
constexpr uint8_t kLevel4 = 0xE0;
// On the A-type chips SB2 and SB3 without SB1 is level 4 as well.
constexpr uint8_t kLevel4TypeA = 0x60;
}  // namespace security

// A lock menu's choices, named by the security bits they program.
enum class LockChoice { SB1, SB1SB2, SB1SB3, SB2, SB3, SB2SB3 };

// One choice of a lock menu: what it programs, in order, and what the level-4 guard says.
struct LockOption {
    LockChoice choice;
    int option;  // its number in the menu, from 1
    const char* label;
    uint8_t bits[2];   // in programming order; 0 ends the list
    uint8_t mask;      // every bit of the option
    const char* refusal;          // the A models, and the H/L models in external memory mode
    const char* refusalInternal;  // the H/L models in internal memory mode
};

// The remap menu's choices: the A models' remap sizes and the H/L models' configuration bits.
enum class RemapChoice { Remap1K, Remap2K, Remap4K, SC0, SC1 };

struct RemapOption {
    RemapChoice choice;
    int option;  // its number in the menu
    int buttonId;
    const char* label;
    uint8_t remapBits;  // the A models' RB1:RB0 it programs; 0 for a configuration bit
    const char* name;   // the command line's word for it
};

// Where the debug monitor goes: on the A models a part at the end of block 0 and a part in
// block 1, on the H/L models one image in block 1.
struct MonitorLayout {
    bool block0Part = false;
    FirmwareId part0{};
    uint16_t address0 = 0;
    FirmwareId part1{};
    uint16_t address1 = 0;
    int sectors1 = 0;  // block-1 sectors erased for it
};

struct ChipInfo {
    int code = 0;  // 0 for the "any other" row
    ChipCode chip = ChipCode::Unknown;
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
    // Where the loader keeps its password in block 1; 0 when no loader is known.
    uint16_t passwordAddress = 0;
    // The debug monitor's images and places; none for the "any other" row.
    std::optional<MonitorLayout> monitor;
    // One past the last block-0 address that Byte Edit may change.
    uint32_t byteEditEnd = 0;
    // The second byte of the status request (05h) in external memory mode; 0: the request is
    // not sent, the status byte is read without it.
    uint8_t externalStatusMode = 0;
    // The lock menu the chip shows; empty: none.
    std::span<const LockOption> lockMenu;
    // Which choices of the remap menu the chip offers.
    std::span<const RemapChoice> remapChoices;
    // In internal memory mode the loader hides itself once SC0 is set, as it does for SC1.
    bool sc0HidesLoader = false;
};

// The row for a chip type code; any code outside 1 to 6 gets the "any other" row.
const ChipInfo& LookupChip(int chipType);
ChipCode ChipCodeOf(int chipType);
// The six supported models in code order.
std::span<const ChipInfo> AllChips();

// The lock menu of a family's chips; empty for Unknown.
std::span<const LockOption> LockMenu(ChipFamily family);
// The option of that number in the menu; null for a number it does not have.
const LockOption* FindLockOption(std::span<const LockOption> menu, int option);
// The remap menu, every choice in its order; a chip offers those its row names.
std::span<const RemapOption> RemapMenu();
// The choice of that number in the menu; null for a number it does not have.
const RemapOption* FindRemapOption(int option);
const RemapOption& RemapOptionOf(RemapChoice choice);
// The option of a lock menu that programs `choice`; null when the menu has none.
const LockOption* FindLockChoice(std::span<const LockOption> menu, LockChoice choice);
bool OffersRemap(const ChipInfo& chip, RemapChoice choice);

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
