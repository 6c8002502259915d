#include "ui/UpgradeCommands.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <memory>
#include <string>

#include "device/CDeviceSession.h"
#include "device/CommandChecks.h"
#include "files/Backup.h"
#include "firmware/Firmware.h"
#include "ui/Block1Stub.h"
#include "ui/MainDialog.h"

namespace tessel {

namespace {

constexpr int kStepAttempts = 12;

class UpgradeCommands {
public:
    UpgradeCommands(MainDialog& w, FlashCommandEnv env) : w_(w), env_(std::move(env)) {}

    CDeviceSession& S() { return w_.Session(); }
    void Say(const std::string& text) { w_.Op().ShowMessage(text); }

    // Every failure ends with the bar back at its start and the failure kept for the next
    // command to see.
    bool Fail(const std::string& message) {
        S().flags.errorReported = true;
        Say(message);
        w_.resetProgress();
        return false;
    }

    bool UpgradeInternal() {
        CDeviceSession& s = S();
        if (!Block1RewriteReady(w_, "Update BSL only works in internal memory mode!",
                                "Update BSL doesn't work if Block0 or Block1 is hardlocked!"))
            return false;
        if (PasswordGate(w_) != 1) return false;
        // The stub, not the loader, answers for most of this: the periodic check stays away.
        s.flags.longOperation = true;

        stub::Codes codes;
        int downloadCode = stub::kNotTried, eraseCode = stub::kNotTried, writeCode = stub::kNotTried;
        LinkContext link{s, w_, nullptr};
        Block1StubOptions o;
        o.backupDir = env_.backupDir;
        o.selectFailed = "Update BSL Failed!";
        o.attempts = kStepAttempts;
        o.codes = &codes;
        o.beforeSwitchBack = [&s] {
            s.port.PurgeInput();
            s.port.PurgeOutput();
        };
        const bool ok = RunWithBlock1Stub(w_, o, [&] {
            w_.Refresh();
            s.bslUpgradeMode = true;
            downloadCode = RunDownload(w_, env_);
            s.bslUpgradeMode = false;
            // The password sector is rewritten whatever the download did: it lies in the
            // loader's block, which the upgrade may have erased. The gate's entry is the only
            // copy of the password there is.
            const bool rewritten = RewritePasswordSector(w_, link, LastPassword(), kStepAttempts, &eraseCode, &writeCode);
            return downloadCode == download::kDone && rewritten;
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
            if (i == 6 && results[i] == download::kUpgradeDeclined) return Fail("Upgrade BSL is cancelled!");
            w_.SetIapStatus(FailedStepsLine(results, ", "));
            w_.Refresh();
            return Fail("Upgrade Bootstrap Loader Failed!");
        }
        if (!ok) return Fail("Upgrade Bootstrap Loader Failed!");
        s.flags.errorReported = false;
        w_.setProgressLabel("Done");
        Say("Upgrade BSL Succeed!");
        w_.SetIapStatus("Upgrade BSL Succeed!");
        w_.Refresh();
        s.flags.longOperation = false;
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
            Say("Please enter into Low64K in internal memory mode for external BSL upgrade!");
            return false;
        }
        const FirmwareImage* image = UsableFirmware(w_, FirmwareId::ExternalBsl);
        if (!image) return false;
        LinkContext link{s, w_, nullptr};
        const uint32_t sector = static_cast<uint32_t>(kExternalSectorSize);
        const uint32_t piece = static_cast<uint32_t>(kExternalPieceSize);
        std::vector<uint8_t> old(sector);
        bool ok = ReadFlash(link, old.data(), 0, sector, piece) == sector;
        if (ok && !std::equal(image->data, image->data + image->size, old.begin())) {
            std::vector<uint8_t> merged = old;
            std::copy(image->data, image->data + image->size, merged.begin());
            const std::vector<BackupRegion> regions{{0, old}};
            const std::string backup = WriteBackupHex(env_.backupDir, "external-sector0", regions);
            ok = !backup.empty() && EraseSectors(link, 0, sector, 1) == 0 &&
                 ProgramVerified(link, 0, piece, merged.data(), sector) == 0;
            if (ok) std::remove(backup.c_str());
            else if (!backup.empty())
                Say("The external flash's first sector may now be erased or part-written; its earlier contents "
                    "are in " + backup + " (Intel HEX).");
        }
        const char* text = ok ? "Upgrade External BSL Succeed!" : "Upgrade External BSL Failed!";
        w_.setProgressLabel(ok ? "Done" : "Abort");
        Say(text);
        w_.SetIapStatus(text);
        w_.Refresh();
        return ok;
    }

private:
    MainDialog& w_;
    FlashCommandEnv env_;
};

}  // namespace

void RegisterUpgradeCommands(MainDialog& window, FlashCommandEnv env) {
    auto c = std::make_shared<UpgradeCommands>(window, std::move(env));
    MainDialog* w = &window;
    window.RegisterHandler(command::kUpgradeInternalBsl, [c, w] { w->SetCommandSucceeded(c->UpgradeInternal()); });
    window.RegisterHandler(command::kUpgradeExternalBsl, [c, w] { w->SetCommandSucceeded(c->UpgradeExternal()); });
}

}  // namespace tessel
