// Boards programmed side by side, and a re-flash that rewrites only what changed, at 38400
// baud against stand-in boards on virtual lines.
//
// Gang: each board has its own session, line and board, and its download runs on its own
// thread, all on one virtual clock; 1, 4 and 8 boards take a 32 KB image each, and the
// time of each run is compared with the single board's. Nothing the sessions share may
// make one board wait for another, so the ratio stays near 1 (target: at most 1.3).
//
// Changed only: a 32 KB image downloaded in full, then the same image with one sector
// changed downloaded with the sectors read and compared first (target: at most 0.55 times
// the full download), after which the board must hold the new image.

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "device/CDeviceSession.h"
#include "transfer/ImageLoaders.h"
#include "platform/Clock.h"
#include "platform/Operator.h"
#include "protocol/Detection.h"
#include "protocol/Primitives.h"
#include "sim/SimBoard.h"

using namespace tessel;

namespace {

constexpr uint32_t kBaud = 38400;
constexpr int kChip = 2;  // NX31A32: a 32 KB block 0 of 128-byte sectors

// One board: its session linked to its stand-in board, the loader's handshake done.
struct Board {
    explicit Board(VirtualClock& clock) : session(&op, clock) {
        sim::BoardConfig c;
        c.chipType = kChip;
        link = sim::MakeSimLink(clock, c);
        session.chipType = kChip;
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
    SilentOperator op;
    NullProgress progress;
    sim::SimLink link;
    CDeviceSession session;
    LinkContext ctx{session, progress};
};

// Downloads the image to `n` fresh boards at once; the elapsed virtual seconds, or -1 when a
// board does not hold the image afterwards.
double Gang(int n, const LoadedImage& image) {
    VirtualClock clock;
    std::vector<std::unique_ptr<Board>> boards;
    for (int i = 0; i < n; ++i) boards.push_back(std::make_unique<Board>(clock));
    std::atomic<int> done{0};
    std::atomic<bool> failed{false};
    const uint64_t t0 = clock.NowUs();
    std::vector<std::thread> threads;
    for (auto& b : boards) {
        // Registered before the thread starts, so that time cannot run ahead of it.
        auto participant = std::make_shared<VirtualClock::Participant>(clock);
        threads.emplace_back([&, board = b.get(), participant] {
            if (LoadToFlash(board->ctx, image, 0, 0) != LoadResult::Ok) failed = true;
            ++done;
        });
    }
    uint64_t elapsed = 0;
    // This thread takes part in the clock too: it waits on it while the boards work.
    while (done < n) clock.SleepMs(1);
    for (auto& t : threads) t.join();
    elapsed = clock.NowUs() - t0;
    for (auto& b : boards) {
        b->session.port.Device()->WaitOutputEmpty(clock.NowUs() + 1'000'000);
        const std::vector<uint8_t> flash = b->link.board->Block(0);
        if (!std::equal(image.bytes.begin(), image.bytes.end(), flash.begin())) failed = true;
    }
    return failed ? -1 : static_cast<double>(elapsed) / 1e6;
}

}  // namespace

int main() {
    std::mt19937 rng(2026);
    LoadedImage image;
    image.bytes.resize(32768);
    for (auto& b : image.bytes) b = static_cast<uint8_t>(rng());

    // A wrong result ends the run at once, naming the row and its step.
    auto wrong = [](const char* row, const char* step) {
        std::printf("%s: %s: the result was wrong\n", row, step);
        return 1;
    };
    bool ok = true;
    const double single = Gang(1, image);
    if (single <= 0) return wrong("gang download 32K 1 board", "download");
    std::printf("gang download 32K   1 board : %8.3f s  ratio 1.000\n", single);
    for (int n : {4, 8}) {
        const double t = Gang(n, image);
        if (t <= 0) return wrong(n == 4 ? "gang download 32K 4 boards" : "gang download 32K 8 boards", "download");
        const double ratio = t / single;
        std::printf("gang download 32K %3d boards: %8.3f s  ratio %.3f\n", n, t, ratio);
        if (n == 8 && ratio > 1.3) {
            std::printf("gang download 32K 8 boards: download: ratio %.3f misses its target (at most 1.3)\n", ratio);
            ok = false;
        }
    }

    VirtualClock clock;
    Board board(clock);
    uint64_t a = clock.NowUs();
    if (LoadToFlash(board.ctx, image, 0, 0) != LoadResult::Ok) return wrong("full download 32K", "download");
    const double full = static_cast<double>(clock.NowUs() - a) / 1e6;
    LoadedImage changed = image;
    for (size_t i = 40 * 128; i < 41 * 128; ++i) changed.bytes[i] = static_cast<uint8_t>(rng());
    ChangedSectors count;
    a = clock.NowUs();
    if (LoadChangedToFlash(board.ctx, changed, 0, 0, &count) != LoadResult::Ok)
        return wrong("changed only, 1 sector of 256", "download");
    const double partial = static_cast<double>(clock.NowUs() - a) / 1e6;
    board.session.port.Device()->WaitOutputEmpty(clock.NowUs() + 1'000'000);
    const bool holds = board.link.board->Block(0) == changed.bytes;
    const double ratio = partial / full;
    std::printf("full download 32K            : %8.3f s\n", full);
    std::printf("changed only, 1 sector of 256: %8.3f s  ratio %.3f  (%d rewritten, %d skipped)  board %s\n", partial,
                ratio, count.rewritten, count.skipped, holds ? "holds the new image" : "DOES NOT hold the new image");
    if (!holds) std::printf("changed only, 1 sector of 256: compare: the board does not hold the new image\n");
    if (ratio > 0.55)
        std::printf("changed only, 1 sector of 256: download: ratio %.3f misses its target (at most 0.55)\n", ratio);
    ok = ok && holds && ratio <= 0.55;
    std::printf("targets: 8 boards at most 1.3 x one board; changed only at most 0.55 x full -> %s\n",
                ok ? "met" : "NOT MET");
    return ok ? 0 : 1;
}
