#include "platform/WindowsNames.h"

#include "platform/SystemPorts.h"

namespace tessel {

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

}  // namespace

// Better nowhere to write than a shared folder. A relative XDG value or a share's is not
// taken: a portable installation or a test names a full path on a drive to keep the tool's
// files to itself, as on other systems.
std::string WindowsUserFolder(const char* xdgValue, const std::string& knownFolder) {
    if (xdgValue && xdgValue[0] != '\0' && xdgValue[1] == ':' && IsSeparator(xdgValue[2]))
        return std::string(xdgValue) + "/tessel";
    return knownFolder.empty() ? std::string() : knownFolder + "\\tessel";
}

// COM1 to COM9 open by their bare names too, but COM10 and up only through the device
// namespace, so every one goes there.
std::string WindowsPortPath(const std::string& name) {
    int n = 0;
    return ParseComName(name, &n) ? "\\\\.\\COM" + std::to_string(n) : name;
}

// The system answers with its long-path prefix, which other programs and people do not
// expect to see.
std::string WithoutLongPathPrefix(const std::string& path) {
    if (path.rfind("\\\\?\\UNC\\", 0) == 0) return "\\\\" + path.substr(8);
    if (path.rfind("\\\\?\\", 0) == 0) return path.substr(4);
    return path;
}

std::string WindowsFolderOf(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace tessel
