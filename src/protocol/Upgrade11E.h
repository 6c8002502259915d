#pragma once
// The in-place upgrade of a 1.1E boot loader to 1.1F: the user's first 1280 bytes of block 0
// are saved, the upgrade program is loaded there through the old loader and started, the new
// loader is detected, and the user's code is put back.

#include <string>

namespace tessel {

struct DetectionContext;

// Runs the upgrade after the operator accepted it at the end of a 1.1E detection.
// `backupDir` is where the saved user code is written before anything is erased (the user's
// state folder when empty). Returns the path of that backup file ("" when none was made).
std::string UpgradeBsl11E(DetectionContext& c, bool menuVariant, const std::string& backupDir = "");

}  // namespace tessel
