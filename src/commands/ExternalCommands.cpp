#include "commands/ExternalCommands.h"

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "device/CDeviceSession.h"
#include "device/CommandChecks.h"
#include "firmware/Firmware.h"
#include "protocol/ConfigBits.h"
#include "commands/Block1Stub.h"
#include "commands/FlashCommands.h"
#include "commands/Commands.h"
#include "commands/Target.h"
#include "commands/MemoryView.h"

namespace tessel {

namespace {

constexpr int kAttempts = 12;
constexpr uint8_t kEnterExternal = 0x66;
constexpr uint8_t kLeaveExternal = 0x01;

struct WindowTexts {
    const char* name;
    const char* internalOnly;
    const char* instruction;
    const char* failed;
    const char* opened;
    const char* size;
};

#define TESSEL_SWITCHES(a16)                                                   \
    "Please set DIP switch on SW2 of\nBSL Demo Board v2.0 as follows:\n\n"     \
    "a.    EA1# = 1  or  #1 = OFF\nb.    CE# = 0    or  #2 = ON\n" a16         \
    "d.    RST1 = 1  or  #8 = OFF\ne.    Vcc >= 3.3V"

constexpr WindowTexts kLow{"low", "Entering Low 64KB of external flash only works in internal memory mode!",
                           TESSEL_SWITCHES("c.    A16 = 0     or  #3 = ON\n"),
                           "Entering Low 64KB of External Flash Failed!",
                           "Entering Low 64KB of External Flash Successful!", "Low 64KB"};
constexpr WindowTexts kHigh{"high", "Entering High 64KB of external flash only works in internal memory mode!",
                            TESSEL_SWITCHES("c.    A16 = 1     or  #3 = OFF\n"),
                            "Entering High 64KB of External Flash Failed!",
                            "Entering High 64KB of External Flash Successful!", "High 64KB"};
#undef TESSEL_SWITCHES

constexpr char kReturnFailed[] = "Return to MCU Flash Failed!";

class ExternalCommands {
public:
    ExternalCommands(Target& w, std::string backupDir) : w_(w), backupDir_(std::move(backupDir)) {}

    CDeviceSession& S() { return w_.Session(); }
    bool TypeA() { return S().Family() == ChipFamily::A; }

    bool Ready() {
        w_.SetIapStatus("");
        w_.Refresh();
        return CheckCommandPreconditions(&S(), &w_.Op(), CheckScope::ExternalFlash) == CheckOutcome::Proceed;
    }

    // Writes `a` `b` [`c`] while a byte is refused, at most kAttempts - 1 times more.
    bool SendRetried(std::initializer_list<uint8_t> bytes) {
        LinkContext link{S(), w_, nullptr};
        return Retried(kAttempts, [&] { return SendBytes(link, bytes) ? 0 : -1; }) == 0;
    }
    bool LeaveExternalProgram() { return SendRetried({kLeaveExternal, kLeaveExternal}); }

    bool Enter(bool high) {
        const WindowTexts& t = high ? kHigh : kLow;
        CDeviceSession& s = S();
        // Opening is one step: a stop is looked at once block 0 is prepared, and gives it back.
        StopRequest::Hold hold(s.flags.stop);
        CSerialPort::SilenceWatch silence(s.port);
        if (!Ready()) return false;
        if (s.currentBlock != 0 && s.currentBlock != 1) {
            w_.Op().Warn(kIllegalBlockNumber);
            return false;
        }
        if (s.memoryMode != kInternalMemory) {
            w_.Op().Warn(t.internalOnly);
            return false;
        }
        if (TypeA() && LockHidesBlock0(s.chipType, s.flags.lockStatus)) {
            w_.Op().Warn("External Flash can't be accessed if Block0 hard locked!");
            return false;
        }
        if (!PasswordGate(w_)) return false;
        w_.Op().Inform(t.instruction);
        const bool reopening = s.ExternalWindowOpen();
        if (reopening) {
            // The board's program is running: the loader takes the next opening. Block 0
            // still holds the stub, and the copy saved at the first opening stays the one
            // given back.
            if (s.externalProgramRunning && !LeaveExternalProgram()) return Failed(t);
            s.externalProgramRunning = false;
        } else if (std::string areasOut; TypeA() && PrepareExternalAccess(&areasOut) != 0) {
            return Failed(t, areasOut);
        }
        if (s.flags.stop.Requested()) {
            const bool back = !TypeA() || GiveBlock0Back(kAttempts);
            if (back)
                s.flags.stop.Note("the external flash window was not opened; block 0 is as it was");
            else
                s.flags.stop.NoteLoss("the external flash window was not opened; " + Block0AreasNotPutBack());
            return false;
        }
        const uint8_t mhz = static_cast<uint8_t>(std::ceil(s.crystalMHz));
        if (!SendRetried({kEnterExternal, kEnterExternal, mhz})) {
            // Nothing is open: the user's block 0 goes back rather than waiting for a return
            // that will not come.
            const std::string backup = w_.SavedAreas().file;
            const bool back = !TypeA() || w_.SavedAreas().regions.empty() || GiveBlock0Back(1);
            return Failed(t, back ? "" : backup);
        }
        s.externalLowOpen = !high;
        s.externalHighOpen = high;
        s.backInMcuFlash = false;
        s.externalProgramRunning = true;
        const CommandAvailability a =
            ComputeAvailability(s.Family(), s.memoryMode, s.flags.lockStatus, LoaderFirmware::Unknown,
                                ExternalWindowState::Open);
        SetButtons(a, false);
        w_.SetField(ChipField::ChipType, "NX40F128");
        w_.SetField(ChipField::FlashSize, t.size);
        w_.SetField(ChipField::MemMode, "External Flash");
        w_.SetField(ChipField::ReMap, "Not Applicable");
        w_.Memory().ShowExternalStatus(-1, -1);
        w_.Op().Inform(t.opened);
        w_.SetResult(std::string("the external flash's ") + t.name + " window was opened");
        return true;
    }

    // `areasOut`: the backup of block 0's areas, when they were changed and could not be put
    // back. The command's result then says so, and no report may call the failure harmless.
    bool Failed(const WindowTexts& t, const std::string& areasOut = "") {
        w_.Op().Fail(t.failed);
        if (!areasOut.empty())
            w_.SetResult(std::string("the external flash's ") + t.name + " window was not opened; " +
                         Block0AreasNotPutBack(areasOut));
        return false;
    }

    // The A models' external-access program needs its stub in block 0 at 2000h. On failure,
    // `areasOut` names the backup of the areas when they were left changed.
    int PrepareExternalAccess(std::string* areasOut) {
        const FirmwareImage* image = UsableFirmware(w_, FirmwareId::ExternalStub);
        if (!image) return -1;
        LinkContext link{S(), w_, nullptr};
        stub::Codes codes;
        codes.fill(stub::kNotTried);
        std::vector<BackupRegion> saved;
        const std::string backup = SaveBlock0Areas(w_, link, kAttempts, codes, saved, backupDir_);
        bool placed = false;
        if (!backup.empty()) placed = PlaceStub(link, *image, kAttempts, true, true, codes);
        w_.Refresh();
        S().flags.errorReported = false;
        if (!placed) {
            S().flags.errorReported = true;
            using namespace stub;
            const int results[] = {codes[kSave0], codes[kSave1], codes[kErase0], codes[kErase1], codes[kProgramStub],
                                   backup.empty() ? -1 : 0};
            w_.SetIapStatus(FailedStepsLine(results));
            // An erase that was sent may have cleared the areas, whatever it answered: put back
            // what was read, or name the file that holds it.
            if (!backup.empty() && codes[kErase0] != stub::kNotTried) {
                stub::Codes restore;
                if (!RestoreBlock0Areas(w_, link, kAttempts, restore, saved, backup)) *areasOut = backup;
            } else if (!backup.empty()) {
                std::remove(backup.c_str());
                S().flags.stop.DropBackup(backup);
            }
            return -1;
        }
        w_.SavedAreas().regions = std::move(saved);
        w_.SavedAreas().file = backup;
        w_.setProgressLabel("Done");
        return 0;
    }

    // A request that the board's external-flash program does not know and the loader answers:
    // block 0's select on the H/L models, a one-byte read on the A models.
    bool LoaderAnswers() {
        LinkContext link{S(), w_, nullptr};
        if (IsHLFamily(S().Family())) return selectBlock0(link);
        uint8_t byte = 0;
        return ReadFlash(link, &byte, 0x0000, 1, 1) == 1;
    }

    // Writes the areas saved at the opening back; true when verified.
    bool GiveBlock0Back(int attempts, stub::Codes* codes = nullptr) {
        if (w_.SavedAreas().regions.empty()) return true;
        LinkContext link{S(), w_, nullptr};
        stub::Codes local;
        stub::Codes& c = codes ? *codes : local;
        const bool ok = RestoreBlock0Areas(w_, link, attempts, c, w_.SavedAreas().regions, w_.SavedAreas().file);
        if (ok) {
            w_.SavedAreas().regions.clear();
            w_.SavedAreas().file.clear();
        }
        return ok;
    }

    void ShowChipInfo() {
        CDeviceSession& s = S();
        w_.SetField(ChipField::MemMode, "Internal");
        w_.SetField(ChipField::ReMap, s.remapText);
        w_.SetField(ChipField::ChipType, s.Chip().model);
        w_.SetField(ChipField::FlashSize, s.Chip().flashSizeText);
    }

    void SetButtons(const CommandAvailability& a, bool lockAndRemapOnly) {
        if (!lockAndRemapOnly) {
            w_.EnableButtons(a);
            return;
        }
        w_.EnableButton(IapButton::LockChip, a.lockChip);
        w_.EnableButton(IapButton::MemoryRemap, a.memoryRemap);
    }

    bool Return(bool ask = true) {
        CDeviceSession& s = S();
        // Leaving the window is the recovery of every stopped window command: it runs whole.
        StopRequest::Hold hold(s.flags.stop);
        CSerialPort::SilenceWatch silence(s.port);
        if (!Ready()) return false;
        if (!s.ExternalWindowOpen()) {
            w_.Op().Inform("You are in Internal Memory mode already!");
            return false;
        }
        if (ask && !w_.Op().AskYesNo("Do you really want to return to internal memory mode?\n")) {
            w_.NoteDeclined();
            return false;
        }
        // After a reset the loader has the line again and the 01h 01h would start a chip
        // erase frame in it; the window is left by giving block 0 back alone.
        if (s.externalProgramRunning && !LeaveExternalProgram()) {
            w_.Op().Fail(kReturnFailed);
            return false;
        }
        s.externalProgramRunning = false;
        s.externalLowOpen = s.externalHighOpen = false;
        s.backInMcuFlash = true;
        ShowChipInfo();
        SetButtons(ComputeAvailability(s.Family(), s.memoryMode, s.flags.lockStatus, LoaderFirmware::Unknown,
                                       ExternalWindowState::BackInMcuFlash),
                   false);
        stub::Codes codes;
        const bool restoring = !w_.SavedAreas().regions.empty();
        if (!GiveBlock0Back(kAttempts, &codes)) {
            s.flags.errorReported = true;
            w_.SetResult("the external flash window was left; " + Block0AreasNotPutBack(w_.SavedAreas().file));
            if (s.flags.stop.Requested())
                s.flags.stop.NoteLoss("the external flash window was left; " + Block0AreasNotPutBack());
            w_.Op().Fail(kReturnFailed);
            using namespace stub;
            const int results[] = {codes[kRestore0], codes[kRestoreErase], codes[kRestore1]};
            w_.SetIapStatus(FailedStepsLine(results));
            return false;
        }
        // 01h has no reply: only the loader answering shows that the board left its program.
        // A verified restore of block 0 went through the loader already.
        if (!restoring && !LoaderAnswers()) {
            s.flags.errorReported = true;
            s.port.ClearLinkUp();
            w_.Op().Fail(std::string(kReturnFailed) +
                "\nThe board did not answer as the boot loader after leaving the external flash.\n"
                "Please press the reset button, and redetect the chip!");
            w_.SetIapStatus(kReturnFailed);
            return false;
        }
        w_.setProgressLabel("Done");
        if (s.flags.stop.Requested()) s.flags.stop.Note("the external flash window was left and block 0 put back");
        w_.Op().Inform("Return to MCU Flash Successful!");
        w_.SetIapStatus("Return to MCU Flash Successful!");
        w_.SetResult(restoring ? "the external flash window was left and block 0 put back"
                               : "the external flash window was left");
        return true;
    }

    // Detection found a window open. The reset that preceded it has ended the board's
    // program, so no 01h is sent: the loader would take it for the start of a chip erase.
    void LeaveAfterDetection() {
        CDeviceSession& s = S();
        StopRequest::Hold hold(s.flags.stop);
        CSerialPort::SilenceWatch silence(s.port);
        s.externalLowOpen = s.externalHighOpen = false;
        s.externalProgramRunning = false;
        if (s.memoryMode != kInternalMemory) {
            // External memory mode: one unchecked try, as the loader there may not reach block 0.
            GiveBlock0Back(1);
            return;
        }
        ShowChipInfo();
        if (IsHLFamily(s.Family())) w_.EnableButton(IapButton::LockChip, true);
        const bool ok = GiveBlock0Back(kAttempts);
        w_.resetProgress();
        if (!ok) {
            s.flags.errorReported = true;
            w_.Op().Inform("Please press the reset button, and redetect the chip!");
            return;
        }
        w_.SetIapStatus("");
    }

private:
    Target& w_;
    std::string backupDir_;
};

}  // namespace

Actions ExternalActions(Target& target, std::string backupDir) {
    Target* w = &target;
    Actions out;
    out.emplace_back(Action::ExternalLow, [w, backupDir] { w->SetCommandSucceeded(ExternalCommands(*w, backupDir).Enter(false)); });
    out.emplace_back(Action::ExternalHigh, [w, backupDir] { w->SetCommandSucceeded(ExternalCommands(*w, backupDir).Enter(true)); });
    out.emplace_back(Action::BackToMcu, [w, backupDir] { w->SetCommandSucceeded(ExternalCommands(*w, backupDir).Return()); });
    return out;
}

void LeaveExternalAfterDetection(Target& target) { ExternalCommands(target, target.BackupDir()).LeaveAfterDetection(); }

CommandResult OpenExternalWindow(Target& target, bool high) {
    ExternalCommands c(target, target.BackupDir());
    return target.RunCommand([&] { return c.Enter(high); });
}

// Without Back to MCU Flash's question: the caller opened the window for itself.
CommandResult LeaveExternalWindow(Target& target) {
    ExternalCommands c(target, target.BackupDir());
    return target.RunCommand([&] { return c.Return(false); });
}

}  // namespace tessel
