#include "platform/Paths.h"

#include <windows.h>
#include <shlobj.h>

#include <cstdlib>
#include <random>

#include "platform/WinText.h"
#include "platform/WindowsNames.h"

namespace tessel {

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// The shell is asked even when the XDG variable wins, so that the choice between them is made
// whole in one place.
std::string KnownFolder(const char* variable, REFKNOWNFOLDERID id) {
    wchar_t* path = nullptr;
    std::string known;
    if (SUCCEEDED(SHGetKnownFolderPath(id, KF_FLAG_DEFAULT, nullptr, &path)) && path) known = win::Utf8(path);
    CoTaskMemFree(path);
    return WindowsUserFolder(std::getenv(variable), known);
}

}  // namespace

// Settings roam with the user; the backups of flash contents and the data stay on the machine.
std::string UserConfigDir() { return KnownFolder("XDG_CONFIG_HOME", FOLDERID_RoamingAppData); }
std::string UserStateDir() { return KnownFolder("XDG_STATE_HOME", FOLDERID_LocalAppData); }
std::string UserDataDir() { return KnownFolder("XDG_DATA_HOME", FOLDERID_LocalAppData); }

std::string ProgramDir() {
    // The path may be longer than MAX_PATH; the buffer grows until it holds the whole name.
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return "";
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        if (path.size() >= 32768) return "";
        path.resize(path.size() * 2);
    }
    return WindowsFolderOf(ResolvedPath(win::Utf8(path)));
}

bool MakeDirs(const std::string& path) {
    if (path.empty()) return false;
    // A drive ("C:") or a share's root cannot be made and is not tried.
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || IsSeparator(path[i])) {
            const std::string part = path.substr(0, i);
            if (part.back() == ':' || IsSeparator(part.back())) continue;
            if (!CreateDirectoryW(win::Wide(part).c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS &&
                GetLastError() != ERROR_ACCESS_DENIED)
                return false;
        }
    }
    const DWORD attributes = GetFileAttributesW(win::Wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string MakePrivateTempDir(const std::string& prefix, std::string* error) {
    // The temporary folder is the user's own (under the profile), so a folder made there with
    // the inherited permissions is the user's alone.
    wchar_t temp[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
    if (n == 0 || n > MAX_PATH) {
        if (error) *error = win::ErrorText(GetLastError());
        return "";
    }
    static thread_local std::mt19937_64 random{std::random_device{}()};
    DWORD last = ERROR_ALREADY_EXISTS;
    for (int tries = 0; tries < 100 && last == ERROR_ALREADY_EXISTS; ++tries) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "%06llx", static_cast<unsigned long long>(random() & 0xFFFFFF));
        const std::string folder = win::Utf8(temp, n) + prefix + suffix;
        if (CreateDirectoryW(win::Wide(folder).c_str(), nullptr)) return folder;
        last = GetLastError();
    }
    if (error) *error = win::ErrorText(last);
    return "";
}

std::string ResolvedPath(const std::string& path) {
    // A device ("\\.\COM3") is never opened to learn its name: opening a port may move its
    // modem lines, and the board on it with them.
    if (path.rfind("\\\\.\\", 0) == 0 || path.rfind("\\\\?\\", 0) == 0) return path;
    const HANDLE h = CreateFileW(win::Wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return path;
    std::wstring full(MAX_PATH, L'\0');
    DWORD n = GetFinalPathNameByHandleW(h, full.data(), static_cast<DWORD>(full.size()), FILE_NAME_NORMALIZED);
    if (n >= full.size()) {
        full.resize(n + 1);
        n = GetFinalPathNameByHandleW(h, full.data(), static_cast<DWORD>(full.size()), FILE_NAME_NORMALIZED);
    }
    CloseHandle(h);
    if (n == 0 || n >= full.size()) return path;
    full.resize(n);
    return WithoutLongPathPrefix(win::Utf8(full));
}

}  // namespace tessel
