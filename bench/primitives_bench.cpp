// How close the flash operations come to what the line allows: a full 64 KB
// program-and-verify and a full-block read on an NX31H64D, against the stand-in board, on a
// plain virtual line and through the model of each USB-serial adapter, at 38400 baud and,
// where the crystal allows, at 115200.
//
// The bound is a true lower bound of the elapsed time: the union of every span in which
// something had to happen (a byte on the wire either way, the board erasing or programming,
// an adapter holding bytes or waiting for a USB frame as its maker documents), with
// overlapping spans counted once. Whatever the tool did, the run could not be shorter, so
// the ratio is 1.00 or more and what lies above 1.00 is the tool's own doing.

#include <unistd.h>

#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "files/HexImage.h"
#include "transfer/ImageLoaders.h"
#include "platform/Clock.h"
#include "platform/Operator.h"
#include "platform/UsbAdapter.h"
#include "protocol/Detection.h"
#include "protocol/Primitives.h"
#include "sim/SimBoard.h"

#include "BenchRig.h"

using namespace tessel;
using bench::Rig;

namespace {

struct Case {
    AdapterProfile profile;
    uint32_t baud;
    const char* setting;  // "best" or "default"
    double limit;         // 0: shown, not held to a target
    bool withHex;
};

std::string Label(const Case& c) {
    std::string label = AdapterKindName(c.profile.kind);
    if (c.profile.LatencySettable()) {
        label += ' ';
        label += std::to_string(c.profile.latencyUs / 1000);
        label += "ms";
    }
    if (c.profile.kind != AdapterKind::Native) {
        label += ' ';
        label += c.setting;
    }
    return label;
}

using Rows = std::map<std::string, Rig::Row>;

// Program-and-verify and read of a full block; false, after naming the row and the step, when a
// result is wrong. A ratio outside its target is named too, and clears *met.
bool RunRows(const Case& c, bool* met, Rows* rows) {
    Rig rig(c.profile, c.baud);
    const std::string label = Label(c) + "@" + std::to_string(c.baud);
    auto wrong = [&](const char* step) {
        std::printf("%s: %s: the result was wrong\n", label.c_str(), step);
        return false;
    };
    if (!rig.session.port.IsLinkUp()) return wrong("link");
    auto check = [&](const char* what, Rig::Row row) {
        (*rows)[label + " " + what] = row;
        // The bound is the union of spans inside the run: below 1.00 it would not be one.
        const bool within = row.ratio >= 0.9999 && (c.limit <= 0 || row.ratio <= c.limit);
        if (!within)
            std::printf("%s: %s: ratio %.4f misses its target (1.00 to %.2f)\n", label.c_str(), what, row.ratio,
                        c.limit);
        *met &= within;
    };
    std::mt19937 rng(2026);
    std::vector<uint8_t> data(65536);
    for (auto& b : data) b = static_cast<uint8_t>(rng());

    auto a = rig.Now();
    if (!EraseSectors(rig.ctx, 0, 128, 512)) return wrong("erase");
    if (!ProgramVerified(rig.ctx, 0, 128, data.data(), 65536)) return wrong("program");
    auto b = rig.Now();
    check("program", rig.Report(label, "erase+program+verify 64K", a, b));

    std::vector<uint8_t> back(65536);
    a = rig.Now();
    if (ReadFlash(rig.ctx, back.data(), 0, 65536, 128) != 65536 || back != data) return wrong("read");
    b = rig.Now();
    check("read", rig.Report(label, "read 64K", a, b));

    if (!c.withHex) return true;
    // The whole download path of the operator: a HEX file converted in memory, the touched
    // sectors erased, programmed and verified by LoadToFlash.
    for (auto& x : data) x = static_cast<uint8_t>(rng());
    char path[] = "/tmp/tessel-bench-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return wrong("hex file");
    close(fd);
    const std::string hexPath = std::string(path) + ".hex";
    std::string error;
    if (!WriteIntelHexFile(hexPath, data, 0, &error)) return wrong("hex file");
    LoadedImage image;
    a = rig.Now();
    const LoadResult readRc = ReadLoadImage(rig.ctx, hexPath, &image);
    const LoadResult loadRc = readRc == LoadResult::Ok ? LoadToFlash(rig.ctx, image, 0, 0) : readRc;
    b = rig.Now();
    std::remove(hexPath.c_str());
    std::remove(path);
    if (loadRc != LoadResult::Ok) return wrong("hex download");
    check("hex", rig.Report(label, "LoadToFlash 64K from HEX", a, b));
    return true;
}

double Percent(double slower, double faster) { return (slower / faster - 1.0) * 100.0; }

}  // namespace

int main() {
    const AdapterProfile native = AdapterProfile::For(AdapterKind::Native);
    std::vector<Case> cases = {{native, 38400, "best", 1.05, true}};
    for (AdapterKind kind : AllAdapterKinds()) {
        if (kind == AdapterKind::Native) continue;
        const AdapterProfile best = AdapterProfile::Best(kind);
        cases.push_back({best, 38400, "best", 1.10, false});
        // What a refused setting costs: the adapter as it comes.
        const AdapterProfile dflt = AdapterProfile::For(kind);
        if (dflt.latencyUs != best.latencyUs) cases.push_back({dflt, 38400, "default", 0, false});
    }
    // An 11.0592 MHz crystal makes 115200 exactly, beyond the loader's documented list.
    cases.push_back({native, 115200, "best", 1.05, true});
    cases.push_back({AdapterProfile::Best(AdapterKind::Ftdi), 115200, "best", 1.10, false});

    bool met = true;
    Rows rows;
    for (const Case& c : cases) {
        if (!RunRows(c, &met, &rows)) return 1;
    }

    std::printf("\nat the default setting:\n");
    for (AdapterKind kind : AllAdapterKinds()) {
        if (kind == AdapterKind::Native) continue;
        const AdapterProfile best = AdapterProfile::Best(kind), dflt = AdapterProfile::For(kind);
        const Case bestCase{best, 38400, "best", 0, false}, dfltCase{dflt, 38400, "default", 0, false};
        if (dflt.latencyUs == best.latencyUs) {
            std::printf("  %-8s nothing to set: its default is the row above (program %.3f s, read %.3f s)\n",
                        AdapterKindName(kind), rows[Label(bestCase) + "@38400 program"].elapsedUs / 1e6,
                        rows[Label(bestCase) + "@38400 read"].elapsedUs / 1e6);
            continue;
        }
        const auto& bp = rows[Label(bestCase) + "@38400 program"];
        const auto& br = rows[Label(bestCase) + "@38400 read"];
        const auto& dp = rows[Label(dfltCase) + "@38400 program"];
        const auto& dr = rows[Label(dfltCase) + "@38400 read"];
        std::printf("  %-8s at %llu ms instead of %llu ms: program %.3f s (+%.0f %%), read %.3f s (+%.0f %%)\n",
                    AdapterKindName(kind), static_cast<unsigned long long>(dflt.latencyUs / 1000),
                    static_cast<unsigned long long>(best.latencyUs / 1000), dp.elapsedUs / 1e6,
                    Percent(dp.elapsedUs, bp.elapsedUs), dr.elapsedUs / 1e6, Percent(dr.elapsedUs, br.elapsedUs));
    }
    const double hex38 = rows["native@38400 hex"].elapsedUs, hex115 = rows["native@115200 hex"].elapsedUs;
    std::printf("\n64K download from HEX at 115200: %.3f s, %.2f of the %.3f s at 38400\n", hex115 / 1e6,
                hex115 / hex38, hex38 / 1e6);
    std::printf("target: every ratio from 1.00, at most 1.05 on the plain line and 1.10 through each adapter at "
                "its best setting -> %s\n",
                met ? "met" : "NOT MET");
    return met ? 0 : 1;
}
