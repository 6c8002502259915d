#pragma once
// The memory view of the main window without a toolkit: the sector status list (one row per
// sector of the shown block or external-flash window, with its addresses and whether it is
// blank) and the hex dump of one sector. Both show what the chip is known to hold: each sector
// was read, written by a verified write, changed without being read back, or is not known at
// all; only the first two have bytes to show. Nothing here talks to the target. The desktop program renders the rows and columns and
// passes clicks and tab changes back in.

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace tessel {

class CDeviceSession;
class Operator;

inline constexpr const char kInternalDataMessage[] = "Internal Data";
inline constexpr const char kExternalDataMessage[] = "External data";
inline constexpr const char kDumpHeaderAtStart[] = "SECTOR ???";

// What is known of one sector of the chip.
enum class SectorState : uint8_t {
    NotRead,         // unknown: never read since the detection, or a command may have changed it
    Read,            // its bytes in the image came from the chip
    Written,         // its bytes in the image are what a verified write put there
    ChangedNotRead,  // a command changed it and did not read it back
};

class MemoryView {
public:
    MemoryView(CDeviceSession& session, Operator& op);

    // Rebuilds the status rows of the block from its image; count and first are the range
    // just read, counted within the block (-1, -1: none), which is known from now on. Row 0
    // becomes the hot item. A sector nobody read or wrote since the images were allocated
    // shows "Not read": the erased image says nothing about the chip.
    void ShowSectorStatus(int block, int count, int first);
    // Records what a command did to sectors [first, first + count) of a block (-1: the open
    // external-flash window); the image must already hold the bytes of Read and Written
    // sectors. Refresh then rebuilds what the lists show.
    void Record(int block, int first, int count, SectorState state);
    // Rebuilds the status list and the dump as they are shown, the hot row kept.
    void Refresh();
    // One sector of a block has just been read into the image: its state and, when the list
    // shows that block, its status row follow at once, so that a long read fills the list as
    // it goes. Only the rows are told (SetOnRowsChanged); the dump waits for the read's end.
    void RecordRead(int block, int sector);
    // The bytes a compare marked are its own finding: the next command starts without them.
    void ClearMarks();
    SectorState State(int block, int sector) const;
    // The same for the open external-flash window's 16 sectors (range counted 0 to 15).
    void ShowExternalStatus(int count, int first);
    // The hex dump of one sector of a block, which becomes the hot row when the status list
    // shows that block. A sector not known shows one row saying so, never bytes. A sector
    // outside the block leaves the dump as it was.
    void ShowSector(int block, int sector);
    // The hex dump of window sector 0 to 15; the high window shows it as sector + 16.
    void ShowExternalSector(int sector);
    void SetHotItem(int row);
    // A left click on row `row` of either list; -1 (outside the rows) does nothing. In the
    // MCU's flash it shows that sector of the current block, after the block number check;
    // in a window that sector of the window.
    void ClickRow(int row);
    // The tab control changed to `tab` (0 "Block 0", 1 "Block 1"): the current block follows
    // it, a message box says which memory is shown, and the status list and sector 0 are
    // rebuilt.
    void TabChanged(int tab);

    struct Column {
        enum Align { Left, Centre };
        std::string header;
        Align align = Centre;
        int width = 0;

        bool operator==(const Column&) const = default;
    };
    // The columns for the list's client width at start-up (U = W / 5); the widths are fixed
    // then and not recomputed on resizing.
    static std::vector<Column> StatusColumns(int clientWidth);
    // Column 0's header is DumpHeader().
    std::vector<Column> DumpColumns(int clientWidth) const;

    const std::vector<std::array<std::string, 5>>& StatusRows() const { return statusRows_; }
    const std::vector<std::array<std::string, 3>>& DumpRows() const { return dumpRows_; }
    // The bytes a compare found different in a block (-1: the open window), at the addresses
    // the dump labels them with; an empty list clears them. The dump marks them from now on.
    void MarkDifferences(int block, std::vector<uint32_t> addresses);
    // One mask per dump row: bit i set when the row's byte i is marked as different.
    const std::vector<uint16_t>& DumpMarks() const { return dumpMarks_; }
    // "SECTOR ???" until a sector is shown, then "SECTOR %03d".
    std::string DumpHeader() const { return dumpHeader_; }
    // -1 when no row is hot.
    int HotItem() const { return hotItem_; }

    // The desktop window's dump holds the whole block (or window) rather than one sector:
    // every sector known in its rows, each other sector as one row saying it is not known.
    // Showing a sector then brings its first row into view rather than replacing the rows.
    void SetWholeBlockDump(bool whole) { wholeBlock_ = whole; }
    // The dump row to bring into view after the last change: the first row of the sector
    // shown, or the row holding the address of the last GoTo.
    int DumpFocusRow() const { return focusRow_; }
    // Shows the sector of the current block (or open window) that holds `address`, the dump's
    // focus on the row holding it. Returns why not when the address lies outside it.
    std::string GoTo(uint32_t address);
    // A click on row `row` of the dump: its sector becomes the hot one, the rows stay where
    // they are. In the one-sector dump this is ClickRow.
    void ClickDumpRow(int row);
    // The block the status list shows, -1 for the external-flash window.
    int ShownBlock() const { return shownBlock_; }
    // Called after every change of the rows, the header or the hot item.
    void SetOnChanged(std::function<void()> f) { onChanged_ = std::move(f); }
    // Called when only status rows' words changed, the rows themselves the same.
    void SetOnRowsChanged(std::function<void()> f) { onRowsChanged_ = std::move(f); }

private:
    // What is known of each sector, for the image generation (and window) it belongs to:
    // new images after a detection, or the other window, know nothing.
    struct Knowledge {
        unsigned generation = 0;
        bool high = false;
        std::vector<SectorState> states;
    };
    // Slot 0 and 1 the blocks, 2 the external window; brought up to date first.
    std::vector<SectorState>& States(int block);
    const std::vector<SectorState>* CurrentStates(int block) const;
    int SlotSectors(int block) const;

    void Changed();
    // Adds one sector's rows to the dump: 16 bytes a row when known, else one row saying so.
    void AppendSector(std::span<const uint8_t> bytes, uint32_t address, bool wide, SectorState state, uint32_t size,
                      int sector);
    // Fills the dump for sector `sector` of the block (-1: the open window).
    void FillDump(int block, int sector);

    CDeviceSession& session_;
    Operator& op_;
    std::vector<std::array<std::string, 5>> statusRows_;
    std::vector<std::array<std::string, 3>> dumpRows_;
    std::vector<uint16_t> dumpMarks_;
    // Per dump row: the sector it belongs to and the first address it shows.
    std::vector<int> dumpRowSector_;
    std::vector<uint32_t> dumpRowAddress_;
    bool wholeBlock_ = false;
    int focusRow_ = 0;
    int markBlock_ = 0;
    std::vector<uint32_t> marked_;  // sorted
    std::string dumpHeader_ = kDumpHeaderAtStart;
    int hotItem_ = -1;
    int shownBlock_ = 0;
    int dumpBlock_ = 0, dumpSector_ = -1;  // what the dump shows (block -1: the window)
    std::array<Knowledge, 3> known_{};
    std::function<void()> onChanged_;
    std::function<void()> onRowsChanged_;
};

// "Blank" (every byte FFh), "All Zeros" (every byte 00h and first <= sector < first + count),
// "Unknown" (every byte 00h outside that range, or no bytes at all: the image does not cover
// the sector), "Not Blank" (anything else).
const char* SectorStatusWord(std::span<const uint8_t> bytes, int sector, int first, int count);

inline constexpr const char kNotReadStatus[] = "Not read";
inline constexpr const char kChangedNotReadStatus[] = "Changed, not read";

// The text of one hex dump row's "ASCII" column: one character for every byte, each byte
// outside 20h to 7Eh shown as '.' so that any toolkit can display the text.
std::string DumpAscii(std::span<const uint8_t> bytes);

}  // namespace tessel
