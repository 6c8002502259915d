#pragma once
// The drop-down lists through which the operator picks part of the flash (a start sector
// labelled with its address, and a sector count), built from the session's geometry and
// memory mode, and the mapping of the chosen indices back to a block, an address on the wire
// and a sector count. No command ever asks for a typed address; these lists are the only way
// in, so every dialog builds them here and every command maps them back here.

#include <cstdint>
#include <string>
#include <vector>

namespace tessel {

class CDeviceSession;

inline constexpr const char kBlock0SectorLabel[] = "Sector %03d    Addr=%04X";
inline constexpr const char kBlock1SectorLabel[] = "B1 Str %03d    Addr=%04X";
inline constexpr const char kWideSectorLabel[] = "Sector %03d    Addr=%05X";
inline constexpr const char kAllSectorsLabel[] = "All Sectors";
inline constexpr const char kSectorCountLabel[] = "%03d sectors";

enum class SectorListUse { RangeDialog, DownloadDialog, CompareDialog, SaveDialog };

// The "Starting ..." list of a dialog for the session's state. In the MCU's own flash: block
// 0's entries, then block 1's (always for Download, Compare and Save; for the range dialog
// only in external memory mode or while rangeDialogBusy is set). With an external-flash
// window open: its 16 sectors, the high window numbered 16 to 31.
std::vector<std::string> BuildSectorList(const CDeviceSession& s, SectorListUse use);

// "All Sectors" then "%03d sectors" for k = 1 to m - 1, m being block 0's sector count (range
// dialog), block 0's listed count (save dialog) or 16 with a window open. The list follows
// block 0 whichever block the start lies in. Download and Compare have none: empty.
std::vector<std::string> BuildCountList(const CDeviceSession& s, SectorListUse use);

// A selection in the MCU's flash, mapped back.
struct FlashSelection {
    int block = 0;
    uint32_t address = 0;  // the absolute address on the wire: block 1's base added
    int firstSector = 0;   // within the block
    int count = 0;         // sectors; "All Sectors" resolved, cut to the block's end

    bool operator==(const FlashSelection&) const = default;
};

// startIndex is an entry of BuildSectorList (block 0's entries first), countIndex an entry
// of BuildCountList (0 = "All Sectors"). A negative index (a list with no selection) counts
// as its first entry. A start past block 1's end gives a count of 0.
FlashSelection MapFlashSelection(const CDeviceSession& s, int startIndex, int countIndex);

// The same from a block and its sector numbers, as a request names them: `count` 0 (or one
// that runs past the block) reaches the end of the block.
FlashSelection SelectFlashSectors(const CDeviceSession& s, int block, int firstSector, int count);

// A selection in the open external-flash window. The address is within the 64 KB window
// (startIndex * 4096, 0 to 15 in the high window too, although its list shows 16 to 31);
// count 0 means 16. With cutToWindow (Read, Save) first + count is cut to 16; Sector Erase
// sends the count uncut.
struct ExternalSelection {
    uint32_t address = 0;
    int first = 0;
    int count = 0;

    bool operator==(const ExternalSelection&) const = default;
};

ExternalSelection MapExternalSelection(int startIndex, int countIndex, bool cutToWindow);

}  // namespace tessel
