#include "commands/Block1Stub.h"

#include <cstdio>
#include <vector>

#include "device/CDeviceSession.h"
#include "device/CommandChecks.h"
#include "files/Backup.h"
#include "firmware/Firmware.h"
#include "protocol/Password.h"
#include "commands/Target.h"

namespace tessel {

namespace {

using namespace stub;

void ReportLostBlock0(Target& w, const std::string& backup) {
    w.Session().flags.errorReported = true;
    // The external-flash window borrows the same areas as the block-1 stub does.
    w.Op().Fail(
        "Block 0 could not be restored after it was borrowed: its areas 0000h-007Fh and "
        "2000h-217Fh may now be erased or hold a programming stub.\nTheir saved contents are in " +
        backup + " (Intel HEX, at their own addresses).");
}

}  // namespace

bool Block1RewriteReady(Target& w, const char* internalOnly, const char* hardLocked) {
    CDeviceSession& s = w.Session();
    w.SetIapStatus("");
    w.Refresh();
    const CheckOutcome pre = CheckCommandPreconditions(&s, &w.Op(), CheckScope::FlashCommand);
    if (pre == CheckOutcome::Failed || pre == CheckOutcome::GateDeclined) return false;
    if (pre == CheckOutcome::RunExternalVariant || s.memoryMode != kInternalMemory) {
        w.Op().Warn(internalOnly);
        return false;
    }
    if (!LockAllowsBlock1Rewrite(s.chipType, s.flags.lockStatus)) {
        w.Op().Warn(hardLocked);
        return false;
    }
    return true;
}

std::string FailedStepsLine(std::span<const int> codes, const char* lastSeparator) {
    std::string line = "rc=";
    for (size_t i = 0; i < codes.size(); ++i) {
        if (i) line += i + 1 == codes.size() ? lastSeparator : ",";
        line += std::to_string(codes[i]);
    }
    return line + ". Failed!";
}

const FirmwareImage* UsableFirmware(Target& w, FirmwareId id) {
    CDeviceSession& s = w.Session();
    const ResolvedFirmware& found = ResolveFirmware(id);
    if (!found.refusal.empty()) {
        w.Op().Fail(FirmwareProblem(id) + ". Nothing on the chip was changed.");
        return nullptr;
    }
    if (found.standIn && !(s.port.Device() && s.port.Device()->IsStandInLine())) {
        w.Op().Warn(StandInRefusal(id) + ". Nothing on the chip was changed.");
        return nullptr;
    }
    return &found.image;
}

const FirmwareImage* UsableStub(Target& w) {
    const bool hl = IsHLFamily(w.Session().Family());
    return UsableFirmware(w, hl ? FirmwareId::Block1StubHL : FirmwareId::Block1StubA);
}

int Retried(int attempts, const std::function<int()>& step) {
    int rc = step();
    for (int i = 1; rc != 0 && i < attempts; ++i) rc = step();
    return rc;
}

bool PlaceStub(LinkContext& link, const FirmwareImage& image, int attempts, bool eraseArea0, bool eraseStubArea,
               Codes& codes) {
    const std::vector<uint8_t> bytes(image.data, image.data + image.size);
    int rc = 0;
    for (int i = 0; i < attempts; ++i) {
        if (eraseArea0) codes[kErase0] = StepCode(EraseSectors(link, kSaveArea0, kPiece, 1));
        if (eraseStubArea) codes[kErase1] = StepCode(EraseSectors(link, kSaveArea1, kPiece, 3));
        rc = (eraseArea0 ? codes[kErase0] : 0) | (eraseStubArea ? codes[kErase1] : 0);
        // Programming over cells that were not erased cannot give the stub.
        if (rc != 0) continue;
        codes[kProgramStub] =
            StepCode(ProgramVerified(link, kAddress, kPiece, bytes.data(), static_cast<uint32_t>(bytes.size())));
        rc = codes[kProgramStub];
        if (rc == 0) break;
    }
    return rc == 0;
}

bool EnterStub(LinkContext& link, const FirmwareImage& image, int attempts, bool eraseArea0, bool eraseStubArea,
               Codes& codes) {
    // Jumping into a stub that is not all there would leave the chip running garbage until
    // the next reset.
    if (!PlaceStub(link, image, attempts, eraseArea0, eraseStubArea, codes)) return false;
    codes[kSwitchIn] = Retried(attempts, [&] { return StepCode(SwitchBank(link, kEntry, 16)); });
    return codes[kSwitchIn] == 0;
}

std::string SaveBlock0Areas(Target& w, LinkContext& link, int attempts, Codes& codes,
                            std::vector<BackupRegion>& saved, const std::string& backupDir) {
    const CDeviceSession& s = w.Session();
    // The loader answers a hidden block with the lock's 00h bytes: writing those back would
    // wipe the code.
    if (const std::string hidden = Block0HiddenReason(s.chipType, s.flags.lockStatus); !hidden.empty()) {
        w.Op().Warn(hidden + ", so it could not be saved and nothing was erased.");
        return {};
    }
    saved = {{kSaveArea0, std::vector<uint8_t>(kSaveArea0Size)}, {kSaveArea1, std::vector<uint8_t>(kSaveArea1Size)}};
    bool differed = false;
    for (size_t r = 0; r < saved.size(); ++r) {
        const uint32_t piece = r == 0 ? static_cast<uint32_t>(s.SectorSize(0)) : kPiece;
        const AgreedRead got = ReadAgreeing(link, saved[r].bytes, saved[r].address, piece, attempts);
        codes[r == 0 ? kSave0 : kSave1] = got == AgreedRead::Same ? 0 : -1;
        differed = differed || got == AgreedRead::Differed;
        if (got != AgreedRead::Same) break;
    }
    if (codes[kSave0] != 0 || codes[kSave1] != 0) {
        // Without a sound copy the restore would write garbage over the user's code.
        w.Op().Fail(differed ? "Block 0 read differently on two reads, so the line is not reliable.\n"
                               "Block 0 could not be saved, so nothing was erased."
                             : "Failed to Read data byte from the chip!\nBlock 0 could not be saved, so nothing "
                               "was erased.");
        return {};
    }
    const std::string backup = WriteBackupHex(backupDir, "block0-stub-areas", saved);
    if (backup.empty())
        w.Op().Fail("Block 0's areas 0000h-007Fh and 2000h-217Fh could not be written to a backup file "
                    "under the state folder, so nothing was erased.");
    w.Session().flags.stop.KeepBackup(backup);
    return backup;
}

std::string Block0AreasNotPutBack(const std::string& backup) {
    std::string text = "block 0's areas 0000h-007Fh and 2000h-217Fh were not put back";
    if (!backup.empty()) text += "; their saved contents are in " + backup;
    return text;
}

bool RestoreBlock0Areas(Target& w, LinkContext& link, int attempts, Codes& codes,
                        const std::vector<BackupRegion>& saved, const std::string& backup) {
    for (int i = 0; i < attempts; ++i) {
        // A repeated restore starts from an erased first sector: the last try may have
        // programmed part of it. An erase that fails shows in the program's read-back.
        if (i > 0) (void)EraseSectors(link, kSaveArea0, kPiece, 1);
        codes[kRestore0] = StepCode(ProgramVerified(link, kSaveArea0, kPiece, saved[0].bytes.data(), kSaveArea0Size));
        codes[kRestoreErase] = StepCode(EraseSectors(link, kSaveArea1, kPiece, 3));
        codes[kRestore1] = StepCode(ProgramVerified(link, kSaveArea1, kPiece, saved[1].bytes.data(), kSaveArea1Size));
        if (codes[kRestore0] == 0 && codes[kRestoreErase] == 0 && codes[kRestore1] == 0) {
            // Back as it was: the copy has served its purpose.
            if (!backup.empty()) std::remove(backup.c_str());
            w.Session().flags.stop.DropBackup(backup);
            return true;
        }
    }
    ReportLostBlock0(w, backup);
    return false;
}

bool LeaveStub(Target& w, LinkContext& link, int attempts, Codes& codes) {
    const uint16_t entry = w.Session().Chip().bslEntryAddress.value_or(0);
    codes[kSwitchBack] = Retried(attempts, [&] { return StepCode(SwitchBank(link, entry, 1)); });
    return codes[kSwitchBack] == 0;
}

bool RewritePasswordSector(Target& w, LinkContext& link, const std::string& password, int attempts,
                           int* eraseCode, int* writeCode) {
    const CDeviceSession& s = w.Session();
    const uint16_t address = PasswordAddress(s.chipType);
    const uint32_t size = static_cast<uint32_t>(s.SectorSize(1));
    for (int i = 0; i < attempts; ++i) {
        *eraseCode = StepCode(EraseSectors(link, address, size, 1));
        *writeCode = 0;
        if (*eraseCode != 0) {
            *writeCode = kNotTried;
            continue;
        }
        if (!password.empty()) *writeCode = WritePassword(link, address, password);
        if (*writeCode == 0) return true;
    }
    return false;
}

bool SayIfPasswordLost(Target& w, int eraseCode, int writeCode) {
    if (eraseCode == kNotTried || (eraseCode == 0 && writeCode == 0)) return false;
    // A write that was not acknowledged may still have gone in: only "may" is true then.
    w.Op().Fail(Fault::Unconfirmed, std::string(eraseCode == 0 ? "The password sector was erased and the new password was not "
                                             "confirmed written: the chip may have no password now."
                                           : "The password sector's erase did not finish: the chip may have "
                                             "no password now.") +
                " Set one with Password Set/Reset (tessel password set) once the chip answers again.");
    return true;
}

bool RunWithBlock1Stub(Target& w, const Block1StubOptions& o, const std::function<bool()>& work) {
    CDeviceSession& s = w.Session();
    // The steps finish whole; an operator's stop is looked at between them, and block 0 is
    // put back before the procedure ends whatever happened.
    StopRequest& stop = s.flags.stop;
    StopRequest::Hold hold(stop);
    CSerialPort::SilenceWatch silence(s.port);
    Codes local;
    Codes& codes = o.codes ? *o.codes : local;
    codes.fill(kNotTried);
    const FirmwareImage* image = UsableStub(w);
    if (!image) return false;
    const bool hl = IsHLFamily(s.Family());
    LinkContext link{s, w, nullptr};
    if (hl && !selectBlock0(link)) {
        w.Op().Fail(o.selectFailed);
        return false;
    }
    std::vector<BackupRegion> saved;
    const std::string backup = SaveBlock0Areas(w, link, o.attempts, codes, saved, o.backupDir);
    if (backup.empty()) return false;
    if (stop.Requested()) {
        std::remove(backup.c_str());
        stop.DropBackup(backup);
        stop.Note("stopped before the programming stub was placed; nothing was changed");
        return false;
    }

    const bool stubRunning = EnterStub(link, *image, o.attempts, true, true, codes);
    bool workRan = false;
    bool worked = false;
    if (stubRunning) {
        if (!stop.Requested()) {
            workRan = true;
            if (o.workStopsBetweenChunks) {
                StopRequest::Release release(stop);
                worked = work();
            } else {
                worked = work();
            }
        }
        if (o.beforeSwitchBack) o.beforeSwitchBack();
    }
    // Said at the end, not when the work returns: a stop that comes while block 0 is put back
    // must still say what became of block 1.
    auto noteStop = [&](bool restored) {
        if (!stop.Requested()) return;
        stop.Note(!workRan ? "block 1 was not changed" : worked ? o.workDone : o.workFailed);
        if (restored)
            stop.Note("block 0 was put back as it was");
        else
            stop.NoteLoss(Block0AreasNotPutBack());
    };
    const bool leftStub = stubRunning && LeaveStub(w, link, o.attempts, codes);
    if (hl && !selectBlock0(link)) {
        w.Op().Fail(o.selectFailed);
        ReportLostBlock0(w, backup);
        noteStop(false);
        return false;
    }
    const bool restored = RestoreBlock0Areas(w, link, o.attempts, codes, saved, backup);
    noteStop(restored);
    if (!restored) return false;
    if (!stubRunning && o.stubFailed) w.Op().Fail(o.stubFailed);
    return leftStub && worked;
}

}  // namespace tessel
