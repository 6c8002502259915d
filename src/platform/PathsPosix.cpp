#include "platform/Paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace tessel {

namespace {

std::string HomeDir() {
    const char* home = std::getenv("HOME");
    if (home && *home) return home;
    if (struct passwd* pw = getpwuid(getuid())) return pw->pw_dir;
    // No home at all: better to have nowhere to write than a shared folder.
    return "";
}

std::string XdgDir(const char* variable, const char* fallback) {
    const char* value = std::getenv(variable);
    // Relative values are invalid by the XDG rules and are ignored.
    if (value && value[0] == '/') return std::string(value) + "/tessel";
    const std::string home = HomeDir();
    if (home.empty()) return "";
    return home + "/" + fallback + "/tessel";
}

}  // namespace

std::string UserConfigDir() { return XdgDir("XDG_CONFIG_HOME", ".config"); }
std::string UserStateDir() { return XdgDir("XDG_STATE_HOME", ".local/state"); }
std::string UserDataDir() { return XdgDir("XDG_DATA_HOME", ".local/share"); }

std::string ProgramDir() {
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : self.parent_path().string();
}

bool MakeDirs(const std::string& path) {
    if (path.empty()) return false;
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            const std::string part = path.substr(0, i);
            if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
        }
    }
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string MakePrivateTempDir(const std::string& prefix, std::string* error) {
    std::string folder = "/tmp/" + prefix + "XXXXXX";
    if (!mkdtemp(folder.data())) {
        if (error) *error = std::strerror(errno);
        return "";
    }
    return folder;
}

std::string ResolvedPath(const std::string& path) {
    char real[PATH_MAX];
    return realpath(path.c_str(), real) ? std::string(real) : path;
}

}  // namespace tessel
