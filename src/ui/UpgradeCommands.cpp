#include "ui/UpgradeCommands.h"

#include <iterator>
#include <memory>
#include <string>

#include "device/CDeviceSession.h"
#include "device/CommandChecks.h"
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
        w_.SetIapStatus("");
        w_.Refresh();
        const CheckOutcome pre = CheckCommandPreconditions(&s, &w_.Op(), CheckScope::FlashCommand);
        if (pre == CheckOutcome::Failed || pre == CheckOutcome::GateDeclined) return false;
        if (pre == CheckOutcome::RunExternalVariant || s.memoryMode != kInternalMemory) {
            Say("Update BSL only works in internal memory mode!");
            return false;
        }
        if (!LockAllowsBlock1Rewrite(s.chipType, s.flags.lockStatus)) {
            Say("Update BSL doesn't work if Block0 or Block1 is hardlocked!");
            return false;
        }
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

private:
    MainDialog& w_;
    FlashCommandEnv env_;
};

}  // namespace

void RegisterUpgradeCommands(MainDialog& window, FlashCommandEnv env) {
    auto c = std::make_shared<UpgradeCommands>(window, std::move(env));
    MainDialog* w = &window;
    window.RegisterHandler(command::kUpgradeInternalBsl, [c, w] { w->SetCommandSucceeded(c->UpgradeInternal()); });
}

}  // namespace tessel
