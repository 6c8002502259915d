#include "protocol/Detection.h"

#include <cstdio>

#include "calc/BaudCalc.h"
#include "device/CDeviceSession.h"
#include "device/ChipCatalogue.h"
#include "device/CommandChecks.h"
#include "platform/Clock.h"
#include "platform/Operator.h"
#include "protocol/Primitives.h"
#include "protocol/WindowView.h"
#include "serial/CByteRing.h"
#include "serial/LinkWorker.h"

namespace tessel {

namespace {

const char kUnknownText[] = "????????";

// What the handshake steps after "OK" found; the variants differ only in a few texts.
enum class Variant { Menu11F, Unknown };

}  // namespace

std::string SecurityLineFor(int chipType, uint8_t status, bool* alert) {
    const bool a = IsTypeA(chipType);
    const bool hl = IsHLChip(chipType);
    bool warn = false;
    std::string line;
    switch ((status & kLockStatusMask) >> 5) {
        case 0: line = "SECURITY : CHIP IS UNLOCKED (FCST[7:5]:000)"; break;
        case 1: line = "SECURITY : CHIP IS LEVEL3 SOFTLOCKED BLK0 & HARDLOCKED BLK1 (FCST[7:5]:001)"; break;
        case 2: line = "SECURITY : CHIP IS LEVEL3 SOFTLOCKED (FCST[7:5]:010)"; break;
        case 3:
            if (a) { line = "SECURITY : CHIP IS LEVEL4 HARDLOCKED (FCST[7:5]:011)"; warn = true; }
            else if (hl) line = "SECURITY : CHIP IS LEVEL3 HARDLOCKED (FCST[7:5]: 011)";
            break;
        case 4:
            if (a) line = "SECURITY : CHIP IS LEVEL2 HARDLOCKED (FCST[7:5]:100)";
            else if (hl) line = "SECURITY : CHIP IS LEVEL2 SOFTLOCKED (FCST[7:5]:100)";
            break;
        case 5: line = "SECURITY : CHIP IS LEVEL3 HARDLOCKED (FCST[7:5]:101)"; break;
        case 6:
            if (a) line = "SECURITY : CHIP IS LEVEL3 HARDLOCKED (FCST[7:5]:110)";
            else if (hl) line = "SECURITY : CHIP IS LEVEL3 SOFTLOCKED BLK0 & HARDLOCKED BLK1 (FCST[7:5]:110)";
            break;
        default: line = "SECURITY : CHIP IS LEVEL4 HARDLOCKED (FCST[7:5]:111)"; warn = true; break;
    }
    if (alert) *alert = warn;
    return line;
}

int DecodeSecurityStatus(DetectionContext& c, uint8_t status) {
    c.session.flags.lockStatus = status & kLockStatusMask;
    bool alert = false;
    const std::string line = SecurityLineFor(c.session.chipType, status, &alert);
    if (!line.empty()) c.view.setSecurityLine(line);
    if (alert) c.op.Fail("PLEASE STOP AND EXIT THE WINDOW!!!");
    return 0;
}

BaudDetectResult BaudDetectLoop(DetectionContext& c, uint32_t limitMs) {
    StopRequest& stop = c.session.flags.stop;
    const BaudDetectResult r = BaudDetect(c.session.port, limitMs, [&stop] { return stop.Due(); });
    if (r == BaudDetectResult::Stopped) stop.Note("the boot loader had not answered yet");
    return r;
}

void ApplyButtonRule11F(DetectionContext& c, int memoryMode, uint8_t lockStatus, bool versionOk) {
    const CommandAvailability a =
        ComputeAvailability(c.session.Family(), memoryMode, lockStatus,
                            versionOk ? LoaderFirmware::V11F : LoaderFirmware::Unknown, ExternalWindowState::None);
    c.view.EnableButtons(a);
    // A fresh detection ends the state of a return from an external-flash window.
    c.session.backInMcuFlash = false;
}

namespace {

// Steps 6 to 20 of the handshake, shared by the 1.1F and the unknown-firmware detections.
// False when the detection ended at a step (its message shown).
bool HandshakeAfterOk(DetectionContext& c, Variant variant) {
    CDeviceSession& s = c.session;
    CSerialPort& port = s.port;
    LinkContext link{s, c.view};
    static const uint8_t kBsl[3] = {'B', 'S', 'L'};
    if (!SendBlock(link, kBsl)) {
        c.op.Fail("Failed on sending baud_detect_string #2.");
        return false;
    }
    uint8_t rdy[3] = {0, 0, 0};
    if (!ReadReply(link, &rdy[0])) {
        c.op.Fail(Fault::NoAnswer, "Failed on receiving string RDY(0).");
        return false;
    }
    if (!ReadReply(link, &rdy[1])) {
        c.op.Fail(Fault::NoAnswer, "Failed on receiving string RDY(1).");
        return false;
    }
    // A missing third byte is tolerated: some loaders drop it at the slowest rates.
    if (ReadReply(link, &rdy[2]) && !(rdy[0] == 'R' && rdy[1] == 'D' && rdy[2] == 'Y')) {
        c.op.Fail(Fault::NoAnswer, "Failed on receiving string RDY(2).");
        return false;
    }

    const int mode = variant == Variant::Unknown ? kInternalMemory : s.memoryMode;
    if (mode == kInternalMemory) {
        const uint8_t req[2] = {cmd::kStatus, 0x55};
        if (!SendBlock(link, req)) {
            c.op.Fail("Failed on sending 05h & 55h to Target MCU.");
            return false;
        }
    } else {
        if (const uint8_t second = s.Chip().externalStatusMode; second != 0) {
            const uint8_t req[2] = {cmd::kStatus, second};
            if (!SendBlock(link, req)) {
                char failText[48];
                std::snprintf(failText, sizeof failText, "Failed on sending 05h and %02Xh to Target MCU.", second);
                c.op.Fail(failText);
                return false;
            }
        }
    }
    uint8_t status = 0xFF;
    if (!ReadReply(link, &status)) {
        c.op.Fail(Fault::NoAnswer, "No Response from Target Board after sending 05h,55h!!!");
        return false;
    }
    uint8_t p = 0xFF, q = 0xFF;
    if (!SendByte(link, cmd::kVersion) || !ReadReply(link, &p) || !ReadReply(link, &q)) {
        c.op.Fail(Fault::NoAnswer, "No Response from Target Board after sending 60h!!!");
        return false;
    }

    port.SetLinkUp();
    s.externalProgramRunning = false;
    s.AllocateImages();
    if (variant == Variant::Unknown) s.memoryMode = kInternalMemory;
    DecodeSecurityStatus(c, status);

    const std::string remap = RemapText(s.Family(), status);
    c.view.SetField(ChipField::ReMap, remap);
    if (IsHLChip(s.chipType)) s.flags.doubleClockOn = (status & 0x08) == 0x08;
    s.remapText = remap;

    const bool known = IsKnownChipType(s.chipType);
    c.view.SetField(ChipField::ChipType, known ? s.Chip().model : kUnknownText);
    c.view.SetField(ChipField::FlashSize, known ? s.Chip().flashSizeText : kUnknownText);
    const bool versionOk = p == 0x11 && q == 0x46;
    if (!known) c.view.SetField(ChipField::FwVersion, kUnknownText);
    else c.view.SetField(ChipField::FwVersion, versionOk ? "v1.1F" : (p == 0x11 ? "v1.1?" : "?????"));
    s.loaderFirmware = known && versionOk ? LoaderFirmware::V11F : LoaderFirmware::Unknown;
    if (!versionOk) {
        c.op.Fail("Wrong Firmware Version Detected in MCU chip!!!");
        return false;
    }
    c.view.SetIapStatus("Detect target MCU is successful!");
    if (variant == Variant::Unknown) c.view.setProgressLabel("Done");
    if (s.currentBlock < 0 || s.currentBlock > 1) {
        c.op.Fail("Illegal Block Number Detected!!!");
        return false;
    }
    const uint8_t lock = status & kLockStatusMask;
    c.view.SetField(ChipField::MemMode, s.memoryMode == kInternalMemory ? "Internal" : "External");
    ApplyButtonRule11F(c, s.memoryMode, lock, versionOk);
    c.view.Refresh();
    return true;
}

// The port's own reason follows the fixed text, so that a busy or forbidden device is named.
bool OpenForDetection(DetectionContext& c) {
    CSerialPort& port = c.session.port;
    if (port.Open() == 0) return true;
    c.op.Fail(Fault::Port, "Failed to setup Serial Comm with Target MCU!!!");
    if (!port.LastOpenError().reason.empty()) c.op.Fail(Fault::Port, port.LastOpenError().reason);
    return false;
}

void DoubleClockFollowUp(DetectionContext& c) {
    CDeviceSession& s = c.session;
    if (!s.flags.doubleClockOn || s.port.GetBaudRate() >= 38400 || s.crystalQuestionAsked) return;
    if (!c.op.AskYesNo("Since the chip has been set to Double Clock, you can enter twice the original "
                       "crystal frequency.\n (e.g. You entered 2MHz before setting double clock, now "
                       "you can enter 4MHz.)\n\nDo you want to enter another crystal frequency?"))
        return;
    ResetLink(c);
    s.crystalQuestionAsked = true;
    if (c.runCommSetupDialog && c.runCommSetupDialog()) Detect11F(c);
}

}  // namespace

namespace {
constexpr char kResetFor11F[] = "Click on OK then Reset MCU\nto Detect Baud & Chip\n(MCU:Fw v1.1F)";
}  // namespace

void Detect11F(DetectionContext& c) {
    CDeviceSession& s = c.session;
    s.RefreshGeometry();
    if (s.port.IsLinkUp()) return;
    c.op.PromptReset(kResetFor11F, kBaudDetectLimitMs);
    if (!OpenForDetection(c)) return;
    if (s.memoryMode == kInternalMemory) s.port.SetLinesInternalMode();
    else s.port.SetLinesExternalMode();
    BaudDetectResult found = BaudDetectLoop(c, kBaudDetectLimitMs);
    // A rate beyond the loader's documented list was worth a try; a loader that cannot
    // follow it gets one more at the best listed rate for the crystal, after a new reset.
    if (found == BaudDetectResult::TimedOut && isBeyondListRate(s.port.GetBaudRate())) {
        const uint32_t tried = s.port.GetBaudRate();
        const uint32_t listed = computeBestRate(s.crystalMHz, kCommSetupCandidates, true).rate;
        char crystal[32];
        std::snprintf(crystal, sizeof crystal, "%.4f", s.crystalMHz);
        c.op.ShowNote("The loader did not answer at " + std::to_string(tried) +
                      " baud, beyond its documented list; trying " + std::to_string(listed) +
                      " baud, the best rate of that list for " + crystal + " MHz.");
        s.port.SetBaudRate(listed);
        c.op.PromptReset(kResetFor11F, kBaudDetectLimitMs);
        if (!OpenForDetection(c)) return;
        if (s.memoryMode == kInternalMemory) s.port.SetLinesInternalMode();
        else s.port.SetLinesExternalMode();
        found = BaudDetectLoop(c, kBaudDetectLimitMs);
    }
    switch (found) {
        case BaudDetectResult::TimedOut:
            c.op.Fail(Fault::NoAnswer, "Failed to setup RS232 connection with Target MCU!!!");
            return;
        case BaudDetectResult::WriteFailed:
            c.op.Fail("Failed on sending baud_detect_string #1.");
            return;
        case BaudDetectResult::Stopped: return;
        case BaudDetectResult::Ok: break;
    }
    if (!HandshakeAfterOk(c, Variant::Menu11F)) return;
    // The loader answered after a reset: whatever the user's program was doing has ended.
    s.flags.userCodeRunning = false;
    if (s.ExternalWindowOpen()) {
        // The window's owner gives block 0 back (A models) as the memory mode allows.
        if (c.returnToMcuFlash) c.returnToMcuFlash();
        else s.externalLowOpen = s.externalHighOpen = false;
    }
    DoubleClockFollowUp(c);
}

void DetectUnknown(DetectionContext& c) {
    CDeviceSession& s = c.session;
    s.RefreshGeometry();
    if (s.port.IsLinkUp()) {
        c.op.Inform("ChipType had been detected earlier.");
        return;
    }
    c.op.PromptReset("Click on OK then Reset MCU\nto Detect Baud & Chip\n(We will detect MCU:FW 1.1F first.)",
                     kUnknownBaudDetectLimitMs);
    if (!OpenForDetection(c)) return;
    s.port.SetLinesInternalMode();
    c.view.setProgressLabel("Reset MCU, then wait for detecting Firmware 1.1F...");
    switch (BaudDetectLoop(c, kUnknownBaudDetectLimitMs)) {
        case BaudDetectResult::TimedOut:
            c.view.setProgressLabel("Detect Firmware 1.1F failed...");
            c.op.Inform("Failed to detect Firmware 1.1F,\nnow we will try to detect 1.1E.");
            if (c.detect11EFallback) c.detect11EFallback();
            return;
        case BaudDetectResult::WriteFailed:
            c.op.Fail("Failed on sending baud_detect_string #1.");
            return;
        case BaudDetectResult::Stopped: return;
        case BaudDetectResult::Ok: break;
    }
    if (!HandshakeAfterOk(c, Variant::Unknown)) return;
    c.view.SetField(ChipField::MemMode, "Internal");
    c.view.EnableButton(IapButton::ChipErase, false);
    s.flags.userCodeRunning = false;
    DoubleClockFollowUp(c);
}

void ResetLink(DetectionContext& c, const std::function<void()>& stopWorker) {
    CDeviceSession& s = c.session;
    if (s.flags.workerRunning && stopWorker) stopWorker();
    c.view.resetChipInfo();
    s.loaderFirmware = LoaderFirmware::Unknown;
    s.port.ClearLinkUp();
    LinkContext link{s, c.view};
    EmptyLine(link);
    s.flags.errorReported = false;
    s.flags.passwordVerified = false;
    c.view.Refresh();
    s.port.PulseRts();
    // The pulse resets the board, and with it any external-flash program it ran.
    s.externalProgramRunning = false;
    if (s.memoryMode == kExternalMemory) {
        SendByte(link, cmd::kClose);
        SendByte(link, cmd::kClose);
    }
}

}  // namespace tessel

namespace tessel {

int ResetWait11E(DetectionContext& c, uint8_t* status) {
    CDeviceSession& s = c.session;
    CSerialPort& port = s.port;
    Clock& clock = port.GetClock();
    LinkContext link{s, c.view};
    const uint64_t t0 = clock.TickMs();
    auto expired = [&] { return clock.TickMs() - t0 > kResetWait11EMs; };
    // The operator may give up on a board that never answers without waiting out the limit.
    auto stopped = [&] {
        if (!s.flags.stop.Due()) return false;
        s.flags.stop.Note("the boot loader had not answered yet");
        return true;
    };
    for (;;) {
        if (s.flags.errorReported) return 0;
        if (stopped()) return -1;
        EmptyLine(link);
        port.SetLinesInternalMode();
        int gaveUp = 0;
        if (!AwaitPrompt(link, [&] {
                gaveUp = expired() ? 0 : stopped() ? -1 : 1;
                return gaveUp < 1;
            }))
            return gaveUp;
        if (!SendByte(link, cmd::kStatus) || !SendByte(link, 0x55)) return 0;
        // The reply is waited for under the same overall limit as the resets.
        uint8_t b = 0;
        while (!ReadReply(link, &b)) {
            if (expired() || s.flags.errorReported) return 0;
            if (stopped()) return -1;
        }
        if (b != kPrompt11E) {
            port.SetLinkUp();
            s.externalProgramRunning = false;
            *status = b;
            return 1;
        }
        if (expired()) return 0;
    }
}

void Detect11E(DetectionContext& c, bool menuVariant) {
    CDeviceSession& s = c.session;
    LongOperation quiet(s.flags);
    if (!c.worker) return;
    if (menuVariant && s.port.IsLinkUp() && s.flags.workerRunning) {
        c.op.Inform("ChipType had been detected earlier.");
        return;
    }
    if (!s.flags.workerRunning)
        StartLinkWorker(*c.worker, s.port, s.port.Owner(), s.flags.errorReported, s.flags.workerRunning);

    uint8_t status = 0;
    {
        // The operator thread has the line to itself while it resets the target; the worker
        // stays parked and reads nothing, so neither side takes the other's bytes.
        LinkWorker::PortLease lease(*c.worker);
        c.op.PromptReset("Click on OK then Reset MCU\nto Auto Detect Chip Type\n(MCU:Fw v1.1E-Int. Mode)",
                         kResetWait11EMs);
        if (menuVariant) {
            if (s.port.Open() != 0) {
                c.op.Fail(Fault::Port, "Failed to set up RS232 connection with Target Board!!!");
                if (!s.port.LastOpenError().reason.empty()) c.op.Fail(Fault::Port, s.port.LastOpenError().reason);
                return;
            }
            s.port.SetLinesInternalMode();
        } else {
            c.view.EnableButton(IapButton::ChipErase, false);
            c.view.EnableButton(IapButton::MemoryRemap, false);
            c.view.EnableButton(IapButton::LockChip, false);
            c.view.setProgressLabel("Reset MCU, then wait for detecting Firmware 1.1E...");
        }
        const int waited = ResetWait11E(c, &status);
        if (waited < 0) return;
        if (waited == 0) {
            c.op.Fail(Fault::NoAnswer, "No Response from Target Board!!!");
            return;
        }
    }
    s.memoryMode = kInternalMemory;
    s.status11E = status;
    DecodeSecurityStatus(c, status);
    if (!s.port.IsLinkUp()) {
        c.op.Fail("No target board has been located!!!");
        return;
    }
    s.AllocateImages();
    static const char* kRemapA[4] = {"0 KByte", "1 KByte", "2 KByte", "4 KByte"};
    c.view.SetField(ChipField::ReMap, kRemapA[status & 3]);
    s.remapText = kRemapA[status & 3];

    uint8_t k = 0xFF, p = 0xFF, q = 0xFF;
    LinkContext queued{s, c.view, &c.worker->Transport()};
    // Each reply byte is bounded, so a worker that died does not hang the detection.
    (void)(SendCode(queued, cmd::kVersion) && ReadReply(queued, &k) && ReadReply(queued, &p) &&
           ReadReply(queued, &q));
    bool failed = false;
    if (k == 0xE4 || k == 0xE2) {
        s.chipType = static_cast<int>(k == 0xE4 ? ChipCode::NX31A16 : ChipCode::NX31A32);
        s.chipTypeAssumed = false;
        s.RefreshGeometry();
        s.AllocateImages();
        c.view.SetField(ChipField::ChipType, s.Chip().model);
        c.view.SetField(ChipField::FlashSize, s.Chip().flashSizeText);
    } else {
        c.view.SetField(ChipField::ChipType, "????????");
        c.view.SetField(ChipField::FlashSize, "???????");
        failed = true;
    }
    if (p == 0x11 && q == 0x45) {
        c.view.SetField(ChipField::FwVersion, "v1.1E");
        s.loaderFirmware = LoaderFirmware::V11E;
    } else {
        c.view.SetField(ChipField::FwVersion, p == 0x11 ? "v1.1?" : "?????");
        s.loaderFirmware = LoaderFirmware::Unknown;
        failed = true;
    }
    if (failed) {
        c.op.Fail("Wrong Firmware Version Detected in MCU chip!!!");
    } else {
        c.view.SetIapStatus("Handshaking succeed!");
        if (!menuVariant) c.view.setProgressLabel("Done");
    }
    if (s.currentBlock < 0 || s.currentBlock > 1) {
        c.op.Fail("Illegal Block Number Detected!!!");
        if (menuVariant) c.op.Inform("Will return 6");
        return;
    }
    c.view.SetField(ChipField::MemMode, "Internal");
    const CommandAvailability a = ComputeAvailability(s.Family(), kInternalMemory, status & kLockStatusMask,
                                                      failed ? LoaderFirmware::Unknown : LoaderFirmware::V11E,
                                                      ExternalWindowState::None);
    c.view.EnableButtons(a);
    s.backInMcuFlash = false;
    c.view.Refresh();
    s.flags.userCodeRunning = false;

    const char* question =
        menuVariant ? "Do you really want to upgrade BSL from 1.1E to 1.1F?\nBSL1.1F will use 3 more sectors than "
                      "BSL1.1E,\nit will use address 0xF000 to 0xF3FF.\n"
                    : "Do you really want to upgrade BSL from 1.1E to 1.1F?\nBSL1.1F will use 3 more sectors than "
                      "BSL1.1E,\nit will use from address 0xF000 to 0xF3FF.\n";
    if (c.op.AskYesNo(question)) {
        if (c.runUpgrade) c.runUpgrade(menuVariant);
        return;
    }
    c.op.Warn(menuVariant ? "Please exit the current application\nand use the older version of software\nto "
                            "run IAP funtions. This version of\nsoftware only supports BSL1.1F or greater."
                          : "Please exit the current application\nand use the older version of software\nto "
                            "run IAP funtions. This version of\nsoftware only supports BSL1.1F+.");
    if (c.endApplication) c.endApplication();
}

}  // namespace tessel
