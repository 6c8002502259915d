#include "commands/PasswordCommands.h"

#include <cstdio>
#include <memory>
#include <optional>

#include "device/CDeviceSession.h"
#include "device/CommandChecks.h"
#include "firmware/Firmware.h"
#include "protocol/Password.h"
#include "protocol/Primitives.h"
#include "commands/Block1Stub.h"
#include "commands/FlashDialogs.h"
#include "commands/Commands.h"
#include "commands/Target.h"

namespace tessel {

namespace {

// Each step after block 0's preparation is tried this often while it fails.
constexpr int kStepAttempts = 12;
constexpr int kOldPasswordAttempts = 3;
constexpr int kResetEraseAttempts = 11;
constexpr uint8_t kPasswordReset = 0x64;
// The erase of block 0 that the second 64h starts; the H/L chips take longer.
constexpr uint32_t kResetEraseMs = 30, kResetEraseExtraHLMs = 170;

constexpr char kInconsistent[] = "Password you entered is inconsistent!";

struct Texts {
    const char* internalOnly;
    const char* hardLocked;
};
constexpr Texts kChangeTexts{"Password Change only works in internal memory mode!",
                             "Password Change doesn't work if Block0 or Block1 is hardlocked!"};
constexpr Texts kSetTexts{"Password Set/Reset only works in internal memory mode!",
                          "Password Set/Reset doesn't work if Block0 or Block1 is hardlocked!"};

class PasswordCommands {
public:
    PasswordCommands(Target& w, std::string backupDir) : w_(w), backupDir_(std::move(backupDir)) {}

    CDeviceSession& S() { return w_.Session(); }
    Operator& Op() { return w_.Op(); }

    bool Ready(const Texts& texts) { return Block1RewriteReady(w_, texts.internalOnly, texts.hardLocked); }

    // The texts a request gives for the `attempt`-th opening of a dialog; false to give up.
    static bool Given(const PasswordRequest& r, int attempt, std::string* current, std::string* password,
                      std::string* retype) {
        if (current) {
            std::optional<std::string> text = r.current ? r.current(attempt) : std::nullopt;
            if (!text) return false;
            *current = std::move(*text);
        }
        std::optional<NewPassword> next = r.next ? r.next(attempt) : std::nullopt;
        if (!next) return false;
        *password = std::move(next->password);
        *retype = std::move(next->retype);
        return true;
    }

    // The commands with their result line, in the command line's words.
    bool Told(bool change, const PasswordRequest* given) {
        declined_ = removed_ = false;
        const bool ok = change ? Change(given) : SetReset(given);
        const std::string command = change ? "password change" : "password set";
        if (ok)
            w_.SetResult(std::string(removed_ ? "password removed" : change ? "password changed" : "password set") +
                         (change ? "; block 0 kept" : "; block 0 erased"));
        else if (declined_) w_.SetResult(command + " declined: nothing was changed");
        else w_.SetResult(command + " failed");
        return ok;
    }

    bool Change(const PasswordRequest* given = nullptr) {
        if (!Ready(kChangeTexts)) return false;
        CDeviceSession& s = S();
        // Every attempt opens with empty fields.
        std::unique_ptr<PasswordChangeDialog> d;
        LinkContext link{s, w_, nullptr};
        for (int attempt = 1;; ++attempt) {
            d = std::make_unique<PasswordChangeDialog>();
            PasswordChangeDialog& dialog = *d;
            if (given ? !Given(*given, attempt, &dialog.oldPassword, &dialog.newPassword, &dialog.retypePassword)
                      : Op().RunDialog(dialog) != DialogResult::Ok)
                return false;
            const bool last = attempt >= kOldPasswordAttempts;
            if (dialog.newPassword.size() > kMaxPasswordLength || dialog.oldPassword.size() > kMaxPasswordLength) {
                Op().Warn("The length of password shouldn't exceed 31 characters!");
                if (last) return false;
                continue;
            }
            if (dialog.newPassword != dialog.retypePassword) {
                Op().Warn(kInconsistent);
                if (last) return false;
                continue;
            }
            if (VerifyPassword(link, PasswordAddress(s.chipType), dialog.oldPassword) == 0) {
                removed_ = dialog.newPassword.empty();
                break;
            }
            if (last) {
                Op().Fail("Password Change Failed!");
                return false;
            }
        }

        stub::Codes codes;
        int eraseCode = stub::kNotTried, writeCode = stub::kNotTried;
        Block1StubOptions o;
        o.backupDir = backupDir_;
        o.selectFailed = "Changing Password Failed!";
        o.workDone = "the password was changed";
        o.workFailed = "the chip may have no password now";
        o.attempts = kStepAttempts;
        o.codes = &codes;
        const bool ok = RunWithBlock1Stub(w_, o, [&] { return RewritePasswordSector(w_, link, d->newPassword, kStepAttempts, &eraseCode, &writeCode); });
        // Ended before block 0 was even read: the reason has been said.
        if (codes[stub::kSave0] == stub::kNotTried) return false;
        if (!ok) {
            s.flags.errorReported = true;
            using namespace stub;
            const int results[] = {0,
                                   codes[kSave0],
                                   codes[kSave1],
                                   codes[kErase0],
                                   codes[kErase1],
                                   codes[kProgramStub],
                                   codes[kSwitchIn],
                                   eraseCode,
                                   writeCode,
                                   codes[kSwitchBack],
                                   codes[kRestore0],
                                   codes[kRestoreErase],
                                   codes[kRestore1]};
            w_.SetIapStatus(FailedStepsLine(results, ", "));
            w_.Refresh();
            Op().Fail("Password Change Failed!");
            if (!d->newPassword.empty()) SayIfPasswordLost(w_, eraseCode, writeCode);
            return false;
        }
        s.flags.passwordVerified = false;
        Op().Inform("Password Change Completed!");
        w_.SetIapStatus("Password Change Completed!");
        w_.Refresh();
        return true;
    }

    // The loader's own erase of block 0, which lets the password sector be rewritten without
    // the old password: 64h, its echo, 64h again.
    bool ResetErase() {
        LinkContext link{S(), w_, nullptr};
        const bool hl = IsHLFamily(S().Family());
        for (int i = 0; i < kResetEraseAttempts; ++i) {
            PurgeReplies(link);
            uint8_t echo = 0;
            if (SendByte(link, kPasswordReset) && ReadReply(link, &echo) && echo == kPasswordReset &&
                SendByte(link, kPasswordReset)) {
                DrainLine(link);
                S().port.GetClock().SleepMs(kResetEraseMs + (hl ? kResetEraseExtraHLMs : 0));
                return true;
            }
        }
        return false;
    }

    bool SetReset(const PasswordRequest* given = nullptr) {
        if (!Ready(kSetTexts)) return false;
        CDeviceSession& s = S();
        std::unique_ptr<PasswordSetDialog> d;
        for (int attempt = 1;; ++attempt) {
            d = std::make_unique<PasswordSetDialog>(s.chipType);
            PasswordSetDialog& dialog = *d;
            if (!given) {
                if (Op().RunDialog(dialog) != DialogResult::Ok) return false;
            } else {
                if (!Given(*given, attempt, nullptr, &dialog.password, &dialog.retypePassword)) return false;
                if (given->lockOption) dialog.OnLockOption();
            }
            w_.Refresh();
            if (!Op().AskYesNo("Data in block 0 will be erased entirely.\nProceed to set/reset password?")) {
                declined_ = true;
                w_.NoteDeclined();
                return false;
            }
            if (dialog.password.size() > kMaxPasswordLength) {
                Op().Warn("The length of password should not exceed 31 characters!");
                continue;
            }
            if (dialog.password != dialog.retypePassword) {
                Op().Warn(kInconsistent);
                continue;
            }
            break;
        }
        // Checked before block 0 is erased: afterwards a refusal would leave it blank for nothing.
        const FirmwareImage* image = UsableStub(w_);
        if (!image) return false;
        // Each step finishes whole; a stop is looked at before block 0 is erased and before
        // the password sector is rewritten, and the stub is always taken out again.
        StopRequest& stop = s.flags.stop;
        StopRequest::Hold hold(stop);
        CSerialPort::SilenceWatch silence(s.port);
        if (stop.Requested()) {
            stop.Note("stopped before block 0 was erased; nothing was changed");
            return false;
        }
        LinkContext link{s, w_, nullptr};
        const bool hl = IsHLFamily(s.Family());
        if ((hl && !selectBlock0(link)) || !ResetErase()) {
            Op().Fail("Set/Reset Password Failed!");
            return false;
        }
        stub::Codes codes;
        codes.fill(stub::kNotTried);
        int eraseCode = stub::kNotTried, writeCode = stub::kNotTried;
        const PasswordSetDialog& dialog = *d;
        removed_ = dialog.password.empty();
        const bool lock = dialog.lockOption && IsTypeA(s.chipType);
        // Block 0 is blank now: the stub goes in without an erase.
        const bool stubRunning = EnterStub(link, *image, kStepAttempts, false, false, codes);
        bool back = true;
        const bool stopped = stop.Requested();
        if (stubRunning && stopped) {
            back = LeaveStub(w_, link, kStepAttempts, codes);
        } else if (stubRunning) {
            RewritePasswordSector(w_, link, dialog.password, kStepAttempts, &eraseCode, &writeCode);
            if (lock) {
                for (uint8_t b : {uint8_t{0x65}, uint8_t{0x01}, uint8_t{0x33}, uint8_t{0x33}}) SendByte(link, b);
            }
            back = LeaveStub(w_, link, kStepAttempts, codes);
        }
        // Only the loader can erase block 0; while the stub still runs the bytes would go to it.
        int removeCode = stub::kNotTried;
        if (back) removeCode = Retried(kStepAttempts, [&] { return stub::StepCode(EraseSectors(link, stub::kAddress, stub::kPiece, 3)); });
        if (stopped) {
            stop.Note(std::string("block 0 was erased; the password was not changed") +
                      (removeCode == 0 ? "" : "; the programming stub is still in block 0 at 2000h"));
            s.flags.errorReported = true;
            w_.Refresh();
            return false;
        }

        using namespace stub;
        const int results[] = {0, codes[kProgramStub], codes[kSwitchIn], eraseCode, writeCode, codes[kSwitchBack], removeCode};
        bool failed = false;
        for (int r : results) failed = failed || r != 0;
        if (failed) {
            s.flags.errorReported = true;
            Op().Fail("Password Set/Reset Failed!");
            w_.SetIapStatus(FailedStepsLine(results));
            w_.Refresh();
            if (!dialog.password.empty()) SayIfPasswordLost(w_, eraseCode, writeCode);
            return false;
        }
        s.flags.passwordVerified = false;
        Op().Inform(lock ? "Password Set/Reset Succeed!\nSet lock completed, please reset chip!" : "Password Set/Reset Completed!");
        w_.SetIapStatus("Password Set/Reset Completed!");
        w_.Refresh();
        return true;
    }

private:
    Target& w_;
    bool declined_ = false;
    bool removed_ = false;
    std::string backupDir_;
};

}  // namespace

PasswordChangeDialog::~PasswordChangeDialog() {
    WipeString(oldPassword);
    WipeString(newPassword);
    WipeString(retypePassword);
}

PasswordSetDialog::PasswordSetDialog(int chipType) : lockEnabled(IsTypeA(chipType)) {}

PasswordSetDialog::~PasswordSetDialog() {
    WipeString(password);
    WipeString(retypePassword);
}

CommandResult ChangePassword(Target& target, const PasswordRequest& request) {
    PasswordCommands c(target, target.BackupDir());
    return target.RunCommand([&] { return c.Told(true, &request); });
}

CommandResult SetPassword(Target& target, const PasswordRequest& request) {
    PasswordCommands c(target, target.BackupDir());
    return target.RunCommand([&] { return c.Told(false, &request); });
}

Actions PasswordActions(Target& target, std::string backupDir) {
    Actions out;
    auto c = std::make_shared<PasswordCommands>(target, std::move(backupDir));
    Target* w = &target;
    out.emplace_back(Action::ChangePassword, [c, w] { w->SetCommandSucceeded(c->Told(true, nullptr)); });
    out.emplace_back(Action::SetResetPassword, [c, w] { w->SetCommandSucceeded(c->Told(false, nullptr)); });
    return out;
}

}  // namespace tessel
