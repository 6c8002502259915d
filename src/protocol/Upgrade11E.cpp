#include "protocol/Upgrade11E.h"

#include <cstdio>
#include <ctime>
#include <fstream>
#include <optional>
#include <vector>

#include "device/CDeviceSession.h"
#include "device/CommandChecks.h"
#include "files/Backup.h"
#include "firmware/Firmware.h"
#include "platform/Clock.h"
#include "platform/Operator.h"
#include "platform/Paths.h"
#include "protocol/Detection.h"
#include "protocol/Primitives.h"
#include "protocol/WindowView.h"
#include "serial/LinkWorker.h"

namespace tessel {

namespace {

constexpr uint32_t kUserArea = 1280;
constexpr int kAttempts = 12;
// Longer than a 128-byte reply takes at the slowest rate a 1.1E loader runs at (9600 baud).
constexpr uint64_t kReplyDrainMs = 300;

constexpr IapButton kAllButtons[] = {IapButton::Download, IapButton::DnloadRunUserCode, IapButton::Read,
                                     IapButton::SectorErase, IapButton::ChipErase, IapButton::LockChip,
                                     IapButton::MemoryRemap};

// The session ends without a usable loader: the link goes down and every button with it, so
// that no later command speaks the 1.1F protocol to a loader that does not know it.
void EndSession(DetectionContext& c, MessageKind kind, const std::string& why, const char* next) {
    CDeviceSession& s = c.session;
    if (c.worker) StopLinkWorker(*c.worker);
    s.port.ClearLinkUp();
    s.flags.passwordVerified = false;
    for (IapButton b : kAllButtons) c.view.EnableButton(b, false);
    c.view.SetIapStatus(next);
    c.view.Refresh();
    c.op.ShowMessage(why + "\n" + next, kind);
}

constexpr char kStill11E[] =
    "The boot loader is still firmware 1.1E, which this version does not serve: reset the board and "
    "detect it again to retry the upgrade.";
constexpr char kRedetect[] =
    "The link to the board is closed: reset the board and detect it again (Detect Target MCU for Firmware1.1F).";

// A worker that gave up on an exchange is started afresh once the rest of the loader's reply
// has gone by: the loader returns to prompting after every command, so after a quiet spell
// and a purge only prompts are left on the line.
bool RestartWorker(DetectionContext& c) {
    CDeviceSession& s = c.session;
    StopLinkWorker(*c.worker);
    s.port.GetClock().SleepMs(kReplyDrainMs);
    LinkContext line{s, c.view};
    PurgeReplies(line);
    s.flags.errorReported = false;
    StartLinkWorker(*c.worker, s.port, s.port.Owner(), s.flags.errorReported, s.flags.workerRunning);
    return c.worker->Running();
}

// 1. Saves the user's code through the worker into `saved` and a backup file, whose name it
// gives; "" when the upgrade must not start (it has said why). The copy is all the operator
// has once the upgrade program is written over it, so it is taken only when two reads agree: a
// prompt of the loader's that crosses a read command on the line shifts one reply by a byte.
std::string SaveUserCode(DetectionContext& c, LinkContext& link, uint32_t sector, const std::string& backupDir,
                         std::vector<uint8_t>& saved) {
    CDeviceSession& s = c.session;
    if (const std::string hidden = Block0HiddenReason(s.chipType, s.flags.lockStatus); !hidden.empty()) {
        EndSession(c, MessageKind::Warning, hidden + ", so the user's code could not be saved; the upgrade was not started and nothing "
                               "was erased.",
                   kStill11E);
        return {};
    }
    const AgreedRead got = ReadAgreeing(saved, kAttempts, [&](std::vector<uint8_t>& into) {
        for (uint32_t a = 0; a < kUserArea; a += sector)
            if (ReadFlash(link, into.data() + a, a, sector, sector) != sector) {
                // A worker that gave up on the exchange is started afresh for the next read.
                if (RestartWorker(c)) link.worker = &c.worker->Transport();
                return false;
            }
        return true;
    });
    const bool saveOk = got == AgreedRead::Same;
    // Nothing is erased unless the operator's code is safe on disk first.
    const std::string backup =
        saveOk ? WriteBackupBinary(backupDir, "block0-0000-04FF", saved) : "";
    if (!saveOk || backup.empty()) {
        EndSession(c, MessageKind::Error,
                   saveOk ? "The user's code of block 0 could not be written to a backup file; "
                            "the upgrade was not started and nothing was erased."
                   : got == AgreedRead::Differed
                       ? "The user's code of block 0 read differently on two reads, so the line is not reliable; "
                         "the upgrade was not started and nothing was erased."
                       : "The user's code of block 0 could not be read; the upgrade was not "
                         "started and nothing was erased.",
                   kStill11E);
        return {};
    }
    if (s.flags.stop.Requested()) {
        // Nothing has been erased yet, so the copy is not needed.
        std::remove(backup.c_str());
        s.flags.stop.Note("the upgrade to 1.1F was not started; nothing was erased");
        EndSession(c, MessageKind::Warning, "Stopped before the upgrade erased anything.", kStill11E);
        return {};
    }
    s.flags.stop.KeepBackup(backup);
    return backup;
}

// 5 to 14. Finds the new loader after the upgrade program ran and shows what it reports;
// `marker` is set for each step that did not go as it should. Gives why the upgrade must end
// without restoring block 0, or nothing when the restore may run.
std::optional<std::string> FindNewLoader(DetectionContext& c, bool menuVariant, bool& marker) {
    CDeviceSession& s = c.session;
    CSerialPort& port = s.port;
    LinkContext direct{s, c.view};
    s.RefreshGeometry();
    if (port.IsLinkUp()) {
        c.op.Inform("ChipType had been detected earlier.");
        marker = true;
    }
    port.SetLinesInternalMode();
    // The whole status byte of the 1.1E detection: its bits 1:0 give the remap size.
    const uint8_t oldStatus = s.status11E;
    uint8_t status = oldStatus;
    uint8_t p = 0x11, q = 'F';
    // A loader that does not answer the handshake cannot take the restore either: erasing
    // block 0 into silence would only pile up unacknowledged frames, so the upgrade ends here.
    const BaudDetectResult baud = BaudDetectLoop(c, menuVariant ? 12000 : 10000);
    if (baud != BaudDetectResult::Ok) {
        if (baud == BaudDetectResult::TimedOut) c.op.Fail(Fault::NoAnswer, "Failed to setup RS232 connection with Target MCU!!!");
        else c.op.Fail("Failed on sending baud_detect_string #1.");
        if (baud == BaudDetectResult::TimedOut)
            return std::string("The boot loader never answered after the upgrade program was started.");
        marker = true;
    }
    static const uint8_t kBsl[3] = {'B', 'S', 'L'};
    if (!SendBlock(direct, kBsl)) {
        c.op.Fail("Failed on sending baud_detect_string #2.");
        marker = true;
    }
    uint8_t r[3] = {0, 0, 0};
    if (!ReadReply(direct, &r[0])) {
        c.op.Fail(Fault::NoAnswer, "Failed on receiving string RDY(0).");
        return std::string("The boot loader never answered after the upgrade program was started (no RDY).");
    } else if (!ReadReply(direct, &r[1])) {
        c.op.Fail(Fault::NoAnswer, "Failed on receiving string RDY(1).");
        return std::string("The boot loader stopped answering after the upgrade program was started (RDY cut short).");
    } else if (ReadReply(direct, &r[2]) && !(r[0] == 'R' && r[1] == 'D' && r[2] == 'Y')) {
        c.op.Fail(Fault::NoAnswer, "Failed on receiving string RDY(2).");
        marker = true;
    }
    const uint8_t req[2] = {cmd::kStatus, 0x55};
    if (!SendBlock(direct, req) && !menuVariant) c.op.Fail("Failed on sending 05h & 55h to Target MCU.");
    if (!ReadReply(direct, &status)) {
        status = oldStatus;
        if (!menuVariant) c.op.Fail(Fault::NoAnswer, "No Response from Target Board after sending 05h,55h!");
    }
    if (!SendByte(direct, cmd::kVersion)) {
        if (!menuVariant) c.op.Fail("Failed to send cmd 60h to Target Board!");
    } else if (!ReadReply(direct, &p)) {
        p = 0x11;
        if (!menuVariant) c.op.Fail(Fault::NoAnswer, "No Response from Target Board after sending cmd 60h!");
    } else if (!ReadReply(direct, &q)) {
        q = 'F';
    }
    port.SetLinkUp();
    s.AllocateImages();
    s.memoryMode = kInternalMemory;
    static const char* kRemapA[4] = {"0 KByte", "1 KByte", "2 KByte", "4 KByte"};
    c.view.SetField(ChipField::ReMap, kRemapA[oldStatus & 3]);
    s.remapText = kRemapA[oldStatus & 3];
    const bool known = IsTypeA(s.chipType);
    c.view.SetField(ChipField::ChipType, known ? s.Chip().model : "????????");
    c.view.SetField(ChipField::FlashSize, known ? s.Chip().flashSizeText : "????????");
    const bool versionOk = p == 0x11 && q == 'F';
    c.view.SetField(ChipField::FwVersion, !known ? "????????" : versionOk ? "v1.1F" : p == 0x11 ? "v1.1?" : "?????");
    c.session.loaderFirmware = known && versionOk ? LoaderFirmware::V11F : LoaderFirmware::Unknown;
    if (!versionOk) {
        c.op.Fail(menuVariant ? "F Wrong Firmware Version Detected in MCU chip!!!"
                              : "Wrong Firmware Version Detected in MCU chip!!!");
        marker = true;
    } else {
        c.view.SetIapStatus("Re-detect target MCU is done.");
    }
    if (s.currentBlock < 0 || s.currentBlock > 1) {
        c.op.Fail("Illegal Block Number Detected!!!");
        marker = true;
    }
    const uint8_t lock = status & kLockStatusMask;
    c.view.SetField(ChipField::MemMode, "Internal");
    c.view.EnableButton(IapButton::ChipErase, false);
    c.view.EnableButton(IapButton::MemoryRemap, false);
    c.view.EnableButton(IapButton::LockChip, false);
    c.view.EnableButton(IapButton::Read, true);
    const bool writable = versionOk && (lock == 0x00 || lock == 0x40 || lock == 0x20);
    c.view.EnableButton(IapButton::Download, writable);
    c.view.EnableButton(IapButton::SectorErase, writable);
    c.view.EnableButton(IapButton::DnloadRunUserCode, writable);
    return std::nullopt;
}

}  // namespace

std::string UpgradeBsl11E(DetectionContext& c, bool menuVariant, const std::string& backupDir) {
    CDeviceSession& s = c.session;
    CSerialPort& port = s.port;
    Clock& clock = port.GetClock();
    LongOperation quiet(s.flags);
    // Each step finishes whole, and once the upgrade program is in block 0 the upgrade runs to
    // its end: an operator's stop is looked at only before anything is erased.
    StopRequest::Hold hold(s.flags.stop);
    s.upgradeFailure.clear();
    if (!c.worker || !c.worker->Running()) {
        EndSession(c, MessageKind::Warning, "The 1.1E link is not running; the upgrade was not started.", kStill11E);
        return "";
    }

    const ResolvedFirmware& found = ResolveFirmware(FirmwareId::Upgrade11E);
    const FirmwareImage& image = found.image;
    if (!found.refusal.empty()) {
        EndSession(c, MessageKind::Error, FirmwareProblem(FirmwareId::Upgrade11E) + ". The boot loader was not touched.", kStill11E);
        return "";
    }
    if (found.standIn && !(port.Device() && port.Device()->IsStandInLine())) {
        EndSession(c, MessageKind::Warning, StandInRefusal(FirmwareId::Upgrade11E) + ". The boot loader was not touched.", kStill11E);
        return "";
    }
    const uint32_t sector = static_cast<uint32_t>(s.SectorSize(0));
    LinkContext link{s, c.view, &c.worker->Transport()};
    std::vector<uint8_t> saved(kUserArea, 0xFF);

    const std::string backup = SaveUserCode(c, link, sector, backupDir, saved);
    if (backup.empty()) return "";

    // Ends the upgrade where it failed: nothing more is sent on this session, since neither
    // the old loader nor the new one can be relied on to take it.
    auto fail = [&](const std::string& what) {
        s.upgradeFailure = what + " Block 0 was not restored: the user's code saved from 0000h-04FFh is in " +
                           backup + ".";
        c.view.resetProgress();
        EndSession(c, MessageKind::Error, "Upgrade Bootstrap Loader from 1.1E to 1.1F Failed!\n" + s.upgradeFailure, kRedetect);
        return backup;
    };

    // 2. Upload the upgrade program. Starting a program that was not written whole would hand
    // the chip to whatever the erase left.
    bool uploadOk = false;
    for (int attempt = 0; attempt < kAttempts && !uploadOk; ++attempt) {
        uploadOk = EraseSectors(link, 0, sector, static_cast<int>(kUserArea / sector)) &&
                   ProgramVerified(link, 0, sector, image.data, kUserArea);
    }
    if (!uploadOk) {
        fail("The upgrade program could not be erased, written and verified into block 0 (" +
             std::to_string(kAttempts) + " attempts); it was not started.");
        if (c.endApplication) c.endApplication();
        return backup;
    }

    // 3, 4. Hand over to the upgrade program.
    StopLinkWorker(*c.worker);
    port.ClearLinkUp();
    LinkContext direct{s, c.view};
    EmptyLine(direct);
    SendByte(direct, cmd::kRunUser);
    SendByte(direct, cmd::kRunUser);
    DrainLine(direct);
    clock.SleepMs(300);
    c.view.setProgressLabel("Upgrade is in process, please wait...");
    const uint64_t started = clock.TickMs();

    // 5 to 14. Find the new loader; every failure is recorded and the restore still runs.
    bool marker = false;
    if (const std::optional<std::string> lost = FindNewLoader(c, menuVariant, marker)) return fail(*lost);

    // 15, 16. Give the new loader time to settle, then put the user's code back directly.
    while (clock.TickMs() - started <= 6000) clock.SleepMs(10);
    s.SetCurrentBlock(0);
    bool restoreOk = false;
    for (int attempt = 0; attempt < kAttempts && !restoreOk; ++attempt) {
        restoreOk = EraseSectors(direct, 0, sector, static_cast<int>(kUserArea / sector)) &&
                    ProgramVerified(direct, 0, sector, saved.data(), kUserArea);
    }

    // 17. Outcome.
    if (restoreOk) s.flags.stop.DropBackup(backup);
    if (!restoreOk) {
        s.upgradeFailure = "The new loader is in place, but block 0 could not be erased, written and verified "
                           "back (" + std::to_string(kAttempts) + " attempts). Block 0 was not restored: the "
                           "user's code saved from 0000h-04FFh is in " + backup + ".";
        c.op.Fail("Upgrade Bootstrap Loader from 1.1E to 1.1F Completed!\nBut user's code on Block0 was "
                  "destroyed.\nIts saved copy is in " + backup);
        c.view.resetProgress();
        if (s.flags.stop.Requested())
            s.flags.stop.NoteLoss("the upgrade to 1.1F was finished, but block 0 could not be put back");
    } else if (marker) {
        s.upgradeFailure = "The new loader did not confirm itself as firmware 1.1F; block 0 was put back.";
        c.view.resetProgress();
        EndSession(c, MessageKind::Warning,
                   "Upgrade Bootstrap Loader from 1.1E to 1.1F Completed!\nBut you need to close and re-open "
                   "the application,\nand click on RS232 Config.and Detect Target MCU for Firmware1.1F\nto "
                   "detect chip.",
                   kRedetect);
    } else {
        if (menuVariant) c.view.SetWindowTitle("QMT Tessel11F Boot-Strap Loader(Fw:v1.1F)");
        c.op.Inform(menuVariant ? "Upgrade Bootstrap Loader from 1.1E to 1.1F Completed!"
                                : "Upgrade Bootstrap Loader from 1.1E to 1.1F Succeed!");
        c.view.resetProgress();
        c.view.SetIapStatus("Re-detect chip from target MCU for BSL1.1F is done.");
        c.view.Refresh();
        s.flags.userCodeRunning = false;
        c.op.Inform("Please continue to use IAP function.");
        if (s.flags.stop.Requested()) s.flags.stop.Note("the upgrade to 1.1F was finished and block 0 put back");
    }
    return backup;
}

}  // namespace tessel
