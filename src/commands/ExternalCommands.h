#pragma once
// External flash mode: the demonstration board's 128 KB flash, one 64 KB window at a time.
// While a window is open the flash commands run their external variants against it. On the
// A models the board's external-access program needs a stub in block 0, so block 0's two
// save areas are kept (in memory and in a backup file) until the window is left.

#include <string>

namespace tessel {

class MainDialog;

namespace command {
// Not a menu item: detection runs it when it finds a window open in internal memory mode.
constexpr int kLeaveExternalAfterDetection = -32807;
// Not a menu item either: Back to MCU Flash without its question, for a window that a
// command opened for itself and so leaves again.
constexpr int kLeaveExternalUnasked = -32808;
}  // namespace command

// Routes "&Low 64KB of External Flash" (32805), "&High 64KB of External Flash" (32806),
// "&Back to MCU Flash" (32807) and the return after detection. `backupDir` is where the
// A models' block-0 areas are saved while a window is open ("" for the user's state folder).
void RegisterExternalCommands(MainDialog& window, std::string backupDir = {});

}  // namespace tessel
