#pragma once
// What Windows' names mean to the tool, decided apart from the calls that give them
// (PathsWin.cpp, DeviceNamesWin.cpp): plain text in, text out, so that every build can check
// the decisions against names recorded on Windows machines.

#include <string>

namespace tessel {

// The tool's folder from the XDG variable's value (null when unset) and the shell's known
// folder ("" when the shell did not say): the variable when it names a folder from a drive's
// root, else the known folder's tessel, else "".
std::string WindowsUserFolder(const char* xdgValue, const std::string& knownFolder);

// The device path a port name opens: "COM3" is "\\.\COM3"; other names unchanged.
std::string WindowsPortPath(const std::string& name);

// A path without the system's long-path prefix: "\\?\C:\x" is "C:\x", "\\?\UNC\server\share"
// is "\\server\share".
std::string WithoutLongPathPrefix(const std::string& path);

// The folder part of a file's path, either separator ending it; "" when there is none.
std::string WindowsFolderOf(const std::string& path);

}  // namespace tessel
