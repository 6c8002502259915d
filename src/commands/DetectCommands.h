#pragma once
// The commands that find the target: the three detections of the DetectChip menu, the link
// reset of the tool bar, the external-memory serial dialog and Exit. They run the set-up
// dialogs through the main window's Operator and then the detection procedures.

#include "commands/Actions.h"

namespace tessel {

class Target;
struct DetectCommandEnv;


// The window's entries for the three detections, the detection with the settings as they
// are, Reset Link, the external-memory serial dialog and Exit. `env` becomes the target's,
// and `env.store` must outlive it.
Actions DetectActions(Target& target, DetectCommandEnv env);

// Lets go of the link and clears what was known of the chip; it cannot fail.
void ResetLinkNow(Target& target);
// Finds the 1.1F loader again with the chip, port and rate the session has, asking for the
// set-up only when the loader does not answer at them.
bool DetectWithSettings(Target& target);

}  // namespace tessel
