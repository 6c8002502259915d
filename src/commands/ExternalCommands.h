#pragma once
// External flash mode: the demonstration board's 128 KB flash, one 64 KB window at a time.
// While a window is open the flash commands run their external variants against it. On the
// A models the board's external-access program needs a stub in block 0, so block 0's two
// save areas are kept (in memory and in a backup file) until the window is left.

#include "commands/Actions.h"
#include <string>

namespace tessel {

class Target;

// The window's entries for "&Low 64KB of External Flash" (32805), "&High 64KB of External Flash" (32806),
// "&Back to MCU Flash" (32807) and the return after detection. `backupDir` is where the
// A models' block-0 areas are saved while a window is open ("" for the user's state folder).
Actions ExternalActions(Target& target, std::string backupDir = {});

// Detection found a window open: block 0 is put back and the window forgotten.
void LeaveExternalAfterDetection(Target& target);

}  // namespace tessel
