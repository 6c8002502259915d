// The production station's time a board against what the download alone could take: three
// NX31A32 boards, one after the other, on tessel-sim's pseudo-terminal at 38400 baud, each
// given a 32 KB image with its own serial number, the numbers kept in a SQLite ledger.
//
// The bound is the download's true lower bound at that rate, measured on the virtual clock
// as bench_primitives measures it: the union of the spans in which something had to happen
// (a byte on the wire either way, the board erasing or programming) for the same image on
// the same chip. A board's time is the one the station logs for it: from the first byte of
// its connection to its verified last sector, the ledger's reservation included. Target: at
// most 1.10 times the bound for every board. The boards' time in their slot (the cycle)
// is shown too; it includes the pause in which an operator swaps them.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "../tests/support/ChildProcess.h"
#include "BenchRig.h"
#include "platform/Paths.h"
#include "transfer/ImageLoaders.h"

using namespace tessel;
using bench::Rig;

namespace {

constexpr int kBoards = 3;
constexpr uint32_t kBaud = 38400;
constexpr size_t kSerialAt = 0x7FF0;  // the image fills block 0 up to the number's four bytes
constexpr double kTarget = 1.10;

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The image as board `n` takes it: the program, then its number (four bytes, low first).
std::vector<uint8_t> Numbered(const std::vector<uint8_t>& program, uint32_t n) {
    std::vector<uint8_t> bytes = program;
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(n >> (8 * i)));
    return bytes;
}

}  // namespace

int main() {
    std::mt19937 rng(2026);
    std::vector<uint8_t> program(kSerialAt);
    for (auto& b : program) b = static_cast<uint8_t>(rng());

    // The download's bound, on the virtual clock.
    Rig rig(AdapterProfile::For(AdapterKind::Native), kBaud, 2);
    if (!rig.session.port.IsLinkUp()) {
        std::printf("download bound: link: the result was wrong\n");
        return 1;
    }
    LoadedImage image;
    image.bytes = Numbered(program, 1);
    const Rig::Mark a = rig.Now();
    if (LoadToFlash(rig.ctx, image, 0, 0) != LoadResult::Ok) {
        std::printf("download bound: download: the result was wrong\n");
        return 1;
    }
    const Rig::Row bound = rig.Report("native@38400", "erase+program+verify 32K", a, rig.Now());
    const double boundS = bound.elapsedUs / bound.ratio / 1e6;

    std::string why;
    const std::string dir = MakePrivateTempDir("tessel-bench-station-", &why);
    if (dir.empty()) {
        std::printf("no scratch folder: %s\n", why.c_str());
        return 1;
    }
    {
        std::ofstream out(dir + "/app.bin", std::ios::binary);
        out.write(reinterpret_cast<const char*>(program.data()), static_cast<std::streamsize>(program.size()));
    }
    test::ChildProcess sim({TESSEL_SIM, "--chip", "NX31A32", "--boards", std::to_string(kBoards), "--save-block0",
                            dir + "/board"});
    const std::string pty = sim.ReadLine();
    char at[8];
    std::snprintf(at, sizeof at, "%zX", kSerialAt);
    // The station's state (its ledger, its port lock) stays in the scratch folder.
    const std::vector<std::string> env = {"HOME=" + dir, "XDG_STATE_HOME=" + dir + "/state"};
    const auto t0 = std::chrono::steady_clock::now();
    test::ChildProcess station({TESSEL_CLI, "station", "-p", pty, "--chip", "NX31A32", "-y", "--count",
                                std::to_string(kBoards), "--serial-at", at, "--serial-start", "1", "--ledger",
                                dir + "/ledger.sqlite", "--log", dir + "/log.jsonl", dir + "/app.bin"},
                               env, true);
    std::string output;
    const int rc = station.ReadAll(&output);
    const double wallS = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    sim.Stop(SIGTERM);
    if (rc != 0) {
        std::printf("station: exit %d:\n%s", rc, output.c_str());
        return 1;
    }

    bool met = true;
    int boards = 0;
    std::ifstream log(dir + "/log.jsonl");
    for (std::string line; std::getline(log, line);) {
        const nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
        if (record.is_discarded() || !record.contains("board")) continue;
        ++boards;
        const int k = record["board"].get<int>();
        const double s = record["seconds"].get<double>();
        const bool pass = record["result"] == "pass" && record["serial"] == k;
        const std::vector<uint8_t> want = Numbered(program, static_cast<uint32_t>(k));
        const std::vector<uint8_t> got = ReadFile(dir + "/board." + std::to_string(k));
        const bool holds = got.size() >= want.size() && std::equal(want.begin(), want.end(), got.begin());
        const double ratio = s / boundS;
        std::printf("station board %d: %7.3f s  bound %7.3f s  ratio %.3f  %s\n", k, s, boundS, ratio,
                    !pass    ? "FAILED"
                    : holds ? "holds its image and number"
                            : "DOES NOT hold its image and number");
        if (!pass || !holds) {
            std::printf("station board %d: download: the result was wrong\n", k);
            return 1;
        }
        if (ratio > kTarget) {
            std::printf("station board %d: download: ratio %.3f misses its target (at most %.2f)\n", k, ratio,
                        kTarget);
            met = false;
        }
    }
    if (boards != kBoards) {
        std::printf("station: log: %d boards' records of %d\n", boards, kBoards);
        return 1;
    }
    std::printf("station: %d boards in %.1f s, %.1f s a board in its slot (swaps included)\n", kBoards, wallS,
                wallS / kBoards);
    std::printf("target: every board at most %.2f x the download's bound -> %s\n", kTarget, met ? "met" : "NOT MET");
    std::error_code ec;
    if (met) std::filesystem::remove_all(dir, ec);
    return met ? 0 : 1;
}
