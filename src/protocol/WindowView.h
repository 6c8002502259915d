#pragma once
// What the protocol procedures (detection, locks, upgrades) may do to the main window: the
// chip-information fields, the "IAP Status:" line, the security line, the IAP Function
// buttons and the status bar's progress bar. MainDialog implements it; keeping it here lets
// the procedures stay below the user interface.

#include <string>

#include "device/CommandChecks.h"
#include "protocol/Progress.h"

namespace tessel {

enum class ChipField { FlashSize, ChipType, ReMap, MemMode, FwVersion, IapStatus };

// The "IAP Function" buttons, by their command ids.
enum class IapButton : int {
    Download = 1024,
    DnloadRunUserCode = 1074,
    Read = 1037,
    SectorErase = 1026,
    ChipErase = 1049,
    LockChip = 1027,
    MemoryRemap = 1028,
};

class WindowView : public ProgressReporter {
public:
    virtual void SetField(ChipField field, const std::string& text) = 0;
    virtual std::string Field(ChipField field) const = 0;
    virtual void setSecurityLine(const std::string& text) = 0;
    // The six chip-information texts emptied and the security line "SECURITY : UNKNOWN".
    virtual void resetChipInfo() = 0;
    virtual void EnableButton(IapButton button, bool enabled) = 0;
    virtual bool ButtonEnabled(IapButton button) const = 0;
    // Push the fields to the screen now (a long command is still running).
    virtual void Refresh() = 0;
    // The main window's title; views without one ignore it.
    virtual void SetWindowTitle(const std::string&) {}

    void SetIapStatus(const std::string& text) { SetField(ChipField::IapStatus, text); }
    // Every IAP command button as one set of availability rules gives it.
    void EnableButtons(const CommandAvailability& a) {
        EnableButton(IapButton::Read, a.read);
        EnableButton(IapButton::Download, a.download);
        EnableButton(IapButton::SectorErase, a.sectorErase);
        EnableButton(IapButton::DnloadRunUserCode, a.runUserCode);
        EnableButton(IapButton::LockChip, a.lockChip);
        EnableButton(IapButton::MemoryRemap, a.memoryRemap);
        EnableButton(IapButton::ChipErase, a.chipErase);
    }
};

}  // namespace tessel
