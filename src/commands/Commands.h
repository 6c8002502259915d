#pragma once
// The commands as functions: each takes what the window's dialogs would ask as a request and
// returns how it ended. The window's handlers ask the operator in the dialogs, turn the answers
// into the same request and run the same code; the command line builds its requests from its
// options. The rule book, the guards and the questions about what is erased are inside, before
// the first byte that changes the chip, whichever door a command comes through.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "device/ChipCatalogue.h"
#include "files/HexImage.h"
#include "platform/Operator.h"
#include "protocol/Progress.h"

namespace tessel {

class Target;

// Sectors counted within a block, or within the open external-flash window (whose 16 sectors
// the block does not matter for). `count` 0 runs to the end of the block or window; a count
// that runs past it is cut there, as the dialogs' lists cut it.
struct SectorRange {
    int block = 0;
    int firstSector = 0;
    int count = 0;
};

// An image file to be written or compared from a sector of a block (or of the window).
struct ImageRequest {
    std::string file;
    ImageFormat format = ImageFormat::Auto;
    int block = 0;
    int startSector = 0;
    bool changedOnly = false;  // download: rewrite only the sectors that differ
};

struct SaveRequest {
    SectorRange range;
    std::string file;
    bool text = false;  // the hex-dump text rather than the binary or HEX the name asks for
};

// How a command ended. Refused: the rule book, a guard or a value said no before anything was
// sent. Declined: the operator answered No to the question that names what would be lost.
// Stopped: the operator's stop request ended it at a safe point.
enum class Outcome { Done, Refused, Declined, Stopped, Failed };

struct CommandResult {
    Outcome outcome = Outcome::Failed;
    // The command's result in the command line's words ("read 8 sectors at 0000h-03FFh, 3 not
    // blank"); empty when it left none.
    std::string summary;
    // Why it did not run or did not finish, when the rule book gave the reason.
    std::string reason;
    // What went wrong, where the code that saw it knew: the port, the target's silence, a lost
    // link, the image file. None for a command that ended well or for another cause.
    Fault fault = Fault::None;
    // The step of a flash operation that failed, its address and the byte seen there.
    std::optional<Failure> failure;

    bool Ok() const { return outcome == Outcome::Done; }
};

const char* OutcomeName(Outcome outcome);

// Where the password the loader asks for comes from when no dialog asks for it: the text for
// the `attempt`-th try (counting from 1), or nothing to give up.
using PasswordSource = std::function<std::optional<std::string>(int attempt)>;

// A detection with the chip type, memory mode, crystal and rate the set-up dialogs would ask
// for; the port is the session's. Done once a loader answered (of any firmware: the result
// line and the chip fields tell which).
struct DetectRequest {
    LoaderFirmware firmware = LoaderFirmware::V11F;
    int chipType = 0;
    int memoryMode = 0;
    double crystal = 11.0592;
    uint32_t baud = 0;
};
CommandResult DetectChip(Target& target, const DetectRequest& request);

// The flash commands; in an open external-flash window they work on the window.
CommandResult ReadSectors(Target& target, const SectorRange& range);
CommandResult SaveSectors(Target& target, const SaveRequest& request);
CommandResult EraseSectorRange(Target& target, const SectorRange& range);
CommandResult EraseWholeChip(Target& target);
// A compare also gives back what differed: how many bytes, and the first of them with both
// values (empty when it matched, or failed before it could compare).
struct CompareResult : CommandResult {
    CompareDifferences differences;
};
CompareResult CompareImage(Target& target, const ImageRequest& request);
CommandResult DownloadImage(Target& target, const ImageRequest& request);

// The one-time bits: a choice of the chip's lock menu or of the remap menu, and the H/L chips'
// double-clock bit.
CommandResult ProgramLock(Target& target, LockChoice choice);
CommandResult RemapMemory(Target& target, RemapChoice choice);
CommandResult ToggleDoubleClock(Target& target);

// Byte Edit: up to 16 bytes of block 0 at a four-hex-digit address, shown (`data` empty) or
// replaced by the hex bytes of `data` ("72 4F 5D"); the sector they fall into is rewritten.
struct EditRequest {
    std::string address;
    std::string data;
};
struct EditResult : CommandResult {
    std::string shown;         // the bytes as the chip holds them afterwards
    bool chipChanged = false;  // block 0 was rewritten, whether or not the new bytes read back
};
EditResult EditBlock0(Target& target, const EditRequest& request);

// The loader's password: changed (the current one given), or set or removed (an empty one)
// with block 0 erased. The texts are asked for each attempt, as the dialogs open again after
// a mistyped one; a source that gives nothing ends the command.
struct NewPassword {
    std::string password;
    std::string retype;
};
struct PasswordRequest {
    std::function<std::optional<std::string>(int attempt)> current;  // Change only
    std::function<std::optional<NewPassword>(int attempt)> next;
    bool lockOption = false;  // Set: the A-type chips' level-3 soft lock as well
};
CommandResult ChangePassword(Target& target, const PasswordRequest& request);
CommandResult SetPassword(Target& target, const PasswordRequest& request);

// The user's program: started (the loader then stops answering).
CommandResult RunUserProgram(Target& target);
// The cable test: the port's lines and a loop of bytes, with no chip needed.
CommandResult TestCable(Target& target);

// The boot loader: replaced from a file (block 1, from `startSector`), the demonstration
// board's own loader written into its external flash's low window, or the debug monitor
// loaded in its place.
CommandResult UpgradeLoader(Target& target, const ImageRequest& request);
CommandResult WriteExternalLoader(Target& target);
CommandResult LoadMonitor(Target& target);

// The external flash of the demonstration board: its low or high 64 KB window, and back.
CommandResult OpenExternalWindow(Target& target, bool high);
CommandResult LeaveExternalWindow(Target& target);

}  // namespace tessel
