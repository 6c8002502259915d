#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "Commands.h"
#include "Connection.h"
#include "device/CDeviceSession.h"
#include "device/ChipCatalogue.h"
#include "protocol/Password.h"
#include "commands/FlashDialogs.h"

namespace tessel::cli {

namespace {

struct PasswordRun {
    ConnectOptions connect;
    FlashOptions flash;
};

// The new password is never empty by accident: a file or a variable that holds nothing is
// refused rather than taken for "no password", and --no-password is refused beside a source
// that names one. Checked before the target is touched.
int CheckNewPasswordSource(const FlashOptions& f, EventStream& events) {
    const char* env = f.newPasswordEnv.empty() ? nullptr : std::getenv(f.newPasswordEnv.c_str());
    if (f.noNewPassword) {
        if (!f.newPasswordFile.empty() || env) {
            events.Error(std::string("--no-password cannot be given with a new password (") +
                         (!f.newPasswordFile.empty() ? "--new-password-file" : "$" + f.newPasswordEnv) + ")");
            return kExitUsage;
        }
        return kExitOk;
    }
    std::string text;
    std::string from;
    if (!f.newPasswordFile.empty()) {
        std::string error;
        if (!ReadPasswordLine(f.newPasswordFile, &text, &error)) {
            events.Error("cannot read the new password file " + error);
            return kExitUsage;
        }
        from = f.newPasswordFile;
    } else if (env) {
        text = env;
        from = "$" + f.newPasswordEnv;
    } else {
        return kExitOk;
    }
    if (text.empty()) {
        events.Error("the new password in " + from + " is empty; --no-password leaves the chip without one");
        return kExitUsage;
    }
    // The loader keeps at most 31 characters: a longer one is refused before the port is opened.
    std::string bytes, error;
    const bool converted = PasswordFromUtf8(text, &bytes, &error);
    WipeString(text);
    const size_t length = bytes.size();
    WipeString(bytes);
    if (!converted) {
        events.Error(error);
        return kExitUsage;
    }
    if (length > 31) {
        events.Error("the new password in " + from + " has " + std::to_string(length) +
                     " characters; the loader keeps at most 31");
        return kExitUsage;
    }
    return kExitOk;
}

int RunPassword(PasswordRun& r, RunState& state, bool change) {
    r.connect = state.connect;
    CommandResult& res = state.result;
    res.command = change ? "password change" : "password set";
    if (const int rc = CheckNewPasswordSource(r.flash, state.events); rc != kExitOk) return rc;
    Connection link(r.connect, state.events);
    if (const int rc = link.ConnectReporting(); rc != kExitOk) return rc;
    if (const int rc = link.CheckRule(change ? RuledCommand::ChangePassword : RuledCommand::SetResetPassword, false);
        rc != kExitOk)
        return rc;
    if (r.flash.lockOption && link.Board().Session().Family() != ChipFamily::A) {
        state.events.Error("--lock is for the A-type chips (NX31A16, NX31A32) only");
        return kExitUsage;
    }
    if (!link.UseFlashOptions(r.flash, false)) return kExitUsage;
    Target& w = link.Board();
    const PasswordRequest texts = link.PasswordTexts(change);
    const tessel::CommandResult ran = change ? ChangePassword(w, texts) : SetPassword(w, texts);
    const bool ok = ran.Ok();
    const std::string what = r.flash.noNewPassword ? "password removed" : change ? "password changed" : "password set";
    if (ok) res.summary = what + (change ? "; block 0 kept" : "; block 0 erased");
    else if (state.events.Declined() && state.events.Phases().empty()) res.summary = res.command + " declined: nothing was changed";
    else if (ran.fault == Fault::Unconfirmed)
        // Whatever else failed, a password sector that may now hold nothing is what the
        // operator must know.
        res.summary = res.command + " failed: " + link.Op().FaultText();
    else res.summary = res.command + " failed: " + link.FailureReason();
    return ok ? kExitOk : kExitFailed;
}

void AddNewPasswordOptions(CLI::App* cmd, FlashOptions& f) {
    cmd->add_option("--new-password-file", f.newPasswordFile, "Read the new password from the first line of FILE");
    cmd->add_option("--new-password-env", f.newPasswordEnv,
                    "Take the new password from this environment variable if it is set "
                    "(default TESSEL_NEW_PASSWORD)");
    cmd->add_flag("--no-password", f.noNewPassword, "Leave the chip without a password");
}

}  // namespace

void AddPasswordCommands(CLI::App& app, RunState& state) {
    CLI::App* password = app.add_subcommand("password", "Change, set or reset the boot loader's password");
    password->require_subcommand(1);
    {
        auto r = std::make_shared<PasswordRun>();
        CLI::App* cmd = password->add_subcommand(
            "change", "Change the password, giving the current one (--password-file, $TESSEL_PASSWORD or "
                      "the terminal); block 0 is kept");
        AddCommonOptions(cmd, state, true);
        AddPasswordOptions(cmd, r->flash);
        AddNewPasswordOptions(cmd, r->flash);
        cmd->callback([r, &state] { state.exitCode = RunPassword(*r, state, true); });
    }
    {
        auto r = std::make_shared<PasswordRun>();
        CLI::App* cmd = password->add_subcommand(
            "set", "Set or reset the password without the current one: block 0 is erased entirely");
        AddCommonOptions(cmd, state, true);
        AddPasswordOptions(cmd, r->flash);
        AddNewPasswordOptions(cmd, r->flash);
        cmd->add_flag("--lock", r->flash.lockOption,
                      "Also program the level-3 soft lock L3 Soft Lock Block 0, 1 (PROG-SB2) (A-type chips)");
        cmd->callback([r, &state] { state.exitCode = RunPassword(*r, state, false); });
    }
}

}  // namespace tessel::cli
