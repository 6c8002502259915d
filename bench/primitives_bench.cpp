// How close the flash operations come to the wire: a full 64 KB program-and-verify and a
// full-block read on an NX31H64D at 38400 baud, against the stand-in board, on a plain
// virtual line and through the USB adapter model at a 1 ms and a 16 ms latency timer.
//
// The bound is the time the bytes themselves need on the wire, plus the board's own modelled
// erase and programming time, plus for every turnaround (each time the tool must wait for a
// reply) the adapter's latency and one USB frame for the write that follows. The ratio shows
// what the tool adds on top of what the line and the adapter cost anyway.

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "device/CDeviceSession.h"
#include "files/HexImage.h"
#include "files/ImageLoaders.h"
#include "platform/Clock.h"
#include "platform/Operator.h"
#include "platform/UsbAdapter.h"
#include "protocol/Detection.h"
#include "protocol/Primitives.h"
#include "sim/SimBoard.h"

using namespace tessel;

namespace {

constexpr uint32_t kBaud = 38400;

struct Rig {
    explicit Rig(const AdapterProfile& profile) : profile(profile), session(&op, clock) {
        sim::BoardConfig c;
        c.chipType = 3;
        link = sim::MakeSimLink(clock, c);
        session.chipType = 3;
        session.RefreshGeometry();
        session.port.SetBaudRate(kBaud);
        session.port.SetDeviceFactory([this](OpenError*) -> std::unique_ptr<SerialDevice> {
            return std::make_unique<UsbAdapterLine>(link.line, this->profile, counters);
        });
        session.port.Open();
        session.port.SetLinesInternalMode();
        bool linked = false;
        for (int i = 0; i < 100 && !linked; ++i) {
            session.port.WriteBlock(kBaudDetectString, 16);
            uint8_t o, k;
            linked = session.port.PollForInput() && session.port.ReadByte(&o) && session.port.ReadByte(&k);
        }
        const uint8_t bsl[3] = {'B', 'S', 'L'};
        session.port.WriteBlock(bsl, 3);
        uint8_t b;
        for (int i = 0; i < 3; ++i) linked = linked && session.port.ReadByte(&b);
        if (linked) session.port.SetLinkUp();
    }

    struct Mark {
        uint64_t us, out, in, busy, turnarounds;
    };
    Mark Now() {
        return {clock.NowUs(), link.line->HostBytesWritten(), link.line->PeerBytesSent(), link.board->BusyTimeUs(),
                counters->turnarounds};
    }
    // Prints one row and returns the ratio.
    double Report(const char* what, const Mark& a, const Mark& b) {
        const uint64_t bytes = (b.out - a.out) + (b.in - a.in);
        const uint64_t turns = b.turnarounds - a.turnarounds;
        const double wireUs = static_cast<double>(bytes) * 10.0 * 1e6 / kBaud;
        const double busyUs = static_cast<double>(b.busy - a.busy);
        const double perTurnUs = static_cast<double>(profile.latencyUs + profile.frameUs);
        const double boundUs = wireUs + busyUs + static_cast<double>(turns) * perTurnUs;
        const double elapsedUs = static_cast<double>(b.us - a.us);
        const double ratio = elapsedUs / boundUs;
        char adapter[32];
        std::snprintf(adapter, sizeof adapter, "%s %llums", AdapterKindName(profile.kind),
                      static_cast<unsigned long long>(profile.latencyUs / 1000));
        std::printf("%-10s %-26s bytes %6llu  wire %7.3f s  busy %5.3f s  turnarounds %5llu  bound %7.3f s  "
                    "elapsed %7.3f s  ratio %.4f\n",
                    adapter, what, static_cast<unsigned long long>(bytes), wireUs / 1e6, busyUs / 1e6,
                    static_cast<unsigned long long>(turns), boundUs / 1e6, elapsedUs / 1e6, ratio);
        return ratio;
    }

    AdapterProfile profile;
    std::shared_ptr<AdapterCounters> counters = std::make_shared<AdapterCounters>();
    VirtualClock clock;
    SilentOperator op;
    NullProgress progress;
    sim::SimLink link;
    CDeviceSession session;
    LinkContext ctx{session, progress};
};

// Program-and-verify and read of a full block; false when a result is wrong.
bool RunRows(const AdapterProfile& profile, double limit, bool withHex, bool* met) {
    Rig rig(profile);
    if (!rig.session.port.IsLinkUp()) {
        std::printf("%s: no link\n", AdapterKindName(profile.kind));
        return false;
    }
    std::mt19937 rng(2026);
    std::vector<uint8_t> data(65536);
    for (auto& b : data) b = static_cast<uint8_t>(rng());

    auto a = rig.Now();
    if (EraseSectors(rig.ctx, 0, 128, 512) != 0) return false;
    if (ProgramVerified(rig.ctx, 0, 128, data.data(), 65536) != 0) return false;
    auto b = rig.Now();
    *met &= rig.Report("erase+program+verify 64K", a, b) <= limit;

    std::vector<uint8_t> back(65536);
    a = rig.Now();
    if (ReadFlash(rig.ctx, back.data(), 0, 65536, 128) != 65536 || back != data) return false;
    b = rig.Now();
    *met &= rig.Report("read 64K", a, b) <= limit;

    if (!withHex) return true;
    // The whole download path of the operator: a HEX file converted in memory, the touched
    // sectors erased, programmed and verified by LoadToFlash.
    for (auto& x : data) x = static_cast<uint8_t>(rng());
    char path[] = "/tmp/tessel-bench-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return false;
    close(fd);
    const std::string hexPath = std::string(path) + ".hex";
    std::string error;
    if (!WriteIntelHexFile(hexPath, data, 0, &error)) return false;
    LoadedImage image;
    a = rig.Now();
    const int readRc = ReadLoadImage(rig.ctx, hexPath, &image);
    const int loadRc = readRc == load::kOk ? LoadToFlash(rig.ctx, image, 0, 0) : readRc;
    b = rig.Now();
    std::remove(hexPath.c_str());
    std::remove(path);
    if (loadRc != load::kOk) return false;
    *met &= rig.Report("LoadToFlash 64K from HEX", a, b) <= limit;
    return true;
}

}  // namespace

int main() {
    bool met = true;
    bool ok = RunRows(AdapterProfile::For(AdapterKind::Native), 1.05, true, &met);
    ok = ok && RunRows(AdapterProfile::For(AdapterKind::Ftdi, 1), 1.10, false, &met);
    ok = ok && RunRows(AdapterProfile::For(AdapterKind::Ftdi, 16), 1.10, false, &met);
    if (!ok) {
        std::printf("a result was wrong\n");
        return 1;
    }
    std::printf("target: ratio at most 1.05 on the plain line, 1.10 through the adapter -> %s\n",
                met ? "met" : "NOT MET");
    return met ? 0 : 1;
}
