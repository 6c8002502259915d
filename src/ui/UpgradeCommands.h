#pragma once
// Upgrade Internal BSL: replaces the boot loader in block 1 with a newer one downloaded from a
// file, through the programming stub, keeping block 0 and the password.

#include "ui/FlashCommands.h"

namespace tessel {

class MainDialog;

// Routes "Upgrade Internal BSL1.1F+ to Newer Version" (32793) on the window. The download
// inside it uses `env` as the Download command does.
void RegisterUpgradeCommands(MainDialog& window, FlashCommandEnv env = {});

}  // namespace tessel
