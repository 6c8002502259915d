#pragma once
// Upgrade Internal BSL: replaces the boot loader in block 1 with a newer one downloaded from a
// file, through the programming stub, keeping block 0 and the password. Upgrade External
// BSL: writes the demonstration board's own loader, which the tool carries, into the
// external flash's low window. Download Monitra: replaces the boot loader with the debug
// monitor the tool carries, after which the application ends.

#include "ui/FlashCommands.h"

namespace tessel {

class MainDialog;

// Routes "Upgrade Internal BSL1.1F+ to Newer Version" (32793), "Upgrade External BSL
// Firmware to Newer Version" (32811) and "&Download Monitra" (32801) on the window. The
// download
// inside it uses `env` as the Download command does.
void RegisterUpgradeCommands(MainDialog& window, FlashCommandEnv env = {});

}  // namespace tessel
