#include <cstdio>
#include <memory>

#include "Commands.h"
#include "Connection.h"
#include "device/CDeviceSession.h"

namespace tessel::cli {

namespace {

struct PasswordRun {
    ConnectOptions connect;
    FlashOptions flash;
};

int RunPassword(PasswordRun& r, int commandId) {
    Connection link(r.connect);
    if (const int rc = link.ConnectReporting(); rc != kExitOk) return rc;
    const int type = link.Window().Session().chipType;
    if (r.flash.lockOption && type != 1 && type != 2) {
        std::fprintf(stderr, "tessel: --lock is for the A-type chips (NX31A16, NX31A32) only\n");
        return kExitUsage;
    }
    if (!link.UseFlashOptions(r.flash, false)) return kExitUsage;
    MainDialog& w = link.Window();
    const bool ok = w.RunCommand(commandId);
    link.View().EndLine();
    const std::string status = w.Field(ChipField::IapStatus);
    if (!status.empty()) std::printf("IAP Status: %s\n", status.c_str());
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
        AddConnectOptions(cmd, r->connect);
        cmd->add_option("--password-file", r->flash.passwordFile, "Read the current password from the first line of FILE");
        cmd->add_option("--password-env", r->flash.passwordEnv,
                        "Take the current password from this environment variable (default TESSEL_PASSWORD)");
        AddNewPasswordOptions(cmd, r->flash);
        cmd->callback([r, &state] { state.exitCode = RunPassword(*r, command::kChangePassword); });
    }
    {
        auto r = std::make_shared<PasswordRun>();
        CLI::App* cmd = password->add_subcommand(
            "set", "Set or reset the password without the current one: block 0 is erased entirely");
        AddConnectOptions(cmd, r->connect);
        AddNewPasswordOptions(cmd, r->flash);
        cmd->add_flag("--lock", r->flash.lockOption,
                      "Also program the level-3 soft lock L3 Soft Lock Block 0, 1 (PROG-SB2) (A-type chips)");
        cmd->callback([r, &state] { state.exitCode = RunPassword(*r, command::kSetResetPassword); });
    }
}

}  // namespace tessel::cli
