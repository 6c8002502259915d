#include "platform/SafeFile.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "platform/WinText.h"

namespace tessel {

// The rules of the POSIX side, in Windows' terms: a symbolic link, a junction or any other
// reparse point stands where a link would, and is never followed or written through.
// Windows has no permission bits: a new file takes the permissions its folder hands down,
// which for the user's own folders are the user's alone.

namespace {

std::string Reason(const std::string& path, DWORD err) { return path + ": " + win::ErrorText(err); }

DWORD Attributes(const std::string& path) { return GetFileAttributesW(win::Wide(path).c_str()); }

// A fresh name beside `path`, created here and now. Others may delete (rename) it, so that it
// can be renamed over the target while it is open.
HANDLE OpenTemporary(const std::string& path, std::string* temp, std::string* error) {
    for (int tries = 0; tries < 100; ++tries) {
        *temp = TemporaryNameBeside(path);
        const HANDLE h = CreateFileW(win::Wide(*temp).c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) return h;
        const DWORD err = GetLastError();
        if (err != ERROR_FILE_EXISTS && err != ERROR_ALREADY_EXISTS) {
            *error = Reason(path, err);
            return INVALID_HANDLE_VALUE;
        }
    }
    *error = Reason(path, ERROR_FILE_EXISTS);
    return INVALID_HANDLE_VALUE;
}

bool CheckTarget(const std::string& path, std::string* error) {
    const DWORD attributes = Attributes(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD err = GetLastError();
        if (err == ERROR_FILE_NOT_FOUND) return true;
        *error = Reason(path, err);
        return false;
    }
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        *error = path + " is a symbolic link; it was not followed and nothing was written";
        return false;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        *error = path + " is not a regular file; nothing was written";
        return false;
    }
    return true;
}

bool WriteAll(HANDLE h, std::string_view bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 30));
        DWORD n = 0;
        if (!WriteFile(h, bytes.data() + done, chunk, &n, nullptr) || n == 0) return false;
        done += n;
    }
    return true;
}

bool Replace(const std::string& temp, const std::string& path) {
    return MoveFileExW(win::Wide(temp).c_str(), win::Wide(path).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

// What an open handle leads to: "" for a regular file, otherwise what it is.
const char* KindOf(HANDLE h) {
    switch (GetFileType(h)) {
        case FILE_TYPE_DISK: break;
        case FILE_TYPE_PIPE: return "a FIFO";
        case FILE_TYPE_CHAR: return "a device";
        default: return "not a regular file";
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info)) return "not a regular file";
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return "a folder";
    return "";
}

// For reading: folders open too, so that one is named as a folder rather than refused.
HANDLE OpenForReading(const std::string& path) {
    return CreateFileW(win::Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// Reads up to `limit` bytes and one more, so that a file that grew is seen to have grown.
bool ReadUpTo(HANDLE h, uint64_t limit, std::vector<uint8_t>* out, DWORD* err) {
    out->clear();
    uint8_t buf[4096];
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(h, buf, sizeof buf, &n, nullptr)) {
            *err = GetLastError();
            return false;
        }
        if (n == 0) return true;
        out->insert(out->end(), buf, buf + n);
        if (out->size() > limit) return true;
    }
}

}  // namespace

bool IsSymbolicLink(const std::string& path) {
    const DWORD attributes = Attributes(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool PathTaken(const std::string& path) { return Attributes(path) != INVALID_FILE_ATTRIBUTES; }

bool CheckOutputFile(const std::string& path, std::string* error) {
    if (path == kStandardStream) return true;
    std::string ignored;
    std::string& why = error ? *error : ignored;
    if (!CheckTarget(path, &why)) return false;
    std::string temp;
    const HANDLE h = OpenTemporary(path, &temp, &why);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    DeleteFileW(win::Wide(temp).c_str());
    return true;
}

bool WriteFileSafely(const std::string& path, std::string_view bytes, std::string* error, FileMode) {
    if (path == kStandardStream) return WriteStandardOutput(bytes, error);
    std::string ignored;
    std::string& why = error ? *error : ignored;
    if (!CheckTarget(path, &why)) return false;
    std::string temp;
    const HANDLE h = OpenTemporary(path, &temp, &why);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD err = 0;
    auto fail = [&err]() {
        if (err == 0) err = GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
    };
    if (!WriteAll(h, bytes)) fail();
    // Renamed only once the bytes are on the disk, so that a crash leaves the old file or the
    // new one, never a torn one.
    if (err == 0 && !FlushFileBuffers(h)) fail();
    if (!CloseHandle(h)) fail();
    if (err == 0 && !Replace(temp, path)) fail();
    if (err != 0) {
        DeleteFileW(win::Wide(temp).c_str());
        why = Reason(path, err);
        return false;
    }
    return true;
}

int CreateFileSafely(const std::string& path, std::string* error) {
    std::string ignored;
    std::string& why = error ? *error : ignored;
    if (!CheckTarget(path, &why)) return -1;
    std::string temp;
    const HANDLE h = OpenTemporary(path, &temp, &why);
    if (h == INVALID_HANDLE_VALUE) return -1;
    if (!Replace(temp, path)) {
        why = Reason(path, GetLastError());
        CloseHandle(h);
        DeleteFileW(win::Wide(temp).c_str());
        return -1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        why = path + ": no file descriptor left";
        CloseHandle(h);
    }
    return fd;
}

std::FILE* CreateStreamSafely(const std::string& path, std::string* error) {
    const int fd = CreateFileSafely(path, error);
    if (fd < 0) return nullptr;
    // Binary, as on every other system: the bytes written are the bytes in the file.
    std::FILE* f = _fdopen(fd, "wb");
    if (!f) {
        if (error) *error = path + ": cannot open a stream on it";
        _close(fd);
    }
    return f;
}

bool ReadSmallFile(const std::string& path, size_t limit, std::string* out, std::string* error) {
    out->clear();
    const HANDLE h = OpenForReading(path);
    if (h == INVALID_HANDLE_VALUE) {
        *error = Reason(path, GetLastError());
        return false;
    }
    LARGE_INTEGER size{};
    bool ok = false;
    std::vector<uint8_t> bytes;
    DWORD err = 0;
    if (KindOf(h)[0] != '\0') *error = path + " is not a regular file (a FIFO, a device or a folder)";
    else if (!GetFileSizeEx(h, &size)) *error = Reason(path, GetLastError());
    else if (static_cast<uint64_t>(size.QuadPart) > limit || !ReadUpTo(h, limit, &bytes, &err) || bytes.size() > limit)
        *error = err ? Reason(path, err) : path + " is larger than " + std::to_string(limit) + " bytes";
    else ok = true;
    CloseHandle(h);
    if (ok) out->assign(bytes.begin(), bytes.end());
    return ok;
}

WholeFile ReadWholeFile(const std::string& path, uint64_t limit) {
    if (path == kStandardStream) return ReadStandardInput(limit);
    WholeFile file;
    const HANDLE h = OpenForReading(path);
    if (h == INVALID_HANDLE_VALUE) {
        file.error = Reason(path, GetLastError());
        return file;
    }
    const char* kind = KindOf(h);
    LARGE_INTEGER size{};
    DWORD err = 0;
    if (kind[0] != '\0') {
        file.status = WholeFile::Status::NotRegular;
        file.kind = kind;
    } else if (!GetFileSizeEx(h, &size)) {
        file.error = Reason(path, GetLastError());
    } else if (file.size = static_cast<uint64_t>(size.QuadPart); file.size > limit) {
        file.status = WholeFile::Status::TooLarge;
    } else if (!ReadUpTo(h, file.size, &file.bytes, &err)) {
        file.error = Reason(path, err);
        file.bytes.clear();
    } else {
        // A file that grew meanwhile is read as far as it was judged.
        if (file.bytes.size() > file.size) file.bytes.resize(static_cast<size_t>(file.size));
        file.status = WholeFile::Status::Read;
    }
    CloseHandle(h);
    return file;
}

AppendFile::~AppendFile() {
    if (fd_ >= 0) _close(fd_);
}

bool AppendFile::Open(const std::string& path, std::string* error) {
    path_ = path;
    if (path.empty()) {
        *error = "no file named";
        return false;
    }
    if (IsSymbolicLink(path)) {
        *error = path + ": a symbolic link";
        return false;
    }
    const HANDLE h = CreateFileW(win::Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *error = Reason(path, GetLastError());
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (KindOf(h)[0] != '\0' || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        *error = path + " is not a regular file (a FIFO, a device or a folder)";
        CloseHandle(h);
        return false;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        *error = path + ": no file descriptor left";
        CloseHandle(h);
        return false;
    }
    fd_ = fd;
    return true;
}

bool AppendFile::Append(std::string_view record, std::string* error) {
    const HANDLE h = fd_ >= 0 ? reinterpret_cast<HANDLE>(_get_osfhandle(fd_)) : INVALID_HANDLE_VALUE;
    LARGE_INTEGER end{};
    if (h == INVALID_HANDLE_VALUE || !SetFilePointerEx(h, LARGE_INTEGER{}, &end, FILE_END)) {
        *error = path_ + ": " + win::ErrorText(h == INVALID_HANDLE_VALUE ? ERROR_INVALID_HANDLE : GetLastError());
        return false;
    }
    DWORD err = 0;
    DWORD n = 0;
    if (!WriteFile(h, record.data(), static_cast<DWORD>(record.size()), &n, nullptr)) err = GetLastError();
    else if (n != record.size()) err = ERROR_DISK_FULL;
    if (err == 0 && !FlushFileBuffers(h)) err = GetLastError();
    if (err == 0) return true;
    // Whatever reached the file of this record goes again, so the next record starts a line.
    const bool truncated = SetFilePointerEx(h, end, nullptr, FILE_BEGIN) && SetEndOfFile(h);
    (void)FlushFileBuffers(h);
    *error = path_ + ": " + (err == ERROR_DISK_FULL ? std::string("no space left on the device") : win::ErrorText(err)) +
             (truncated ? "" : " (and the partial record could not be taken back)");
    return false;
}

}  // namespace tessel
