#pragma once
// Change Password and Set/Reset Password: the two commands that rewrite the boot loader's
// password sector in block 1, through the programming stub. Change keeps block 0 and needs
// the old password; Set/Reset needs none but erases block 0 entirely.

#include "commands/Actions.h"
#include <string>

#include "platform/Operator.h"

namespace tessel {

class Target;

// "Password Change": three masked fields, empty on opening.
class PasswordChangeDialog : public DialogModel {
public:
    PasswordChangeDialog() = default;
    PasswordChangeDialog(const PasswordChangeDialog&) = delete;
    PasswordChangeDialog& operator=(const PasswordChangeDialog&) = delete;
    // The texts are wiped, so that no password lingers in freed memory.
    ~PasswordChangeDialog() override;
    const char* DialogName() const override { return "PasswordChangeDialog"; }
    static constexpr const char* kTitle = "Password Change";
    static constexpr const char* kNote = "You should choose Password Reset dialog if you forget your old password.";

    std::string oldPassword;
    std::string newPassword;
    std::string retypePassword;
};

// "Password Set/Reset": two masked fields and the A-type chips' soft-lock option.
class PasswordSetDialog : public DialogModel {
public:
    explicit PasswordSetDialog(int chipType);
    PasswordSetDialog(const PasswordSetDialog&) = delete;
    PasswordSetDialog& operator=(const PasswordSetDialog&) = delete;
    ~PasswordSetDialog() override;
    const char* DialogName() const override { return "PasswordSetDialog"; }
    static constexpr const char* kTitle = "Password Set/Reset";
    static constexpr const char* kNote = "Set or Reset Password will erase block 0.";
    static constexpr const char* kLockLabel = "L3 Soft Lock Block 0, 1 (PROG-SB2) (for A16/32)";

    // The option button's click handler; the option stays set until the dialog closes.
    void OnLockOption() {
        if (lockEnabled) lockOption = true;
    }

    std::string password;
    std::string retypePassword;
    const bool lockEnabled;
    bool lockOption = false;
};

// The window's entries for Change Password (32790) and Set/Reset Password (32789) on the window. `backupDir`
// is where Change writes block 0's save areas before the stub overwrites them ("" for the
// user's state folder).
Actions PasswordActions(Target& target, std::string backupDir = {});

}  // namespace tessel
