// The real `tessel` binary interrupted by a signal part-way through a command that borrows
// block 0, on the in-process stand-in board whose flash is kept in files between runs: the
// command puts block 0 back before the program ends, the last line says what happened, and
// the exit status says which signal it was.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "support/CliRun.h"

namespace tessel {
namespace {

using test::kCli;
using test::LastLine;
using test::Pattern;
using test::ReadBytes;
using test::WriteBytes;

// The bytes the host sent, in order, as the wire trace has them so far.
std::vector<uint8_t> HostBytes(const std::string& trace) {
    std::vector<uint8_t> out;
    for (const std::string& write : test::WireWrites(trace)) {
        std::istringstream bytes(write);
        for (std::string hex; bytes >> hex;) out.push_back(static_cast<uint8_t>(std::stoul(hex, nullptr, 16)));
    }
    return out;
}

// Waits (up to 20 s) until the host has sent `after` bytes beyond the first `marker`.
bool WaitForWire(const std::string& trace, const std::vector<uint8_t>& marker, size_t after) {
    for (int i = 0; i < 4000; ++i) {
        const std::vector<uint8_t> sent = HostBytes(trace);
        const auto at = std::search(sent.begin(), sent.end(), marker.begin(), marker.end());
        if (at != sent.end() && static_cast<size_t>(sent.end() - at) >= marker.size() + after) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

struct Board {
    Board() {
        std::filesystem::create_directories(dir + "/sim");
        std::filesystem::create_directories(dir + "/state");
        WriteBytes(dir + "/sim/sim_NX31A32.block0", block0);
    }
    std::vector<std::string> Env() const {
        return {"TESSEL_SIM_STATE_DIR=" + dir + "/sim", "XDG_STATE_HOME=" + dir + "/state"};
    }
    std::vector<uint8_t> Block0() const { return ReadBytes(dir + "/sim/sim_NX31A32.block0"); }
    std::vector<std::string> Backups() const {
        std::vector<std::string> out;
        for (const auto& e : std::filesystem::recursive_directory_iterator(dir + "/state"))
            if (e.is_regular_file()) out.push_back(e.path());
        return out;
    }

    test::TempFolder dir;
    std::vector<uint8_t> block0 = Pattern(32768, 9);
};

// Starts `args`, waits for the wire to show `marker` and `after` more bytes, then sends the
// signal; when `twice`, SIGINT goes first (two of one kind sent together may arrive as one).
test::CliRun Interrupt(const Board& b, std::vector<std::string> args, const std::vector<uint8_t>& marker, size_t after,
                  int sig, bool twice = false) {
    const std::string trace = b.dir + "/wire.txt";
    args.insert(args.begin(), kCli);
    args.insert(args.end(), {"--trace-wire", trace});
    test::ChildProcess p(args, b.Env(), true);
    test::CliRun o;
    if (!WaitForWire(trace, marker, after)) {
        ADD_FAILURE() << "the command never got that far";
        return o;
    }
    if (twice) p.Signal(SIGINT);
    p.Stop(sig);
    o.status = p.ReadAll(&o.out);
    return o;
}

const std::vector<uint8_t> kSwitchToStub = {0x03, 0x20, 0x27, 0x10};
const std::vector<uint8_t> kOpenLowWindow = {0x66, 0x66, 0x0C};

// The block-1 download borrows block 0 for the programming stub, the A model's window download
// (which the command line opens and leaves itself) for the external-access stub. Ctrl-\ is one
// more way to ask for the end, and gets the same recovery. (The loader upgrade's stop, which
// finds block 1 written, is the same path here: InterruptionTest.)
TEST(CliInterrupt, ABlock1DownloadStopsAndLeavesBlock0ByteForByte) {
    const struct {
        std::vector<std::string> command;
        size_t bytes;
        const std::vector<uint8_t>& marker;
        size_t after;
        std::vector<int> signals;
        std::vector<std::string> says;
    } runs[] = {
        {{"download", "--block", "1", "--start-sector", "16"}, 48 * 64, kSwitchToStub, 300, {SIGINT, SIGTERM, SIGQUIT},
         {"interrupted by", "block 1 holds a partial image; block 0 was put back as it was"}},
        {{"download", "--external", "low", "--start-sector", "1"}, 3 * 4096, kOpenLowWindow, 600, {SIGINT, SIGTERM},
         {"the external flash window holds a partial image",
          "the external flash window was left and block 0 put back"}},
    };
    for (const auto& run : runs) {
        for (const int sig : run.signals) {
            SCOPED_TRACE(testing::PrintToString(run.command) + " " + strsignal(sig));
            Board b;
            const std::string file = b.dir + "/image.bin";
            WriteBytes(file, Pattern(run.bytes, 0x40));
            std::vector<std::string> args = run.command;
            args.insert(args.end(), {"--port", "sim:NX31A32", "--yes", file});
            const test::CliRun o = Interrupt(b, args, run.marker, run.after, sig);
            EXPECT_EQ(o.status, 128 + sig) << o.out;
            for (const std::string& said : run.says) EXPECT_NE(LastLine(o.out).find(said), std::string::npos) << o.out;
            EXPECT_EQ(b.Block0(), b.block0);
            EXPECT_TRUE(b.Backups().empty()) << "a restored block 0 leaves no backup";
        }
    }
}

// A second signal does not wait for the safe point; what it leaves is named.
TEST(CliInterrupt, ASecondSignalEndsAtOnceAndNamesTheBackupThatHoldsTheAreas) {
    Board b;
    const std::string file = b.dir + "/b1.bin";
    WriteBytes(file, Pattern(48 * 64, 0x40));
    const test::CliRun o = Interrupt(
        b, {"download", "--port", "sim:NX31A32", "--yes", "--block", "1", "--start-sector", "16", file},
        kSwitchToStub, 300, SIGTERM, true);
    // Handled on two threads at once, either may count as the second.
    EXPECT_TRUE(o.status == 143 || o.status == 130) << o.status << "\n" << o.out;
    EXPECT_NE(o.out.find("stopped at once"), std::string::npos) << o.out;
    const auto backups = b.Backups();
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_NE(o.out.find(backups[0]), std::string::npos) << o.out;
    const std::vector<uint8_t> saved = test::ImageOf(backups[0]);
    ASSERT_GE(saved.size(), 0x2180u);
    EXPECT_TRUE(std::equal(saved.begin(), saved.begin() + 0x80, b.block0.begin()));
    EXPECT_TRUE(std::equal(saved.begin() + 0x2000, saved.begin() + 0x2180, b.block0.begin() + 0x2000));
}

// A signal that comes while the monitor download runs whole finds the work done: the last
// line says so, and names the backup of what the monitor took from block 0.
TEST(CliInterrupt, ASignalThatFindsTheWorkDoneSaysItWasDone) {
    Board b;
    const test::CliRun o = Interrupt(b, {"monitor", "--port", "sim:NX31A32", "--yes"}, kSwitchToStub, 40, SIGTERM);
    EXPECT_EQ(o.status, 143) << o.out;
    const std::string last = LastLine(o.out);
    EXPECT_NE(last.find("interrupted after completion by SIGTERM"), std::string::npos) << o.out;
    EXPECT_EQ(last.find("put back"), std::string::npos) << "nothing was undone: " << last;
    const auto backups = b.Backups();
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_NE(last.find(backups[0]), std::string::npos) << last;
}

// Runs `script` under bash with the CLI as $0 and `args` after it; standard error is kept.
test::CliRun Bash(const std::string& script, std::vector<std::string> args, const std::vector<std::string>& env) {
    args.insert(args.begin(), {"/bin/bash", "-c", script, kCli});
    test::CliRun r;
    r.status = test::ChildProcess(args, env, true).ReadAll(&r.out);
    return r;
}

// A reader that goes away (`| head`) or a file-size limit on the wire trace never ends a
// procedure that has borrowed block 0: it finishes, and the lost output is the last word,
// with a failure status.
TEST(CliInterrupt, ALostReaderOrAFileSizeLimitLetsTheProcedureFinishAndIsReported) {
    {
        Board b;
        const std::string file = b.dir + "/b1.bin";
        WriteBytes(file, Pattern(48 * 64, 0x40));
        const test::CliRun r = Bash(R"("$0" "$@" | head -c 20 >/dev/null; exit ${PIPESTATUS[0]})",
                                    {"--json", "download", "--port", "sim:NX31A32", "--yes", "--block", "1",
                                     "--start-sector", "16", file},
                                    b.Env());
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_NE(r.out.find("standard output could not be written"), std::string::npos) << r.out;
        EXPECT_EQ(b.Block0(), b.block0);
        EXPECT_TRUE(b.Backups().empty()) << "block 0 was put back";
        const std::vector<uint8_t> block1 = ReadBytes(b.dir + "/sim/sim_NX31A32.block1");
        const std::vector<uint8_t> image = Pattern(48 * 64, 0x40);
        ASSERT_GE(block1.size(), 0x400u + image.size());
        EXPECT_TRUE(std::equal(image.begin(), image.end(), block1.begin() + 0x400)) << "the download finished";
    }
    {
        const test::SimOnPty sim({"--chip", "NX31A16"});
        const test::TempFolder dir;
        const std::string file = dir + "/b0.bin", trace = dir + "/wire.txt";
        WriteBytes(file, Pattern(4096, 0x21));
        const test::CliRun r = Bash(R"(ulimit -f 8; exec "$0" "$@")",
                                    {"download", "--port", sim.pty, "--chip", "NX31A16", "--yes", "--trace-wire", trace, file},
                                    {"XDG_STATE_HOME=" + dir});
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_NE(r.out.find("the wire trace " + trace + " is incomplete"), std::string::npos) << r.out;
    }
}

// A board that goes silent once the external-flash window's stub has erased block 0's borrowed
// areas: the tool gives up after one check instead of a time-out for every try of every step,
// and the result says where the areas went, in its text and in the JSON `backups`. (Which
// procedure says what: tests/ui.)
TEST(CliSilentBoard, AfterAnEraseTheResultSaysWhatIsWhere) {
    Board b;
    std::vector<std::string> args = {"read", "--external", "low", "--count", "1"};
    // Where the erase goes out, from a clean run's trace.
    size_t erased = 0;
    {
        std::vector<std::string> clean = args;
        clean.insert(clean.end(), {"--port", "sim:NX31A32", "--trace-wire", b.dir + "/clean.txt"});
        ASSERT_EQ(test::RunTessel(clean, b.Env(), true).status, 0);
        const std::vector<uint8_t> sent = HostBytes(b.dir + "/clean.txt"), erase = {0x0B, 0x00, 0x00, 0x01};
        const auto at = std::search(sent.begin(), sent.end(), erase.begin(), erase.end());
        ASSERT_NE(at, sent.end());
        erased = static_cast<size_t>(at - sent.begin()) + erase.size();
    }
    Board fresh;
    const std::string trace = fresh.dir + "/wire.txt";
    args.insert(args.end(), {"--json", "--port", "sim:NX31A32:1.1F:silent-from=" + std::to_string(erased + 1),
                             "--trace-wire", trace});
    const test::CliRun r = test::RunTessel(args, fresh.Env());
    EXPECT_EQ(r.status, 1) << r.out;
    const nlohmann::json result = nlohmann::json::parse(LastLine(r.out), nullptr, false);
    const std::string summary = result.value("summary", "");
    EXPECT_NE(summary.find("read: the external flash's low window was not opened; block 0's areas 0000h-007Fh and "
                           "2000h-217Fh were not put back; their saved contents are in "),
              std::string::npos)
        << summary;
    const auto backups = fresh.Backups();
    ASSERT_EQ(backups.size(), 1u) << "block 0 could not be put back";
    EXPECT_NE(summary.find(backups[0]), std::string::npos) << summary;
    EXPECT_EQ(result.value("backups", nlohmann::json()), nlohmann::json::array({backups[0]}));
    EXPECT_NE(test::ReadText(trace).find("the board has gone silent"), std::string::npos) << "given up on once";
}

}  // namespace
}  // namespace tessel
