#include "platform/InstanceLock.h"

#include <windows.h>
#include <io.h>

#include <cstdlib>
#include <string>

#include "platform/Paths.h"
#include "platform/WinText.h"

namespace tessel {

// fd_ is the C runtime's descriptor over the file's handle, so that closing it (at exit too)
// lets the lock go.

InstanceLock::InstanceLock(std::string name, std::string folder) {
    if (folder.empty()) folder = DefaultFolder();
    path_ = folder + "/" + name;
}

InstanceLock::~InstanceLock() {
    if (fd_ >= 0) _close(fd_);
}

std::string InstanceLock::DefaultFolder() { return UserStateDir(); }

bool InstanceLock::TryAcquire(std::string* error) {
    if (fd_ >= 0) return true;
    const std::string folder = path_.substr(0, path_.find_last_of("/\\"));
    if (!MakeDirs(folder)) {
        if (error) *error = "cannot create " + folder;
        return false;
    }
    // Others may read and write it, so that a second copy can open it to learn the holder;
    // the lock, not the sharing, is what keeps it out.
    const HANDLE h = CreateFileW(win::Wide(path_).c_str(), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        if (error) *error = path_ + ": " + win::ErrorText(GetLastError());
        return false;
    }
    // The holder's number is written from byte 0 and read by others, so the lock covers a
    // range far beyond it: a locked range cannot be read by anyone else.
    OVERLAPPED at{};
    at.Offset = 0x40000000;
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        const DWORD err = GetLastError();
        if (error) *error = err == ERROR_LOCK_VIOLATION ? "another copy is running" : path_ + ": " + win::ErrorText(err);
        char text[24] = {};
        DWORD got = 0;
        if (err == ERROR_LOCK_VIOLATION && ReadFile(h, text, sizeof text - 1, &got, nullptr) && got > 0)
            holder_ = std::strtol(text, nullptr, 10);
        CloseHandle(h);
        return false;
    }
    const std::string pid = std::to_string(static_cast<long>(GetCurrentProcessId())) + "\n";
    DWORD written = 0;
    if (SetEndOfFile(h)) (void)WriteFile(h, pid.data(), static_cast<DWORD>(pid.size()), &written, nullptr);
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), 0);
    if (fd < 0) {
        CloseHandle(h);
        if (error) *error = path_ + ": no descriptor left";
        return false;
    }
    fd_ = fd;
    return true;
}

}  // namespace tessel
