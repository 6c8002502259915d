#pragma once
// Per-user folders: settings under the configuration folder, backups of the operator's
// flash contents under the state folder. Nothing goes to a fixed path in a shared folder.

#include <string>

namespace tessel {

// $XDG_CONFIG_HOME/tessel or ~/.config/tessel; on Windows the roaming application data's.
std::string UserConfigDir();
// $XDG_STATE_HOME/tessel or ~/.local/state/tessel; on Windows the local application data's.
std::string UserStateDir();
// $XDG_DATA_HOME/tessel or ~/.local/share/tessel; on Windows the local application data's.
std::string UserDataDir();
// The folder the running program was started from, links resolved; empty when the system
// does not say. Installed data is found from here, so that a moved installation still works.
std::string ProgramDir();
// Creates a folder and its parents; true when it exists afterwards.
bool MakeDirs(const std::string& path);
// A new folder, named `prefix` and a unique suffix in the system's folder for temporary files,
// that only this user may enter; "" with *error (the system's reason) when none was made.
std::string MakePrivateTempDir(const std::string& prefix, std::string* error);
// `path` with every link and "." or ".." resolved; `path` itself when it cannot be.
std::string ResolvedPath(const std::string& path);

}  // namespace tessel
