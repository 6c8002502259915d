#include "platform/InstanceLock.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "platform/Paths.h"

namespace tessel {

InstanceLock::InstanceLock(std::string name, std::string folder) {
    if (folder.empty()) folder = DefaultFolder();
    path_ = folder + "/" + name;
}

InstanceLock::~InstanceLock() {
    if (fd_ >= 0) ::close(fd_);
}

std::string InstanceLock::DefaultFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/') return std::string(runtime) + "/tessel";
    return UserStateDir();
}

bool InstanceLock::TryAcquire(std::string* error) {
    if (fd_ >= 0) return true;
    const std::string folder = path_.substr(0, path_.rfind('/'));
    if (!MakeDirs(folder)) {
        if (error) *error = "cannot create " + folder;
        return false;
    }
    const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        if (error) *error = path_ + ": " + std::strerror(errno);
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        if (error) *error = err == EWOULDBLOCK ? "another copy is running" : path_ + ": " + std::strerror(err);
        char text[24] = {};
        if (err == EWOULDBLOCK && ::pread(fd, text, sizeof text - 1, 0) > 0) holder_ = std::strtol(text, nullptr, 10);
        ::close(fd);
        return false;
    }
    // Who holds it, for the one that is refused to name; the lock holds without it.
    const std::string pid = std::to_string(static_cast<long>(::getpid())) + "\n";
    if (::ftruncate(fd, 0) == 0) (void)!::pwrite(fd, pid.data(), pid.size(), 0);
    fd_ = fd;
    return true;
}

}  // namespace tessel
