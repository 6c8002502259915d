#include "sim/PtyServer.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Clock.h"
#include "platform/VirtualLine.h"

namespace tessel::sim {

namespace {

uint32_t RateOf(speed_t s) {
    switch (s) {
        case B110: return 110;
        case B300: return 300;
        case B600: return 600;
        case B1200: return 1200;
        case B2400: return 2400;
        case B4800: return 4800;
        case B9600: return 9600;
        case B19200: return 19200;
        case B38400: return 38400;
        case B57600: return 57600;
        case B115200: return 115200;
        default: return 38400;
    }
}

}  // namespace

bool PtyServer::Open(std::string* error) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        if (error) *error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    const char* name = ptsname(master_);
    if (!name) {
        if (error) *error = "cannot name the pseudo-terminal";
        return false;
    }
    slavePath_ = name;
    slaveKeep_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio {};
    if (slaveKeep_ >= 0 && tcgetattr(slaveKeep_, &tio) == 0) {
        cfmakeraw(&tio);
        cfsetispeed(&tio, B38400);
        cfsetospeed(&tio, B38400);
        tcsetattr(slaveKeep_, TCSANOW, &tio);
    }
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    return true;
}

PtyServer::~PtyServer() {
    if (slaveKeep_ >= 0) ::close(slaveKeep_);
    if (master_ >= 0) ::close(master_);
}

bool PtyServer::Serve(const std::shared_ptr<LinePeer>& peer, const std::atomic<bool>& stop) {
    RealClock clock;
    auto virtualLine = std::make_shared<VirtualLine>(clock, slavePath_);
    virtualLine->AttachPeer(peer);
    auto adapter = std::make_unique<UsbAdapterLine>(virtualLine, profile_);
    SerialDevice* line = adapter.get();
    LineSettings settings;
    line->Configure(settings);
    uint8_t buf[512];
    while (!stop.load()) {
        // Short polls keep the board's own timers (the 1.1E prompt) close to their times.
        pollfd fd{master_, POLLIN, 0};
        ::poll(&fd, 1, 2);
        const ssize_t got = ::read(master_, buf, sizeof buf);
        if (got > 0) {
            termios tio {};
            if (tcgetattr(slaveKeep_ >= 0 ? slaveKeep_ : master_, &tio) == 0) {
                const uint32_t rate = RateOf(cfgetospeed(&tio));
                if (rate != settings.baudRate) {
                    settings.baudRate = rate;
                    line->Configure(settings);
                }
            }
            line->Write(buf, static_cast<size_t>(got), clock.NowUs() + 1'000'000);
        }
        const long out = line->Read(buf, sizeof buf);
        if (line->Gone() || peer->Unplugged()) {
            // Both ends of the terminal close: the client's next read or poll sees a hang-up.
            if (slaveKeep_ >= 0) ::close(slaveKeep_);
            ::close(master_);
            slaveKeep_ = master_ = -1;
            return false;
        }
        for (long done = 0; done < out;) {
            const ssize_t w = ::write(master_, buf + done, static_cast<size_t>(out - done));
            if (w > 0) done += w;
            else if (errno != EAGAIN && errno != EINTR) break;
            else ::poll(nullptr, 0, 1);
        }
    }
    return true;
}

}  // namespace tessel::sim
