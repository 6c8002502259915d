#include "platform/PosixSerialDevice.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/Clock.h"

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

std::string DescribeOpenFailure(const std::string& path, int err) {
    switch (err) {
        case ENOENT:
        case ENXIO:
        case ENODEV:
            return path + ": no such serial device (is the adapter plugged in? `tessel ports` lists the ports present)";
        case EBUSY:
            return path + ": the port is in use by another program";
        case EACCES:
        case EPERM: {
            struct stat st {};
            if (stat(path.c_str(), &st) == 0) {
                if (struct group* g = getgrgid(st.st_gid)) {
                    const std::string group = g->gr_name;
                    if (!UserInGroup(st.st_gid)) {
                        std::string user = "$USER";
                        if (struct passwd* pw = getpwuid(geteuid())) user = pw->pw_name;
                        return path + ": permission denied; the device belongs to group '" + group +
                               "' and user '" + user + "' is not a member (sudo usermod -aG " +
                               group + " " + user + ", then log in again)";
                    }
                }
            }
            return path + ": permission denied";
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
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        return fail(err, DescribeOpenFailure(path, err));
    }
    if (!isatty(fd)) {
        ::close(fd);
        return fail(ENOTTY, path + ": not a serial device");
    }
    // TIOCEXCL keeps other programs from opening the line while we hold it; the advisory
    // lock also catches a second instance running as root, which TIOCEXCL lets through.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(fd);
        return fail(EBUSY, DescribeOpenFailure(path, err == EWOULDBLOCK ? EBUSY : err));
    }
    if (ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY && errno != EINVAL) {
        const int err = errno;
        ::close(fd);
        return fail(err, DescribeOpenFailure(path, err));
    }
    const int wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0) {
        const int err = errno;
        ::close(fd);
        return fail(err, DescribeOpenFailure(path, err));
    }
    return std::unique_ptr<PosixSerialDevice>(new PosixSerialDevice(fd, wakeFd, path, clock));
}

PosixSerialDevice::PosixSerialDevice(int fd, int wakeFd, std::string path, Clock& clock)
    : fd_(fd), wakeFd_(wakeFd), path_(std::move(path)), clock_(clock),
      realClock_(dynamic_cast<RealClock*>(&clock) != nullptr) {}

PosixSerialDevice::~PosixSerialDevice() {
    ioctl(fd_, TIOCNXCL);
    flock(fd_, LOCK_UN);
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

LineResult PosixSerialDevice::SetModemBit(int bit, bool high) {
    if (ioctl(fd_, high ? TIOCMBIS : TIOCMBIC, &bit) == 0) return LineResult::Ok;
    if (errno == ENOTTY || errno == EINVAL) return LineResult::Unsupported;
    return LineResult::Failed;
}

LineResult PosixSerialDevice::SetDtr(bool high) { return SetModemBit(TIOCM_DTR, high); }
LineResult PosixSerialDevice::SetRts(bool high) { return SetModemBit(TIOCM_RTS, high); }

size_t PosixSerialDevice::InputCount() {
    int n = 0;
    if (ioctl(fd_, FIONREAD, &n) != 0 || n < 0) return 0;
    return static_cast<size_t>(n);
}

size_t PosixSerialDevice::OutputCount() {
    int n = 0;
    if (ioctl(fd_, TIOCOUTQ, &n) != 0 || n < 0) return 0;
    return static_cast<size_t>(n);
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
            if (fds[0].revents & (events | POLLERR | POLLHUP)) return 1;
        }
        if (clock_.NowUs() >= deadline) return 0;
        if (!realClock_) clock_.SleepUntilUs(clock_.NowUs() + 1000, cancel);
    }
}

bool PosixSerialDevice::WaitInput(uint64_t deadline, const std::atomic<bool>* cancel) {
    for (;;) {
        if (InputCount() > 0) return true;
        const int rc = WaitFd(POLLIN, deadline, cancel);
        if (rc <= 0) return InputCount() > 0;
        // A hang-up on a pseudo-terminal whose other side is closed reports POLLHUP with
        // nothing to read; do not spin on it.
        if (InputCount() == 0) {
            if (clock_.NowUs() >= deadline) return false;
            clock_.SleepUntilUs(clock_.NowUs() + 1000, cancel);
        }
    }
}

bool PosixSerialDevice::WaitOutputEmpty(uint64_t deadline) {
    // The driver gives no event for an empty transmit queue; poll its count each
    // millisecond, which is finer than a byte at any rate below 9600.
    for (;;) {
        if (OutputCount() == 0) return true;
        if (clock_.NowUs() >= deadline) return false;
        clock_.SleepUntilUs(std::min(deadline, clock_.NowUs() + 1000));
    }
}

long PosixSerialDevice::Read(uint8_t* buffer, size_t n) {
    const ssize_t r = ::read(fd_, buffer, n);
    if (r < 0) return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
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
        if (w < 0 && errno != EAGAIN && errno != EINTR) return done ? static_cast<long>(done) : -1;
        if (WaitFd(POLLOUT, deadline, nullptr) <= 0) break;
    }
    return static_cast<long>(done);
}

bool PosixSerialDevice::PurgeInput() { return tcflush(fd_, TCIFLUSH) == 0; }
bool PosixSerialDevice::PurgeOutput() { return tcflush(fd_, TCOFLUSH) == 0; }

void PosixSerialDevice::Wake() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t r = ::write(wakeFd_, &one, sizeof one);
}

}  // namespace tessel
