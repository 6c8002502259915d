#pragma once
// What every flash command tests before it touches the target, in one fixed order, and
// which commands the chip's state makes available. Both are decided from the session alone,
// so the main window's handlers and the command line share one rule.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "device/ChipCatalogue.h"

namespace tessel {

class CDeviceSession;
class Operator;

inline constexpr const char kNoChipSelected[] = "No flash chip has been selected/detected!!!";
inline constexpr const char kNoTargetBoard[] = "No target board has been located!!!";
inline constexpr const char kIllegalBlockNumber[] = "Illegal Block Number Detected!!!";
inline constexpr const char kChipTypeNotReported[] =
    "the 1.1F loader does not report its chip type; give --chip";

// Which of the checks a command runs.
enum class CheckScope {
    FlashCommand,   // session, link, user code, external window, password gate, block number
    ChipErase,      // session and link only
    ExternalFlash,  // session, link, user code; the command then tests its own conditions
};

enum class CheckOutcome {
    Proceed,
    Failed,              // the check's message has been shown
    RunExternalVariant,  // an external-flash window is open: run the command's variant
    GateDeclined,        // the password gate said no: end without a message
};

// Runs the checks of `scope` in order, stopping at the first that fails:
//   1. RefreshGeometry (when there is a session);
//   2. no session: kNoChipSelected;
//   3. link not set up: kNoTargetBoard;
//   4. user code running: kNoChipSelected;
//   5. an external-flash window open: RunExternalVariant;
//   6. the password gate declines: GateDeclined;
//   7. current block not 0 or 1: kIllegalBlockNumber.
// Clearing the "IAP Status:" line and refreshing the window, which precede step 1, belong to
// the caller: that line lives in the main window, not in the session.
// `passwordGate` returns true when the command may go on; an empty one lets every command
// through. `op` shows the failure message; when null, the session's owner does.
CheckOutcome CheckCommandPreconditions(CDeviceSession* session, Operator* op, CheckScope scope,
                                       const std::function<bool()>& passwordGate = {});

// Whether the lock state hides block 0 from reads (the loader gives 00h for every byte): a copy
// taken then is no copy, so nothing that must be put back may be taken from block 0. The same
// states refuse writes to block 0.
bool LockHidesBlock0(int chipType, int lockStatus);
// "60h", as the rules' reasons name a lock status.
std::string LockStatusText(int lockStatus);
// "0400h", as every message names an address.
std::string AddressText(uint64_t address);
// Why a copy of block 0 cannot be taken ("Block 0 is hidden from reads at lock status 60h"),
// or "" when the lock lets it be read.
std::string Block0HiddenReason(int chipType, int lockStatus);

// Whether the commands that rewrite block 1 through the programming stub (the password
// commands, the boot-loader upgrade, the debug-monitor download) may run in this lock state: 00h or 40h, and on the H/L
// chips 80h as well. Unknown chip types never.
bool LockAllowsBlock1Rewrite(int chipType, int lockStatus);

// Where the operator is when the command buttons are set.
enum class ExternalWindowState {
    None,           // the MCU's own flash, as a v1.1F detection leaves it
    Open,           // an external-flash window is open
    BackInMcuFlash, // the operator has just returned from a window ("&Back to MCU Flash")
};

struct CommandAvailability {
    bool read = false;
    bool download = false;
    bool sectorErase = false;
    bool runUserCode = false;  // Dnload/Run UserCode
    bool lockChip = false;
    bool memoryRemap = false;
    bool chipErase = false;

    bool operator==(const CommandAvailability&) const = default;
};

// The command buttons, as a pure function of the chip family, memory mode (1 internal,
// 2 external), lock status (status AND E0h), the loader's firmware and the external-flash
// window state: the rules of a v1.1F loader, and for 1.1E those its detection applies.
// In internal memory mode an Unknown family enables only Read. The same rules as
// CheckCommandRule, which the handlers and the command line ask.
CommandAvailability ComputeAvailability(ChipFamily family, int memoryMode, int lockStatus,
                                        LoaderFirmware firmware, ExternalWindowState window);

// ---- The rule book ----
//
// Which command may run in which state of the session, looked up in one table keyed by the
// command. The window greys its buttons from it, every handler asks it again before its
// first byte, and the command line asks it after the detection, before it routes a command.

enum class RuledCommand {
    Read,
    Compare,
    Save,
    Download,
    SectorErase,
    RunUserCode,  // Dnload/Run UserCode
    LockChip,
    MemoryRemap,
    DoubleClock,
    ChipErase,
    // Beyond the buttons of the availability table: the commands whose own handlers test the
    // state, kept here so that every front end can ask before the first byte.
    ByteEdit,
    ExecuteUserCode,  // Run User Code on its own
    ChangePassword,
    SetResetPassword,
    UpgradeInternalBsl,
    DownloadMonitor,
    ExternalFlash,    // opening the external flash's low or high window
};

// Every command the rule book knows, in its order: for front ends and tests that walk it.
inline constexpr RuledCommand kAllRuledCommands[] = {
    RuledCommand::Read,           RuledCommand::Compare,          RuledCommand::Save,
    RuledCommand::Download,       RuledCommand::SectorErase,      RuledCommand::RunUserCode,
    RuledCommand::LockChip,       RuledCommand::MemoryRemap,      RuledCommand::DoubleClock,
    RuledCommand::ChipErase,      RuledCommand::ByteEdit,         RuledCommand::ExecuteUserCode,
    RuledCommand::ChangePassword, RuledCommand::SetResetPassword, RuledCommand::UpgradeInternalBsl,
    RuledCommand::DownloadMonitor, RuledCommand::ExternalFlash,
};

// What the rules look at.
struct RuleState {
    int chipType = 0;
    int memoryMode = kInternalMemory;
    int lockStatus = 0;
    LoaderFirmware firmware = LoaderFirmware::Unknown;
    ExternalWindowState window = ExternalWindowState::None;
    bool linkUp = false;
    bool userCodeRunning = false;
    bool chipTypeAssumed = false;  // nobody chose the chip type and no loader reported it
    // The "Fw Version:" text, which a refusal by firmware names; none: the firmware's own.
    std::string firmwareText{};
};

struct RuleVerdict {
    bool allowed = false;
    // Why not, naming the rule: "Lock Chip is not available on NX31A32 in internal memory
    // mode". Empty when allowed.
    std::string reason;
};

// The command's name as the window labels it ("Lock Chip", "Chip Erase").
const char* RuledCommandLabel(RuledCommand command);

// The state as the session holds it; the firmware's text, for the reasons, lives in the window.
RuleState RuleStateOf(const CDeviceSession& session, std::string_view firmware);

RuleVerdict CheckCommandRule(RuledCommand command, const RuleState& state);

// Whether the command erases or programs anything on the chip (block 0 borrowed for a stub
// counts); the others only read.
bool ChangesChip(RuledCommand command);

// The block-1 loader area that [address, address + length) of `block` overlaps, or "" when it
// touches none: "F000h-F3FFh, the boot loader's own area in block 1". Any overlap counts, in
// either memory mode: a loader that does not protect itself would be erased.
std::string LoaderAreaOverlap(int chipType, int block, uint32_t address, uint64_t length);

}  // namespace tessel
