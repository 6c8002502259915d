#include "platform/SafeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tessel {

namespace {

std::string Reason(const std::string& path, int err) { return path + ": " + std::strerror(err); }

// A fresh name beside `path`, created here and now; -1 with *error when none could be made.
int OpenTemporary(const std::string& path, std::string* temp, std::string* error) {
    for (int tries = 0; tries < 100; ++tries) {
        *temp = TemporaryNameBeside(path);
        const int fd = ::open(temp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) return fd;
        if (errno != EEXIST) {
            *error = Reason(path, errno);
            return -1;
        }
    }
    *error = Reason(path, EEXIST);
    return -1;
}

// Refuses a link; gives the permission bits of an existing regular file.
bool CheckTarget(const std::string& path, mode_t* existingMode, std::string* error) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return true;
        *error = Reason(path, errno);
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        *error = path + " is a symbolic link; it was not followed and nothing was written";
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = path + " is not a regular file; nothing was written";
        return false;
    }
    if (existingMode) *existingMode = st.st_mode & 07777;
    return true;
}

bool WriteAll(int fd, std::string_view bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool IsSymbolicLink(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool PathTaken(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool CheckOutputFile(const std::string& path, std::string* error) {
    if (path == kStandardStream) return true;
    std::string ignored;
    std::string& why = error ? *error : ignored;
    if (!CheckTarget(path, nullptr, &why)) return false;
    std::string temp;
    const int fd = OpenTemporary(path, &temp, &why);
    if (fd < 0) return false;
    ::close(fd);
    ::unlink(temp.c_str());
    return true;
}

bool WriteFileSafely(const std::string& path, std::string_view bytes, std::string* error, FileMode mode) {
    if (path == kStandardStream) return WriteStandardOutput(bytes, error);
    std::string ignored;
    std::string& why = error ? *error : ignored;
    mode_t keep = 0600;
    if (!CheckTarget(path, mode == FileMode::KeepExisting ? &keep : nullptr, &why)) return false;
    std::string temp;
    const int fd = OpenTemporary(path, &temp, &why);
    if (fd < 0) return false;
    int err = 0;
    auto fail = [&err](int e) {
        if (err == 0) err = e ? e : EIO;
    };
    if (!WriteAll(fd, bytes)) fail(errno);
    if (err == 0 && keep != 0600 && ::fchmod(fd, keep) != 0) fail(errno);
    // Renamed only once the bytes are on the disk, so that a crash leaves the old file or the
    // new one, never a torn one.
    if (err == 0 && ::fsync(fd) != 0) fail(errno);
    if (::close(fd) != 0) fail(errno);
    if (err == 0 && ::rename(temp.c_str(), path.c_str()) != 0) fail(errno);
    const bool ok = err == 0;
    if (!ok) {
        ::unlink(temp.c_str());
        why = Reason(path, err);
    }
    return ok;
}

int CreateFileSafely(const std::string& path, std::string* error) {
    std::string ignored;
    std::string& why = error ? *error : ignored;
    if (!CheckTarget(path, nullptr, &why)) return -1;
    std::string temp;
    const int fd = OpenTemporary(path, &temp, &why);
    if (fd < 0) return -1;
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        why = Reason(path, errno);
        ::close(fd);
        ::unlink(temp.c_str());
        return -1;
    }
    return fd;
}

std::FILE* CreateStreamSafely(const std::string& path, std::string* error) {
    const int fd = CreateFileSafely(path, error);
    if (fd < 0) return nullptr;
    std::FILE* f = ::fdopen(fd, "w");
    if (!f) {
        if (error) *error = Reason(path, errno);
        ::close(fd);
    }
    return f;
}

bool ReadSmallFile(const std::string& path, size_t limit, std::string* out, std::string* error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0;
    if (!ok) *error = path + ": " + std::strerror(errno);
    else if (!S_ISREG(st.st_mode)) *error = path + " is not a regular file (a FIFO, a device or a folder)";
    else if (static_cast<uint64_t>(st.st_size) > limit)
        *error = path + " is larger than " + std::to_string(limit) + " bytes";
    ok = ok && S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) <= limit;
    out->clear();
    char buf[512];
    while (ok) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = path + ": " + std::strerror(errno);
            ok = false;
        } else if (n == 0) {
            break;
        } else if (out->size() + static_cast<size_t>(n) > limit) {
            // It grew since it was looked at.
            *error = path + " is larger than " + std::to_string(limit) + " bytes";
            ok = false;
        } else {
            out->append(buf, static_cast<size_t>(n));
        }
    }
    ::close(fd);
    if (!ok) out->clear();
    return ok;
}

AppendFile::~AppendFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool AppendFile::Open(const std::string& path, std::string* error) {
    path_ = path;
    if (path.empty()) {
        *error = "no file named";
        return false;
    }
    // Non-blocking, so that a FIFO without a reader is refused at once instead of waiting.
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        const int err = errno;
        *error = path + ": " + (err == ELOOP ? std::string("a symbolic link") : std::strerror(err));
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = path + " is not a regular file (a FIFO, a device or a folder)";
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

bool AppendFile::Append(std::string_view record, std::string* error) {
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) {
        *error = path_ + ": " + std::strerror(fd_ < 0 ? EBADF : errno);
        return false;
    }
    ssize_t n = -1;
    do {
        n = ::write(fd_, record.data(), record.size());
    } while (n < 0 && errno == EINTR);
    int err = n < 0 ? errno : 0;
    if (n >= 0 && static_cast<size_t>(n) != record.size()) {
        // A short write is the disk (or the file-size limit) running out: the next write of
        // the rest says why.
        const ssize_t more = ::write(fd_, record.data() + n, record.size() - static_cast<size_t>(n));
        err = more < 0 ? errno : ENOSPC;
    }
    if (err == 0 && ::fsync(fd_) != 0) err = errno;
    if (err == 0) return true;
    // Whatever reached the file of this record goes again, so the next record starts a line.
    const int truncated = ::ftruncate(fd_, st.st_size);
    (void)::fsync(fd_);
    *error = path_ + ": " + (err == ENOSPC ? std::string("no space left on the device") : std::strerror(err)) +
             (truncated == 0 ? "" : " (and the partial record could not be taken back)");
    return false;
}

namespace {

const char* KindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

}  // namespace

WholeFile ReadWholeFile(const std::string& path, uint64_t limit) {
    if (path == kStandardStream) return ReadStandardInput(limit);
    WholeFile file;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        file.error = Reason(path, errno);
        return file;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        file.error = Reason(path, errno);
        ::close(fd);
        return file;
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        file.status = WholeFile::Status::NotRegular;
        file.kind = KindOf(st.st_mode);
        return file;
    }
    file.size = static_cast<uint64_t>(st.st_size);
    if (file.size > limit) {
        ::close(fd);
        file.status = WholeFile::Status::TooLarge;
        return file;
    }
    file.bytes.resize(static_cast<size_t>(file.size));
    size_t got = 0;
    while (got < file.bytes.size()) {
        const ssize_t n = ::read(fd, file.bytes.data() + got, file.bytes.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            file.error = Reason(path, errno);
            file.bytes.clear();
            ::close(fd);
            return file;
        }
        if (n == 0) break;  // the file shrank meanwhile: take what is there
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    file.bytes.resize(got);
    file.status = WholeFile::Status::Read;
    return file;
}

}  // namespace tessel
