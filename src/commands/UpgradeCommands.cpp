#include "commands/UpgradeCommands.h"

#include "commands/Commands.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <iterator>
#include <memory>
#include <optional>
#include <string>

#include "device/CDeviceSession.h"
#include "device/CommandChecks.h"
#include "files/Backup.h"
#include "firmware/Firmware.h"
#include "commands/Block1Stub.h"
#include "commands/Commands.h"
#include "commands/FlashDialogs.h"
#include "commands/Target.h"

namespace tessel {

namespace {

constexpr int kStepAttempts = 12;

constexpr char kMonitraInternalOnly[] = "Downloading Monitra only works in internal memory mode!";
constexpr char kMonitraHardLocked[] = "Downloading Monitra doesn't work if Block0 or Block1 is hardlocked!";
constexpr char kMonitraQuestion[] =
    "Do you really want to download Monitra?\nBSL in Block1 will be erased.\nProceed to download?";
constexpr char kMonitraFailed[] = "Downloading Monitra Failed!";
constexpr char kMonitraCompleted[] =
    "Downloading Monitra Completed!\nPlease close the current application\nand open Keil to start debugging your\n"
    "code. Please refer to User's Guide on\nhow to convert back to BSL.";
constexpr char kMonitraAdapter[] =
    "Please press reset button on BSL demo board.\nIf you are using BSL demo board ver2.0 or greater, attach "
    "Monitra adapter on demo\nboard, and toggle Switch#1 to OFF, and Switch#8 to ON positions.\n";

constexpr uint32_t kMonitorBlock0Size = 4096;
constexpr int kMonitorBlock0Sectors = 32;

class UpgradeCommands {
public:
    UpgradeCommands(Target& w, FlashCommandEnv env) : w_(w), env_(std::move(env)) {}

    CDeviceSession& S() { return w_.Session(); }

    // Every failure ends with the bar back at its start and the failure kept for the next
    // command to see.
    bool Fail(const std::string& message) {
        S().flags.errorReported = true;
        w_.Op().Fail(message);
        w_.resetProgress();
        return false;
    }

    // A refusal before anything was sent but the password: the reason has been said.
    bool Refused() {
        S().flags.errorReported = true;
        w_.SetIapStatus("Upgrade BSL refused: nothing was erased.");
        w_.resetProgress();
        return false;
    }

    bool UpgradeInternal(std::optional<ImageRequest> given = std::nullopt) {
        CDeviceSession& s = S();
        if (!Block1RewriteReady(w_, "Update BSL only works in internal memory mode!",
                                "Update BSL doesn't work if Block0 or Block1 is hardlocked!"))
            return false;
        if (!PasswordGate(w_)) return false;

        // Everything that can refuse the new loader is settled before the stub is placed:
        // once the old loader's area is erased, only a loader that fits and can be entered
        // keeps the chip reachable.
        if (!given) {
            // The dialog lists block 1's sectors only.
            FileSectorDialog dialog(s, FileSectorDialog::Kind::UpgradeBsl);
            if (w_.Op().RunDialog(dialog) != DialogResult::Ok) return Fail("Upgrade BSL is cancelled!");
            given = ImageRequest{dialog.fileName, dialog.format, 1, dialog.startIndex, false};
        }
        const uint32_t address =
            static_cast<uint32_t>(s.StartAddress(1) + given->startSector * s.SectorSize(1));
        LinkContext link{s, w_, nullptr};
        LoadedImage image;
        if (ReadLoadImage(link, given->file, &image, given->format) != LoadResult::Ok) return Refused();
        if (const std::string why = CheckNewLoader(s, 1, address, image); !why.empty()) {
            w_.Op().Warn(why);
            return Refused();
        }
        if (!w_.Op().AskYesNo("Data in corresponding sectors will be erased.\nProceed to download?")) {
            w_.NoteDeclined();
            w_.SetResult("boot loader upgrade declined: the loader was not touched");
            return Fail("Upgrade BSL is cancelled!");
        }

        // The stub, not the loader, answers for most of this: the periodic check stays away.
        LongOperation quiet(s.flags);

        stub::Codes codes;
        int downloadCode = stub::kNotTried, eraseCode = stub::kNotTried, writeCode = stub::kNotTried;
        DownloadEnd downloaded = DownloadEnd::Failed;
        Block1StubOptions o;
        o.backupDir = env_.backupDir;
        o.selectFailed = "Update BSL Failed!";
        o.workDone = "the new boot loader was written and verified in block 1";
        o.workFailed = "the boot loader in block 1 may be erased or partly written";
        o.attempts = kStepAttempts;
        o.codes = &codes;
        o.beforeSwitchBack = [&link] { EmptyLine(link); };
        const bool ok = RunWithBlock1Stub(w_, o, [&] {
            w_.Refresh();
            s.bslUpgradeMode = true;
            downloaded = RunUpgradeDownload(w_, image, address);
            downloadCode = static_cast<int>(downloaded);
            s.bslUpgradeMode = false;
            // The password sector is rewritten whatever the download did: it lies in the
            // loader's block, which the upgrade may have erased. The gate's entry is the only
            // copy of the password there is.
            const bool rewritten = RewritePasswordSector(w_, link, s.gatePassword, kStepAttempts, &eraseCode, &writeCode);
            return downloaded == DownloadEnd::Done && rewritten;
        });
        // Ended before block 0 was read, or block 0 lost: the reason has been said.
        if (codes[stub::kSave0] == stub::kNotTried) return false;
        if (codes[stub::kSave0] == 0 && codes[stub::kSwitchIn] != 0 && codes[stub::kProgramStub] == 0)
            return Fail("Update Bootstrap Loader 6 Failed!");

        using namespace stub;
        const int results[] = {codes[kSave0],    codes[kSave1],     codes[kErase0],     codes[kErase1],
                               codes[kProgramStub], codes[kSwitchIn], downloadCode,     eraseCode,
                               writeCode,        codes[kSwitchBack], codes[kRestore0], codes[kRestoreErase],
                               codes[kRestore1]};
        for (size_t i = 0; i < std::size(results); ++i) {
            if (results[i] == 0) continue;
            if (i == 6 && downloaded == DownloadEnd::UpgradeDeclined) return Fail("Upgrade BSL is cancelled!");
            w_.SetIapStatus(FailedStepsLine(results, ", "));
            w_.Refresh();
            Fail("Upgrade Bootstrap Loader Failed!");
            if (!s.gatePassword.empty()) SayIfPasswordLost(w_, eraseCode, writeCode);
            return false;
        }
        if (!ok) return Fail("Upgrade Bootstrap Loader Failed!");
        s.flags.errorReported = false;
        w_.setProgressLabel("Done");
        w_.Op().Inform("Upgrade BSL Succeed!");
        w_.SetIapStatus("Upgrade BSL Succeed!");
        w_.SetResult("boot loader replaced with " + given->file);
        w_.Refresh();
        return true;
    }

    // Writes the board's own loader into the first 1152 bytes of the low window. Flash cells
    // only go from 1 to 0, so an older loader there must be erased first; the rest of its
    // 4 KB sector is read beforehand and written back with it, and saved to a file meanwhile.
    bool UpgradeExternal() {
        CDeviceSession& s = S();
        w_.SetIapStatus("");
        w_.Refresh();
        if (CheckCommandPreconditions(&s, &w_.Op(), CheckScope::ExternalFlash) != CheckOutcome::Proceed) return false;
        if (!s.externalLowOpen) {
            w_.Op().Warn("Please enter into Low64K in internal memory mode for external BSL upgrade!");
            return false;
        }
        const FirmwareImage* image = UsableFirmware(w_, FirmwareId::ExternalBsl);
        if (!image) return false;
        LinkContext link{s, w_, nullptr};
        // The board's loader is rewritten whole once begun: a stop waits for the end.
        StopRequest::Hold hold(s.flags.stop);
        CSerialPort::SilenceWatch silence(s.port);
        const uint32_t sector = static_cast<uint32_t>(kExternalSectorSize);
        const uint32_t piece = static_cast<uint32_t>(kExternalPieceSize);
        std::vector<uint8_t> old(sector);
        // The rest of the sector is written back from this copy and verified against it: it
        // must be what the flash holds, not what one read of the line made of it.
        const AgreedRead got = ReadAgreeing(link, old, 0, piece, kStepAttempts);
        bool ok = got == AgreedRead::Same;
        if (got == AgreedRead::Differed)
            w_.Op().Fail("The external flash's first sector read differently twice, so nothing was erased.");
        if (ok && !std::equal(image->data, image->data + image->size, old.begin())) {
            std::vector<uint8_t> merged = old;
            std::copy(image->data, image->data + image->size, merged.begin());
            const std::vector<BackupRegion> regions{{0, old}};
            const std::string backup = WriteBackupHex(env_.backupDir, "external-sector0", regions);
            s.flags.stop.KeepBackup(backup);
            ok = !backup.empty() && EraseSectors(link, 0, sector, 1) &&
                 ProgramVerified(link, 0, piece, merged.data(), sector);
            if (ok) {
                std::remove(backup.c_str());
                s.flags.stop.DropBackup(backup);
            }
            else if (!backup.empty())
                w_.Op().Fail("The external flash's first sector may now be erased or part-written; its earlier contents "
                    "are in " + backup + " (Intel HEX).");
        }
        const char* text = ok ? "Upgrade External BSL Succeed!" : "Upgrade External BSL Failed!";
        w_.setProgressLabel(ok ? "Done" : "Abort");
        w_.Op().ShowMessage(text, ok ? MessageKind::Information : MessageKind::Error);
        w_.SetIapStatus(text);
        w_.SetResult(ok ? "external boot loader written into the low window's first sector"
                        : "external boot loader write failed");
        w_.Refresh();
        return ok;
    }

    // Replaces the boot loader with the debug monitor. Nothing is erased before every image is
    // known to be usable and the block-0 areas about to be overwritten are saved to a file;
    // the loader's area is erased only once the stub (and on the A models the monitor's
    // block-0 part) is in place and has control. There is no way back to the loader from
    // here, so a success ends the application.
    bool DownloadMonitra() {
        CDeviceSession& s = S();
        if (!Block1RewriteReady(w_, kMonitraInternalOnly, kMonitraHardLocked)) return false;
        const std::optional<MonitorLayout>& m = s.Chip().monitor;
        if (!m) return false;
        const FirmwareImage* stubImage = UsableStub(w_);
        if (!stubImage) return false;
        const FirmwareImage* part0 = nullptr;
        if (m->block0Part && !(part0 = UsableFirmware(w_, m->part0))) return false;
        const FirmwareImage* part1 = UsableFirmware(w_, m->part1);
        if (!part1) return false;
        if (!PasswordGate(w_)) return false;
        if (!w_.Op().AskYesNo(kMonitraQuestion)) return false;
        // From here the stub, then nobody, answers for the chip: the periodic check stays away.
        LongOperation quiet(s.flags);

        LinkContext link{s, w_, nullptr};
        const bool typeA = m->block0Part;
        if (!typeA && !selectBlock0(link)) return Fail(kMonitraFailed);
        // Once begun, the monitor replaces the loader whole: an operator's stop is looked at
        // only before anything is erased.
        StopRequest::Hold hold(s.flags.stop);
        CSerialPort::SilenceWatch silence(s.port);
        const std::string backup = SaveMonitorArea(link, *m);
        if (backup.empty() || s.flags.stop.Requested()) {
            if (!backup.empty()) {
                std::remove(backup.c_str());
                s.flags.stop.DropBackup(backup);
                s.flags.stop.Note("stopped before the monitor download erased anything; nothing was changed");
            }
            return false;  // nothing changed: the loader still answers
        }
        quiet.Keep();

        std::array<int, 8> codes;
        codes.fill(stub::kNotTried);
        stub::Codes placed;
        placed.fill(stub::kNotTried);
        bool ready = PlaceStub(link, *stubImage, kStepAttempts, typeA, true, placed);
        codes[0] = typeA ? placed[stub::kErase0] : 0;
        codes[1] = placed[stub::kErase1];
        codes[2] = placed[stub::kProgramStub];
        if (!typeA) {
            codes[3] = codes[4] = 0;
        } else if (ready) {
            for (int i = 0; i < kStepAttempts; ++i) {
                codes[3] = stub::StepCode(EraseSectors(link, m->address0, stub::kPiece, kMonitorBlock0Sectors));
                codes[4] = codes[3] == 0 ? stub::StepCode(ProgramVerified(link, m->address0, stub::kPiece, part0->data,
                                                                          kMonitorBlock0Size))
                                         : stub::kNotTried;
                if (codes[3] == 0 && codes[4] == 0) break;
            }
            ready = codes[3] == 0 && codes[4] == 0;
        }
        // The loader's area is erased only with all of the monitor's other pieces in place:
        // a half-written monitor and no loader would leave nothing to start from.
        if (ready) {
            codes[5] = Retried(kStepAttempts, [&] { return stub::StepCode(SwitchBank(link, stub::kEntry, 0x10)); });
            w_.Refresh();
            ready = codes[5] == 0;
        }
        if (ready) {
            const uint32_t sector1 = static_cast<uint32_t>(s.SectorSize(1));
            for (int i = 0; i < kStepAttempts; ++i) {
                codes[6] = stub::StepCode(EraseSectors(link, m->address1, sector1, m->sectors1));
                codes[7] = codes[6] == 0 ? stub::StepCode(ProgramBootArea(link, m->address1, sector1, part1->data,
                                                                          static_cast<uint32_t>(part1->size)))
                                         : stub::kNotTried;
                if (codes[6] == 0 && codes[7] == 0) break;
            }
        }

        s.flags.errorReported = false;
        for (size_t i = 0; i < codes.size(); ++i) {
            if (codes[i] == 0) continue;
            s.flags.errorReported = true;
            w_.Op().Fail(kMonitraFailed);
            w_.resetProgress();
            w_.SetIapStatus(FailedStepsLine(codes) + ", " + std::to_string(i));
            w_.Refresh();
            // The fixed texts do not say whether the loader survived, nor where block 0 went.
            w_.Op().Fail(std::string(codes[6] == stub::kNotTried
                                ? "The boot loader in block 1 was not touched; it answers again after a reset."
                                : "The boot loader in block 1 may already be erased; the chip may not start "
                                  "it again.") +
                "\nBlock 0's areas that were erased or overwritten are saved in " + backup + " (Intel HEX).");
            return false;
        }
        w_.setProgressLabel("Done");
        w_.Op().Inform(kMonitraCompleted);
        w_.Op().Inform(kMonitraAdapter);
        w_.Op().Inform("Block 0's areas that the monitor and the programming stub took are saved in " + backup +
            " (Intel HEX).");
        w_.SetIapStatus("Downloading Monitra Completed!");
        w_.SetResult("The boot loader is gone: the chip now starts the debug monitor, and tessel cannot detect it "
                     "any more.");
        w_.Refresh();
        w_.RequestClose();
        return true;
    }

private:
    // Reads the block-0 areas that the monitor download erases or overwrites (the stub's, and
    // on the A models the first sector and the monitor's 4 KB) into a backup file. Its path,
    // or "" after saying why nothing may be erased.
    std::string SaveMonitorArea(LinkContext& link, const MonitorLayout& m) {
        if (const std::string hidden = Block0HiddenReason(S().chipType, S().flags.lockStatus); !hidden.empty()) {
            w_.Op().Warn(hidden + ", so it could not be saved and nothing was erased.");
            return {};
        }
        std::vector<BackupRegion> regions;
        if (m.block0Part) regions.push_back({stub::kSaveArea0, std::vector<uint8_t>(stub::kSaveArea0Size)});
        regions.push_back({stub::kSaveArea1, std::vector<uint8_t>(stub::kSaveArea1Size)});
        if (m.block0Part) regions.push_back({m.address0, std::vector<uint8_t>(kMonitorBlock0Size)});
        for (BackupRegion& r : regions) {
            // The monitor erases these for good: the file is the operator's only copy.
            const AgreedRead got = ReadAgreeing(link, r.bytes, r.address, stub::kPiece, kStepAttempts);
            if (got == AgreedRead::Differed) {
                w_.Op().Fail("Block 0 read differently on two reads, so the line is not reliable.\nBlock 0 could not be "
                    "saved, so nothing was erased.");
                return {};
            }
            if (got != AgreedRead::Same) {
                w_.Op().Fail("Failed to Read data byte from the chip!\nBlock 0 could not be saved, so nothing was erased.");
                return {};
            }
        }
        const std::string backup = WriteBackupHex(env_.backupDir, "block0-before-monitor", regions);
        // The monitor never puts these areas back: the file stays the operator's copy.
        S().flags.stop.KeepBackup(backup);
        if (backup.empty())
            w_.Op().Fail("Block 0's areas that the monitor download overwrites could not be written to a backup file "
                "under the state folder, so nothing was erased.");
        return backup;
    }

    Target& w_;
    FlashCommandEnv env_;
};

}  // namespace

std::string CheckNewLoader(const CDeviceSession& s, int block, uint32_t address, const LoadedImage& image) {
    const ChipInfo& chip = s.Chip();
    if (chip.bslSectorCount <= 0) return "The boot loader's area is not known for this chip type.";
    const uint32_t first = static_cast<uint32_t>(chip.bslFirstAddress);
    const uint32_t last = static_cast<uint32_t>(chip.bslLastAddress);
    const std::string area = "block 1's loader area, " + AddressText(first) + " to " + AddressText(last) + " on " + chip.model;
    if (block != 1)
        return "A new boot loader goes into " + area + ", not into block " + std::to_string(block) + ".";
    if (address < first || address > last)
        return "A new boot loader must start inside " + area + "; " + AddressText(address) + " lies outside it.";
    size_t end = image.bytes.size();
    while (end > 0 && !image.IsDefined(end - 1)) --end;
    if (end == 0) return image.path + ": the file holds no data.";
    if (address + end - 1 > last)
        return image.path + ": " + std::to_string(end) + " bytes from " + AddressText(address) + " run past the end of " +
               area + ".";
    if (chip.bslEntryAddress) {
        const uint32_t entry = *chip.bslEntryAddress;
        if (entry < address || !image.IsDefined(entry - address))
            return image.path + ": written from " + AddressText(address) + " it does not cover the loader's entry address " +
                   AddressText(entry) + ", where the chip would resume after the upgrade.";
    }
    return {};
}

CommandResult UpgradeLoader(Target& target, const ImageRequest& request) {
    UpgradeCommands c(target, {target.BackupDir(), {}});
    return target.RunCommand([&] { return c.UpgradeInternal(request); });
}

CommandResult WriteExternalLoader(Target& target) {
    UpgradeCommands c(target, {target.BackupDir(), {}});
    return target.RunCommand([&] { return c.UpgradeExternal(); });
}

CommandResult LoadMonitor(Target& target) {
    UpgradeCommands c(target, {target.BackupDir(), {}});
    return target.RunCommand([&] { return c.DownloadMonitra(); });
}

Actions UpgradeActions(Target& target, FlashCommandEnv env) {
    Actions out;
    auto c = std::make_shared<UpgradeCommands>(target, std::move(env));
    Target* w = &target;
    out.emplace_back(Action::UpgradeInternalBsl, [c, w] { w->SetCommandSucceeded(c->UpgradeInternal()); });
    out.emplace_back(Action::UpgradeExternalBsl, [c, w] { w->SetCommandSucceeded(c->UpgradeExternal()); });
    out.emplace_back(Action::DownloadMonitor, [c, w] { w->SetCommandSucceeded(c->DownloadMonitra()); });
    return out;
}

}  // namespace tessel
