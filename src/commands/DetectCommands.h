#pragma once
// The commands that find the target: the three detections of the DetectChip menu, the link
// reset of the tool bar, the external-memory serial dialog and Exit. They run the set-up
// dialogs through the main window's Operator and then the detection procedures.

#include <functional>
#include <string>
#include <vector>

namespace tessel {

class ConfigStore;
class MainDialog;

struct DetectCommandEnv {
    // Where the set-up dialogs persist the operator's choice.
    const ConfigStore* store = nullptr;
    // Ports the set-up dialogs offer besides "COM1" to "COM256" (devices present, the
    // stand-in board); asked each time a dialog opens.
    std::function<std::vector<std::string>()> namedPorts;
    // Where the 1.1E upgrade writes its backup of the user's code ("" for the user's state
    // folder).
    std::string backupDir;
};

// Routes 146, 32788, 32795, 32796, 32780, 32771 and 32810 on the window. `env.store` must
// outlive the window's handlers.
void RegisterDetectCommands(MainDialog& window, DetectCommandEnv env);

}  // namespace tessel
