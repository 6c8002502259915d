#include "platform/PosixSerialDevice.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <linux/serial.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <sstream>
#include <vector>

#include "platform/Clock.h"
#include "platform/PortList.h"

namespace tessel {

namespace {

speed_t SpeedFor(uint32_t baud) {
    switch (baud) {
        case 110: return B110;
        case 300: return B300;
        case 600: return B600;
        case 1200: return B1200;
        case 2400: return B2400;
        case 4800: return B4800;
        case 9600: return B9600;
        case 19200: return B19200;
        case 38400: return B38400;
        case 57600: return B57600;
        case 115200: return B115200;
        default: return B38400;
    }
}

bool UserInGroup(gid_t gid) {
    if (getegid() == gid) return true;
    int n = getgroups(0, nullptr);
    if (n <= 0) return false;
    std::vector<gid_t> groups(static_cast<size_t>(n));
    n = getgroups(n, groups.data());
    return std::find(groups.begin(), groups.begin() + std::max(n, 0), gid) != groups.begin() + std::max(n, 0);
}

}  // namespace

std::string DescribePermissionDenied(const std::string& path, const DeviceAccess& a) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", a.mode & 07777);
    const std::string what = path + ": permission denied; the device belongs to " + a.owner + ":" + a.group +
                             " with mode " + mode;
    const bool groupMayUse = (a.mode & 060) == 060;
    if (groupMayUse && !a.userInGroup && !a.userIsOwner)
        return what + ", and user '" + a.user + "' is not in group '" + a.group + "' (sudo usermod -aG " + a.group +
               " " + a.user + ", then log in again)";
    if (groupMayUse && a.userInGroup)
        return what + "; user '" + a.user + "' is in group '" + a.group +
               "', so something else refuses it (an ACL, or a security module)";
    if (a.userIsOwner) return what + "; its owner may not read and write it (sudo chmod u+rw " + path + ")";
    // Joining the group would not help: it has no access either.
    return what + ", so only " + a.owner +
           " may open it; give the device to a group you belong to with mode 0660 (a udev rule makes "
           "that last), or run as " + a.owner;
}

// The process that holds the advisory lock on `path`, as the kernel lists its locks; 0 when
// none is listed (another namespace, or no lock: TIOCEXCL alone).
long LockHolder(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return 0;
    char id[64];
    std::snprintf(id, sizeof id, "%02x:%02x:%lu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long>(st.st_ino));
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        std::istringstream words(line);
        std::vector<std::string> w{std::istream_iterator<std::string>(words), {}};
        // "1: FLOCK  ADVISORY  WRITE 1234 00:1a:3 0 EOF"; a waiter's line has "->" after the number.
        if (w.size() >= 6 && w[1] == "FLOCK" && w[5] == id && getpid() != std::atol(w[4].c_str()))
            return std::atol(w[4].c_str());
    }
    return 0;
}

// The devices this process holds for a run (PortHold), by device number: their descriptors.
std::mutex heldMutex;
std::map<dev_t, int> held;

// Opens `path` exclusively and locked, as every command does; the descriptor, or -1 with
// *err and *reason.
static int OpenLocked(const std::string& path, int* err, std::string* reason);

std::string DescribeOpenFailure(const std::string& path, int err) {
    switch (err) {
        case ENOENT:
        case ENXIO:
        case ENODEV:
            return path + ": no such serial device (is the adapter plugged in? `tessel ports` lists the ports present)";
        case EBUSY: {
            const long pid = LockHolder(path);
            return path + ": the port is in use by another program" + (pid ? " (pid " + std::to_string(pid) + ")" : "");
        }
        case EACCES:
        case EPERM: {
            struct stat st {};
            if (stat(path.c_str(), &st) != 0) return path + ": permission denied";
            // Through a link the advice is about the device it leads to.
            std::error_code ec;
            const std::string real = std::filesystem::canonical(path, ec).string();
            if (!ec && real != path) return path + " leads to " + DescribeOpenFailure(real, err);
            DeviceAccess a;
            a.mode = st.st_mode;
            a.owner = std::to_string(st.st_uid);
            a.group = std::to_string(st.st_gid);
            if (struct passwd* pw = getpwuid(st.st_uid)) a.owner = pw->pw_name;
            if (struct group* g = getgrgid(st.st_gid)) a.group = g->gr_name;
            a.user = "$USER";
            if (struct passwd* pw = getpwuid(geteuid())) a.user = pw->pw_name;
            a.userIsOwner = geteuid() == st.st_uid;
            a.userInGroup = UserInGroup(st.st_gid);
            return DescribePermissionDenied(path, a);
        }
        default:
            return path + ": " + std::strerror(err);
    }
}

std::unique_ptr<PosixSerialDevice> PosixSerialDevice::Open(const std::string& path, Clock& clock,
                                                           OpenError* error) {
    auto fail = [&](int err, std::string reason) {
        if (error) {
            error->code = err;
            error->reason = std::move(reason);
        }
        return nullptr;
    };
    // A device this process holds for its run is shared, not opened again: the lock and the
    // exclusive mode are the hold's, and stay when this device closes.
    int fd = -1;
    bool shared = false;
    {
        struct stat st {};
        std::lock_guard<std::mutex> lock(heldMutex);
        if (stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode))
            if (auto it = held.find(st.st_rdev); it != held.end()) {
                fd = fcntl(it->second, F_DUPFD_CLOEXEC, 0);
                if (fd < 0) return fail(errno, DescribeOpenFailure(path, errno));
                shared = true;
            }
    }
    if (!shared) {
        int err = 0;
        std::string reason;
        fd = OpenLocked(path, &err, &reason);
        if (fd < 0) return fail(err, reason);
    }
    const int wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0) {
        const int err = errno;
        ::close(fd);
        return fail(err, DescribeOpenFailure(path, err));
    }
    auto device = std::unique_ptr<PosixSerialDevice>(new PosixSerialDevice(fd, wakeFd, path, clock));
    device->shared_ = shared;
    // Links (by-id, the user's own) are resolved to the kernel's name before sysfs is asked.
    if (IsUsbTty(path)) device->AskLowLatency(SysfsTtyName(path));
    return device;
}

static int OpenLocked(const std::string& path, int* err, std::string* reason) {
    auto fail = [&](int fd, int code, std::string why) {
        if (fd >= 0) ::close(fd);
        *err = code;
        *reason = std::move(why);
        return -1;
    };
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return fail(-1, errno, DescribeOpenFailure(path, errno));
    if (!isatty(fd)) return fail(fd, ENOTTY, path + ": not a serial device");
    // TIOCEXCL keeps other programs from opening the line while we hold it; the advisory
    // lock also catches a second instance running as root, which TIOCEXCL lets through.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        return fail(fd, EBUSY, DescribeOpenFailure(path, e == EWOULDBLOCK ? EBUSY : e));
    }
    if (ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY && errno != EINVAL) return fail(fd, errno, DescribeOpenFailure(path, errno));
    return fd;
}

namespace {

class PosixPortHold final : public PortHold {
public:
    PosixPortHold(int fd, dev_t rdev) : fd_(fd), rdev_(rdev) {}
    ~PosixPortHold() override {
        {
            std::lock_guard<std::mutex> lock(heldMutex);
            held.erase(rdev_);
        }
        ioctl(fd_, TIOCNXCL);
        flock(fd_, LOCK_UN);
        ::close(fd_);
    }

private:
    int fd_;
    dev_t rdev_;
};

}  // namespace

std::unique_ptr<PortHold> PosixSerialDevice::Hold(const std::string& path, OpenError* error) {
    int err = 0;
    std::string reason;
    const int fd = OpenLocked(path, &err, &reason);
    struct stat st {};
    if (fd >= 0 && fstat(fd, &st) != 0) {
        err = errno;
        reason = DescribeOpenFailure(path, err);
        ::close(fd);
    } else if (fd >= 0) {
        std::lock_guard<std::mutex> lock(heldMutex);
        held[st.st_rdev] = fd;
        return std::make_unique<PosixPortHold>(fd, st.st_rdev);
    }
    if (error) *error = {err, reason};
    return nullptr;
}

namespace {

// A latency_timer attribute: its value in ms, -1 when there is none or it reads as no number.
int ReadTimer(const std::string& file) {
    std::ifstream in(file);
    int ms = -1;
    if (!(in >> ms)) return -1;
    return ms;
}

bool WriteTimer(const std::string& file, int ms) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) return false;
    const std::string text = std::to_string(ms) + "\n";
    const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return ::close(fd) == 0 && ok;
}

}  // namespace

// An adapter hands received bytes over only when its packet fills or its latency timer
// runs out, 16 ms by default on FTDI's; every reply the protocol waits for pays part of that.
// The kernel's low-latency flag makes such drivers set the timer to its minimum; where the
// driver shows the timer in sysfs it is set there as well, since a udev rule may have made
// the attribute writable where the flag is refused, and some drivers ignore the flag.
void PosixSerialDevice::AskLowLatency(const std::string& tty) {
    namespace fs = std::filesystem;
    std::string refused;
    serial_struct info {};
    if (ioctl(fd_, TIOCGSERIAL, &info) != 0) {
        refused = std::strerror(errno);
    } else if (!(info.flags & ASYNC_LOW_LATENCY)) {
        const int old = info.flags;
        info.flags |= ASYNC_LOW_LATENCY;
        if (ioctl(fd_, TIOCSSERIAL, &info) == 0) {
            restoreSerialFlags_ = true;
            oldSerialFlags_ = old;
        } else {
            refused = std::strerror(errno);
        }
    }
    const fs::path device = fs::path(DeviceTreeDir("sys")) / "class" / "tty" / tty / "device";
    const std::string timerFile = (device / "latency_timer").string();
    int ms = ReadTimer(timerFile);
    if (ms > 1) {
        if (WriteTimer(timerFile, 1) && ReadTimer(timerFile) == 1) {
            timerFile_ = timerFile;
            oldTimerMs_ = ms;
            return;
        }
        if (refused.empty()) refused = "the driver kept its timer";
    }
    if (ms == 1 || refused.empty()) return;
    if (ms < 0) {
        // No timer to read: only an FTDI adapter is known to have one, 16 ms as it comes.
        std::error_code ec;
        if (fs::read_symlink(device / "driver", ec).filename() != "ftdi_sio") return;
        ms = 16;
    }
    latencyNote_ = path_ + ": the adapter's latency timer stays at " + std::to_string(ms) +
                   " ms (low latency was refused: " + refused +
                   "): reads and downloads take up to a third longer; to lower it: echo 1 | sudo tee " + timerFile +
                   " (a udev rule setting ATTR{latency_timer}=\"1\" makes it last)";
}

PosixSerialDevice::PosixSerialDevice(int fd, int wakeFd, std::string path, Clock& clock)
    : fd_(fd), wakeFd_(wakeFd), path_(std::move(path)), clock_(clock),
      realClock_(clock.IsSystemTime()) {}

PosixSerialDevice::~PosixSerialDevice() {
    if (!timerFile_.empty() && !gone_) WriteTimer(timerFile_, oldTimerMs_);
    if (restoreSerialFlags_ && !gone_) {
        serial_struct info {};
        if (ioctl(fd_, TIOCGSERIAL, &info) == 0) {
            info.flags = oldSerialFlags_;
            ioctl(fd_, TIOCSSERIAL, &info);
        }
    }
    if (!shared_) {
        ioctl(fd_, TIOCNXCL);
        flock(fd_, LOCK_UN);
    }
    ::close(fd_);
    ::close(wakeFd_);
}

bool PosixSerialDevice::Configure(const LineSettings& settings) {
    termios tio {};
    if (tcgetattr(fd_, &tio) != 0) return false;
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    const speed_t speed = SpeedFor(settings.baudRate);
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    return tcsetattr(fd_, TCSANOW, &tio) == 0;
}

// EIO, ENXIO and ENODEV are what a tty answers once its device has been unplugged (or the
// far end of a pseudo-terminal closed); nothing after that will succeed.
int PosixSerialDevice::Note(int err) {
    if (err == EIO || err == ENXIO || err == ENODEV) gone_ = true;
    return err;
}

LineResult PosixSerialDevice::SetModemBit(int bit, bool high) {
    if (ioctl(fd_, high ? TIOCMBIS : TIOCMBIC, &bit) == 0) return LineResult::Ok;
    const int err = Note(errno);
    if (err == ENOTTY || err == EINVAL) return LineResult::Unsupported;
    return LineResult::Failed;
}

LineResult PosixSerialDevice::SetDtr(bool high) { return SetModemBit(TIOCM_DTR, high); }
LineResult PosixSerialDevice::SetRts(bool high) { return SetModemBit(TIOCM_RTS, high); }

size_t PosixSerialDevice::InputCount() {
    int n = 0;
    if (ioctl(fd_, FIONREAD, &n) != 0) {
        Note(errno);
        return 0;
    }
    return n < 0 ? 0 : static_cast<size_t>(n);
}

size_t PosixSerialDevice::OutputCount() {
    int n = 0;
    if (ioctl(fd_, TIOCOUTQ, &n) != 0) {
        Note(errno);
        return 0;
    }
    return n < 0 ? 0 : static_cast<size_t>(n);
}

int PosixSerialDevice::WaitFd(short events, uint64_t deadline, const std::atomic<bool>* cancel) {
    for (;;) {
        if (cancel && cancel->load()) return 0;
        const uint64_t now = clock_.NowUs();
        int timeout = 0;
        if (realClock_ && deadline > now)
            timeout = static_cast<int>(std::min<uint64_t>((deadline - now + 999) / 1000, 1000));
        pollfd fds[2] = {{fd_, events, 0}, {wakeFd_, POLLIN, 0}};
        const int rc = ::poll(fds, 2, timeout);
        if (rc < 0 && errno != EINTR) return -1;
        if (rc > 0) {
            if (fds[1].revents & POLLIN) {
                uint64_t v;
                [[maybe_unused]] ssize_t r = ::read(wakeFd_, &v, sizeof v);
                return 0;
            }
            // With CLOCAL set a hang-up is never a dropped carrier: the device itself has
            // gone (an adapter unplugged, the far end of a pseudo-terminal closed).
            if (fds[0].revents & (POLLHUP | POLLNVAL)) {
                gone_ = true;
                return -1;
            }
            if (fds[0].revents & (events | POLLERR)) return 1;
        }
        if (clock_.NowUs() >= deadline) return 0;
        if (!realClock_) clock_.SleepUntilUs(clock_.NowUs() + 1000, cancel);
    }
}

bool PosixSerialDevice::WaitInput(uint64_t deadline, const std::atomic<bool>* cancel) {
    for (;;) {
        if (gone_) return false;
        if (InputCount() > 0) return true;
        if (gone_) return false;
        const int rc = WaitFd(POLLIN, deadline, cancel);
        if (rc <= 0) return !gone_ && InputCount() > 0;
        // POLLERR with nothing to read: do not spin on it.
        if (InputCount() == 0) {
            if (gone_ || clock_.NowUs() >= deadline) return false;
            clock_.SleepUntilUs(clock_.NowUs() + 1000, cancel);
        }
    }
}

bool PosixSerialDevice::WaitOutputEmpty(uint64_t deadline) {
    // The driver gives no event for an empty transmit queue; poll its count each
    // millisecond, which is finer than a byte at any rate below 9600.
    for (;;) {
        if (gone_) return false;
        if (OutputCount() == 0) break;
        if (gone_ || clock_.NowUs() >= deadline) return false;
        clock_.SleepUntilUs(std::min(deadline, clock_.NowUs() + 1000));
    }
    // An adapter's count drops once its USB transfer is done, while its own FIFO still
    // shifts the bytes out; tcdrain waits for the adapter to report its transmitter empty,
    // which takes at most that FIFO's worth of bytes once the count is zero.
    if (realClock_ && tcdrain(fd_) != 0) {
        Note(errno);
        return !gone_;
    }
    return !gone_;
}

long PosixSerialDevice::Read(uint8_t* buffer, size_t n) {
    if (gone_) return -1;
    const ssize_t r = ::read(fd_, buffer, n);
    if (r < 0) {
        const int err = Note(errno);
        return (err == EAGAIN || err == EINTR) ? 0 : -1;
    }
    return static_cast<long>(r);
}

long PosixSerialDevice::Write(const uint8_t* buffer, size_t n, uint64_t deadline) {
    size_t done = 0;
    while (done < n) {
        const ssize_t w = ::write(fd_, buffer + done, n - done);
        if (w > 0) {
            done += static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EINTR) {
            Note(errno);
            return done ? static_cast<long>(done) : -1;
        }
        if (WaitFd(POLLOUT, deadline, nullptr) <= 0) break;
    }
    return static_cast<long>(done);
}

bool PosixSerialDevice::PurgeInput() { return tcflush(fd_, TCIFLUSH) == 0 || (Note(errno), false); }
bool PosixSerialDevice::PurgeOutput() { return tcflush(fd_, TCOFLUSH) == 0 || (Note(errno), false); }

void PosixSerialDevice::Wake() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t r = ::write(wakeFd_, &one, sizeof one);
}

}  // namespace tessel
