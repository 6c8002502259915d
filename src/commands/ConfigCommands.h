#pragma once
// Lock Chip, Memory Remap and Double Clock: the commands that burn one-time bits into the
// chip, the menus they choose from, and the re-detection that shows the result.

#include "commands/Actions.h"
#include <string>
#include <vector>

#include "platform/Operator.h"

namespace tessel {

class Target;

// A menu of radio buttons, none checked when it opens. Each button stores its option
// number; OK with no button clicked is refused, because every option here burns bits that
// cannot be cleared again, and a default would burn one the operator never chose.
class OptionMenuDialog : public DialogModel {
public:
    struct Choice {
        int buttonId;
        int option;
        std::string label;
        bool enabled = true;
    };

    static constexpr const char* kChooseFirst = "Please choose one of the options first.";

    explicit OptionMenuDialog(Operator& op) : op_(op) {}

    virtual const char* Title() const = 0;
    virtual const char* GroupTitle() const = 0;

    // The click handler of a button: stores its option. False for a button the menu does
    // not have or has disabled.
    bool Click(int buttonId);
    // The same, by option number, for front ends that choose without buttons.
    bool ChooseOption(int option);
    int Option() const { return option_; }

    OkOutcome PressOk() override;

    std::vector<Choice> choices;

private:
    Operator& op_;
    int option_ = 0;
    bool chosen_ = false;
};

// "A Type Lock Menu": buttons 1064 to 1068, options 1 to 5.
class LockMenuTypeADialog : public OptionMenuDialog {
public:
    explicit LockMenuTypeADialog(Operator& op);
    const char* DialogName() const override { return "LockMenuTypeADialog"; }
    const char* Title() const override { return "A Type Lock Menu"; }
    const char* GroupTitle() const override { return "Lock Chip Menu"; }
};

// The H/L chips' lock menu: buttons 1064 to 1069, options 1 to 6.
class LockMenuDialog : public OptionMenuDialog {
public:
    explicit LockMenuDialog(Operator& op);
    const char* DialogName() const override { return "LockMenuDialog"; }
    const char* Title() const override { return "Dialog"; }
    const char* GroupTitle() const override { return "Lock Chip Menu"; }
};

// "Memory Remap Menu": SC0 (option 0), SC1 (4) and the three remap sizes (1 to 3), enabled
// by the chip type.
class RemapMenuDialog : public OptionMenuDialog {
public:
    RemapMenuDialog(Operator& op, int chipType);
    const char* DialogName() const override { return "RemapMenuDialog"; }
    const char* Title() const override { return "Memory Remap Menu"; }
    const char* GroupTitle() const override { return ""; }
};

// The window's entries for Lock Chip (1027), Memory Remap (1028) and Double Clock (32809) on the window; they
// re-detect through the window's own Reset Link and detection commands.
Actions ConfigActions(Target& target);

}  // namespace tessel
