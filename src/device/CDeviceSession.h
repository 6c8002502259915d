#pragma once
// The one device session that every command consults: which chip and memory mode, the flash
// geometry, the serial port, the images of both blocks and of the external-flash window, and
// the flags shared by the timer, the command handlers and the link worker. Detection fills
// it; the commands read and test it.
//
// The chip selection dialog's two choices are chipType and memoryMode themselves: a dialog
// model edits the session's fields, so the two are one state.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "device/ChipCatalogue.h"
#include "device/SessionFlags.h"
#include "platform/Clock.h"
#include "serial/CSerialPort.h"

namespace tessel {

class Operator;

// A sector in the one list that some commands offer for both blocks.
struct SectorRef {
    int block = 0;
    int index = 0;

    bool operator==(const SectorRef&) const = default;
};

class CDeviceSession {
public:
    static constexpr double kDefaultCrystalMHz = 11.0592;
    // Each block image has this many bytes beyond the block's end.
    static constexpr size_t kImageSlack = 16;

    explicit CDeviceSession(Operator* owner, Clock& clock = SystemClock());
    ~CDeviceSession();
    CDeviceSession(const CDeviceSession&) = delete;
    CDeviceSession& operator=(const CDeviceSession&) = delete;

    // Sets both geometry records from chipType; a code outside 1 to 6 takes the "any other"
    // row. Every flash command calls it first.
    void RefreshGeometry();

    // Geometry of block 0 or 1; 0 for any other block number.
    int32_t SectorCount(int block) const;
    int32_t SectorSize(int block) const;
    int32_t BlockSize(int block) const;
    int32_t ListedSectorCount(int block) const;
    int32_t StartAddress(int block) const;

    int ChipType() const { return chipType; }
    int MemoryMode() const { return memoryMode; }
    int CurrentBlock() const { return currentBlock; }
    // Stores any number: the commands' block check is what rejects one outside 0 and 1.
    void SetCurrentBlock(int block) { currentBlock = block; }
    double CrystalMHz() const { return crystalMHz; }
    const ChipInfo& Chip() const { return LookupChip(chipType); }
    ChipFamily Family() const { return FamilyOf(chipType); }

    // The image of block 0 or 1, BlockSize + 16 bytes, byte k holding address
    // StartAddress + k; empty before AllocateImages or for another block number.
    std::span<uint8_t> BlockImage(int block);
    std::span<const uint8_t> BlockImage(int block) const;
    // The open external-flash window, indexed by window address; empty before allocation.
    std::span<uint8_t> ExternalImage() { return externalImage; }
    std::span<const uint8_t> ExternalImage() const { return externalImage; }

    // Replaces both block images for the current geometry records (it does not refresh them
    // from chipType), first blockSize bytes FFh, and replaces the external image, all FFh.
    // Runs after each successful detection.
    void AllocateImages();

    // Address of a sector: StartAddress(block) + index * SectorSize(block).
    int32_t SectorAddress(int block, int index) const;
    // The one list of both blocks numbers block 0's sectors first, then block 1's.
    int CombinedSectorCount() const;
    int CombinedSectorIndex(int block, int index) const;
    SectorRef SectorFromCombined(int combinedIndex) const;

    // True when the address of the block lies in the boot loader's protection window of the
    // current chip type (see InBslWindow in the catalogue).
    bool InBslWindow(int block, int32_t address) const;
    // Whether block reads, erases and programs must be preceded by a block-select command.
    bool NeedsBlockSelect() const;

    // Link up means a handshake completed; the one test that the link is set up.
    bool IsLinkUp() const { return port.IsLinkUp(); }
    bool ExternalWindowOpen() const { return externalLowOpen || externalHighOpen; }

    int chipType = kDefaultChipType;
    // A 1.1F loader never says which chip it runs on: the type is whatever the operator
    // chose. Set when nobody chose it and the default stands in, so that nothing is erased
    // on a guess; a 1.1E detection, which reads the type from the chip, clears it.
    bool chipTypeAssumed = false;
    int memoryMode = kInternalMemory;
    // The loader the last detection found, as the "Fw Version:" field shows it; Unknown once
    // the chip information is cleared.
    LoaderFirmware loaderFirmware = LoaderFirmware::Unknown;
    std::array<BlockGeometry, 2> geometry{};
    CSerialPort port;  // COM1, 38400 baud at start
    int currentBlock = 0;
    std::array<std::vector<uint8_t>, 2> blockImage;
    std::vector<uint8_t> externalImage;
    // Counts AllocateImages: a view that knows what was read into the images can tell when
    // they were replaced by fresh, unread ones.
    unsigned imageGeneration = 0;
    // That the chip's answers bore out chipType (block 0's last address, its end, block 1's
    // place), for the detection of imageGeneration: a check need not run again within it.
    struct ChipCheckMemo {
        bool valid = false;
        unsigned generation = 0;
        int chipType = 0;
        int memoryMode = 0;
    };
    std::array<ChipCheckMemo, 3> chipChecked{};
    // Why the last check before a command's first change (the chip type, the password gate)
    // refused it ("" when none did), and whether it found the line silent rather than the
    // chip another: the command line's exit status.
    std::string refusalBeforeChange;
    bool lineSilent = false;
    double crystalMHz = kDefaultCrystalMHz;
    Operator* owner;

    // Which external-flash window is open; at most one. Neither: the MCU's own flash.
    bool externalLowOpen = false;
    bool externalHighOpen = false;
    // The operator has returned from an external-flash window and no detection has run since:
    // the command rules of that state hold.
    bool backInMcuFlash = false;
    // The board's external-flash program took over the line when a window was opened and has
    // not been reset since; only it may be sent the 01h 01h that leaves a window (a fresh
    // boot loader would take those bytes for the start of a chip erase).
    bool externalProgramRunning = false;
    // Set only while the internal BSL upgrade runs the download command.
    bool bslUpgradeMode = false;
    // Set while Read and Sector Erase run their range dialog and transfer; the range dialog
    // then lists block 1's sectors.
    bool rangeDialogBusy = false;
    // The status byte of the last 1.1E detection, all eight bits: the upgrade to 1.1F takes
    // the remap size from its bits 1:0.
    uint8_t status11E = 0;
    // Why the last upgrade from 1.1E to 1.1F did not end with a confirmed 1.1F loader and the
    // user's code back in block 0 (the backup file named); "" when it did or none ran.
    std::string upgradeFailure;
    // The "ReMap:" text, kept while an external-flash window replaces the chip information.
    std::string remapText;
    // The double-clock crystal re-entry is offered once.
    bool crystalQuestionAsked = false;
    // The text last entered in the password gate's dialog. The boot loader upgrade writes it
    // back into the chip it came from, so it belongs to this session and no other: boards
    // programmed side by side in one process may each have their own password.
    std::string gatePassword;

    SessionFlags flags;
};

}  // namespace tessel
