// How close the flash operations come to the wire: a full 64 KB program-and-verify and a
// full-block read on an NX31H64D at 38400 baud, against the stand-in board on a virtual
// line. The bound is the time the bytes themselves need on the wire plus the board's own
// modelled erase and programming time; the ratio shows what the tool adds on top.

#include <unistd.h>

#include <cstdio>
#include <string>
#include <random>
#include <vector>

#include "device/CDeviceSession.h"
#include "platform/Clock.h"
#include "platform/Operator.h"
#include "files/HexImage.h"
#include "files/ImageLoaders.h"
#include "protocol/Detection.h"
#include "protocol/Primitives.h"
#include "sim/SimBoard.h"

using namespace tessel;

namespace {

constexpr uint32_t kBaud = 38400;

struct Rig {
    Rig() : session(&op, clock) {
        sim::BoardConfig c;
        c.chipType = 3;
        link = sim::MakeSimLink(clock, c);
        session.chipType = 3;
        session.RefreshGeometry();
        session.port.SetBaudRate(kBaud);
        session.port.SetDeviceFactory([this](OpenError*) { return std::make_unique<VirtualLineHandle>(link.line); });
        session.port.Open();
        session.port.SetLinesInternalMode();
        for (int i = 0; i < 100; ++i) {
            session.port.WriteBlock(kBaudDetectString, 16);
            uint8_t o, k;
            if (session.port.PollForInput() && session.port.ReadByte(&o) && session.port.ReadByte(&k)) break;
        }
        const uint8_t bsl[3] = {'B', 'S', 'L'};
        session.port.WriteBlock(bsl, 3);
        uint8_t b;
        for (int i = 0; i < 3; ++i) session.port.ReadByte(&b);
        session.port.SetLinkUp();
    }

    struct Mark {
        uint64_t us, out, in, busy;
    };
    Mark Now() {
        return {clock.NowUs(), link.line->HostBytesWritten(), link.line->PeerBytesSent(), link.board->BusyTimeUs()};
    }
    // Prints one line and returns the ratio.
    double Report(const char* what, const Mark& a, const Mark& b) {
        const uint64_t bytes = (b.out - a.out) + (b.in - a.in);
        const double wireUs = static_cast<double>(bytes) * 10.0 * 1e6 / kBaud;
        const double boundUs = wireUs + static_cast<double>(b.busy - a.busy);
        const double elapsedUs = static_cast<double>(b.us - a.us);
        const double ratio = elapsedUs / boundUs;
        std::printf("%-26s bytes %7llu (out %llu, in %llu)  wire %.3f s  board busy %.3f s  bound %.3f s  "
                    "elapsed %.3f s  ratio %.4f\n",
                    what, static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(b.out - a.out),
                    static_cast<unsigned long long>(b.in - a.in), wireUs / 1e6, (b.busy - a.busy) / 1e6,
                    boundUs / 1e6, elapsedUs / 1e6, ratio);
        return ratio;
    }

    VirtualClock clock;
    SilentOperator op;
    NullProgress progress;
    sim::SimLink link;
    CDeviceSession session;
    LinkContext ctx{session, progress};
};

}  // namespace

int main() {
    Rig rig;
    std::mt19937 rng(2026);
    std::vector<uint8_t> data(65536);
    for (auto& b : data) b = static_cast<uint8_t>(rng());

    auto a = rig.Now();
    if (EraseSectors(rig.ctx, 0, 128, 512) != 0) return 1;
    if (ProgramVerified(rig.ctx, 0, 128, data.data(), 65536) != 0) return 1;
    auto b = rig.Now();
    const double programRatio = rig.Report("erase+program+verify 64K", a, b);

    std::vector<uint8_t> back(65536);
    a = rig.Now();
    if (ReadFlash(rig.ctx, back.data(), 0, 65536, 128) != 65536 || back != data) return 1;
    b = rig.Now();
    const double readRatio = rig.Report("read 64K", a, b);

    // The whole download path of the operator: a HEX file converted in memory, the touched
    // sectors erased, programmed and verified by LoadToFlash.
    for (auto& x : data) x = static_cast<uint8_t>(rng());
    char path[] = "/tmp/tessel-bench-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return 1;
    close(fd);
    const std::string hexPath = std::string(path) + ".hex";
    std::string error;
    if (!WriteIntelHexFile(hexPath, data, 0, &error)) return 1;
    LoadedImage image;
    a = rig.Now();
    const int readRc = ReadLoadImage(rig.ctx, hexPath, &image);
    const int loadRc = readRc == load::kOk ? LoadToFlash(rig.ctx, image, 0, 0) : readRc;
    b = rig.Now();
    std::remove(hexPath.c_str());
    std::remove(path);
    if (loadRc != load::kOk) return 1;
    const double loadRatio = rig.Report("LoadToFlash 64K from HEX", a, b);

    const bool ok = programRatio <= 1.05 && readRatio <= 1.05 && loadRatio <= 1.05;
    std::printf("target: ratio at most 1.05 -> %s\n", ok ? "met" : "NOT MET");
    return ok ? 0 : 1;
}
