#pragma once
// One copy of the desktop program per user: the first copy holds an advisory lock on a file
// in the user's runtime folder, and a second copy that cannot take it knows the first one is
// running. The lock goes with the process, so a crashed copy never blocks the next start.

#include <string>

namespace tessel {

class InstanceLock {
public:
    // `name` is the lock's file name, e.g. "tessel-gui.lock".
    explicit InstanceLock(std::string name, std::string folder = "");
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // True when this process now holds the lock (or already did); false when another copy
    // holds it or the file cannot be made (`error` says which).
    bool TryAcquire(std::string* error = nullptr);
    const std::string& Path() const { return path_; }
    // After a refused TryAcquire: the process that holds the lock, as it wrote itself into
    // the file (0 when it is not known).
    long HolderPid() const { return holder_; }

    // $XDG_RUNTIME_DIR/tessel, or the user's state folder when that is unset (always on
    // Windows).
    static std::string DefaultFolder();

private:
    std::string path_;
    int fd_ = -1;
    long holder_ = 0;
};

}  // namespace tessel
