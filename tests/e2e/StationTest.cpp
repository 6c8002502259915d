// The production station against boards that come and go on one line (tessel-sim --boards):
// serial numbers that are never handed out twice, a log line for every board, and a signal
// that ends the station at a safe point.

#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "support/ChildProcess.h"
#include "support/CliRun.h"

namespace tessel {
namespace {

using nlohmann::json;
using test::ChildProcess;
using test::kCli;
using test::kSim;
using test::ReadBytes;
using test::WriteBytes;

std::vector<json> LogLines(const std::string& path) {
    std::vector<json> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(json::parse(line));
    return lines;
}

struct Bench {
    explicit Bench(std::vector<std::string> simArgs, std::string chipName = "NX31A32", std::string at = "7FF0")
        : chip(std::move(chipName)), serialAt(std::move(at)), image(test::Pattern(4096, 0x80)) {
        WriteBytes(dir + "/app.bin", image);
        simArgs.insert(simArgs.begin(), {kSim, "--chip", chip, "--save-block0", dir + "/board"});
        sim = std::make_unique<ChildProcess>(simArgs);
        pty = sim->ReadLine();
    }
    std::vector<std::string> Station(std::vector<std::string> extra) const {
        std::vector<std::string> args = {kCli, "station", "-p", pty, "--chip", chip, "-y", "--serial-at", serialAt,
                                         "--serial-start", "100", "--serial-state", dir + "/serial", "--log",
                                         dir + "/log.jsonl"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(dir + "/app.bin");
        return args;
    }
    // The boards' block 0 as tessel-sim wrote them when it ended.
    std::vector<uint8_t> Board(int k) {
        sim->Stop(SIGTERM);
        return ReadBytes(dir + "/board." + std::to_string(k));
    }

    // The serial number a board should hold at the serial address (le32).
    void ExpectNumbered(int k, uint32_t n) {
        SCOPED_TRACE(k);
        const std::vector<uint8_t> block0 = Board(k);
        const size_t at = std::stoul(serialAt, nullptr, 16);
        ASSERT_GT(block0.size(), at + 4);
        EXPECT_TRUE(std::equal(image.begin(), image.end(), block0.begin()));
        EXPECT_EQ(std::vector<uint8_t>(block0.begin() + at, block0.begin() + at + 4),
                  (std::vector<uint8_t>{static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), 0, 0}));
    }

    std::string chip;
    std::string serialAt;
    test::TempFolder dir;  // goes after the boards have stopped
    std::vector<uint8_t> image;
    std::unique_ptr<ChildProcess> sim;
    std::string pty;
};

// The lines of `out` that start with `start`.
std::vector<std::string> Lines(const std::string& out, const std::string& start) {
    std::vector<std::string> found = test::Lines(out);
    std::erase_if(found, [&](const std::string& line) { return line.rfind(start, 0) != 0; });
    return found;
}

TEST(Station, ThreeBoardsGetTheImageAndTheirOwnNumbersAndARestartGoesOn) {
    Bench bench({"--boards", "4"});
    ChildProcess station(bench.Station({"--count", "3"}));
    std::string out;
    ASSERT_EQ(station.ReadAll(&out), 0) << out;
    const auto passes = Lines(out, "slot 1: PASS board ");
    ASSERT_EQ(passes.size(), 3u) << out;
    EXPECT_EQ(passes[1].rfind("slot 1: PASS board 2, serial 00000101, ", 0), 0u) << passes[1];
    EXPECT_NE(out.find("station: 3 passed, 0 failed, yield 100 %"), std::string::npos) << out;
    const auto log = LogLines(bench.dir + "/log.jsonl");
    ASSERT_EQ(log.size(), 3u);
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(log[k]["serial"], 100 + k);
        EXPECT_EQ(log[k]["result"], "pass");
        EXPECT_EQ(log[k]["image_sha256"].get<std::string>().size(), 64u);
        EXPECT_EQ(log[k]["image_sha256"], log[0]["image_sha256"]);
        EXPECT_FALSE(log[k]["steps"].empty());
    }
    // A fourth run, as after a restart, goes on from where the state file says.
    ChildProcess again(bench.Station({"--count", "1"}));
    std::string out2;
    ASSERT_EQ(again.ReadAll(&out2), 0) << out2;
    EXPECT_EQ(Lines(out2, "slot 1: PASS board 1, serial 00000103, ").size(), 1u) << out2;
    for (int k = 1; k <= 4; ++k) bench.ExpectNumbered(k, 99 + static_cast<uint32_t>(k));
}

// The second board falls silent while it is being programmed: it fails with its reason and its
// number is void, never given to the next board; the station goes on with the third.
TEST(Station, ABoardThatFallsSilentFailsAloneAndItsNumberIsNeverReused) {
    Bench bench({"--boards", "3", "--fault-board", "2", "--silent-from", "3000"}, "NX31A16", "3FF0");
    ChildProcess station(bench.Station({"--count", "2"}));
    std::string out;
    EXPECT_EQ(station.ReadAll(&out), 1) << out;
    EXPECT_EQ(Lines(out, "slot 1: PASS board ").size(), 2u) << out;
    const auto fails = Lines(out, "slot 1: FAIL board 2: ");
    ASSERT_EQ(fails.size(), 1u) << out;
    EXPECT_NE(fails[0].find("no byte came back"), std::string::npos) << fails[0];
    EXPECT_NE(fails[0].find("(serial 00000101 void)"), std::string::npos) << fails[0];
    const auto log = LogLines(bench.dir + "/log.jsonl");
    ASSERT_EQ(log.size(), 3u) << out;
    EXPECT_EQ(log[1]["result"], "fail");
    EXPECT_EQ(log[1]["serial"], 101);
    EXPECT_EQ(log[1]["serial_void"], true);
    EXPECT_NE(log[1]["reason"].get<std::string>().find("no byte came back"), std::string::npos) << log[1];
    EXPECT_EQ(log[2]["result"], "pass");
    EXPECT_EQ(log[2]["serial"], 102);
    bench.ExpectNumbered(1, 100);
    bench.ExpectNumbered(3, 102);
}

// Only the board that --fault-board names has its cable pulled; the one before it is whole.
TEST(Station, OnlyTheFaultBoardHasItsCablePulled) {
    Bench bench({"--boards", "2", "--fault-board", "2", "--unplug-after", "3000"});
    ChildProcess station(bench.Station({"--count", "2"}));
    std::string line;
    const auto ends = [](const std::string& l) {
        return l.empty() || l.find("unplugged") != std::string::npos || l.find("2 taken away") != std::string::npos;
    };
    do line = bench.sim->ReadLine();
    while (!ends(line));
    EXPECT_EQ(line, "tessel-sim: board 2 unplugged after 3000 bytes");
    station.Signal(SIGINT);
    std::string out;
    station.ReadAll(&out);
    EXPECT_EQ(Lines(out, "slot 1: PASS board 1,").size(), 1u) << out;
    bench.ExpectNumbered(1, 100);
}

// Ctrl-C while a board is being programmed: the board ends at a safe point, its log line
// says it was stopped and its number is void; the station sums up and exits 130.
TEST(Station, ASignalEndsItAtASafePointWithASummary) {
    Bench bench({"--boards", "2", "--reply-delay", "40"});
    ChildProcess station(bench.Station({}));
    ASSERT_EQ(station.ReadLine().rfind("slot 1: waiting for a board", 0), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    station.Signal(SIGINT);
    std::string out;
    EXPECT_EQ(station.ReadAll(&out), 130) << out;
    EXPECT_NE(out.find("station: 0 passed, 1 failed"), std::string::npos) << out;
    const auto log = LogLines(bench.dir + "/log.jsonl");
    ASSERT_EQ(log.size(), 1u) << out;
    EXPECT_EQ(log[0]["result"], "fail");
    EXPECT_EQ(log[0]["serial_void"], true);
    EXPECT_NE(log[0]["reason"].get<std::string>().find("stopped by a signal"), std::string::npos) << log[0];
}

}  // namespace
}  // namespace tessel
