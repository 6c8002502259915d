#pragma once
// The commands as a window offers them: each entry asks the operator, through the dialog
// models, for what a request would give, then runs the same code as the command's function.
// A window binds its menu items and buttons to these; the other front ends call the functions
// of Commands.h with requests of their own.

#include <functional>
#include <utility>
#include <vector>

namespace tessel {

enum class Action {
    Detect11F, DetectBaudAndChip, Detect11E, DetectUnknown, ResetLink, ExtMemSerialDialog, Exit,
    Read, Download, Compare, SectorErase, ChipErase, Save, Print,
    LockChip, MemoryRemap, DoubleClock,
    SetResetPassword, ChangePassword,
    UpgradeInternalBsl, UpgradeExternalBsl, DownloadMonitor,
    ExternalLow, ExternalHigh, BackToMcu,
    EditBlock0, ExecuteUserCode, RunUserCode, SerialTest,
};

using Actions = std::vector<std::pair<Action, std::function<void()>>>;

}  // namespace tessel
