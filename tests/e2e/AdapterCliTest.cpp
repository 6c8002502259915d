// The command line on adapters and ports that misbehave, replaced target images, and the
// stand-in board's own options and replays.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "firmware/Firmware.h"
#include "support/CliRun.h"

namespace tessel {
namespace {

using test::kCli;
using test::TempFolder;
using test::WriteBytes;
using test::CliRun;
CliRun Tessel(std::vector<std::string> args) { return test::RunTessel(std::move(args), {}, true); }

namespace fs = std::filesystem;
using Steady = std::chrono::steady_clock;

// The cable pulled behind an FTDI adapter with its 16 ms timer, during a read and during a
// download: said as an error, and the end within a second, not 2-second reads byte after byte.
TEST(AdapterCli, PulledCableEndsReadAndDownloadWithinASecondWithStatus3) {
    const TempFolder dir;
    WriteBytes(dir + "/full.bin", test::Pattern(65536, 1, 7));
    for (const bool download : {false, true}) {
        test::SimOnPty sim({"--chip", "NX31H64D", "--adapter", "ftdi", "--latency-ms", "16", "--unplug-after",
                            download ? "6000" : "1500"});
        std::vector<std::string> args = {kCli, download ? "download" : "read", "--port", sim.pty, "--chip", "NX31H64D"};
        if (download) args.insert(args.end(), {"--yes", dir + "/full.bin"});
        test::ChildProcess cli(args, {}, true);
        std::string line, out;
        do line = sim.process.ReadLine();
        while (!line.empty() && line.find("unplugged") == std::string::npos);
        ASSERT_FALSE(line.empty()) << "the sim ended without pulling the cable";
        const auto pulled = Steady::now();
        EXPECT_EQ(cli.ReadAll(&out), 3) << out;
        EXPECT_LT(Steady::now() - pulled, std::chrono::seconds(1)) << out;
        EXPECT_NE(out.find("the serial device " + sim.pty + " has gone (unplugged?)"), std::string::npos) << out;
    }
}

// Another build of the block-1 stub in `dir`/good: same size, other bytes, no stand-in's mark.
std::vector<uint8_t> BenchBuildOfTheStub(const std::string& dir) {
    const FirmwareImage& builtIn = kFirmwareImages[static_cast<size_t>(FirmwareId::Block1StubA)];
    std::vector<uint8_t> stub(builtIn.data, builtIn.data + builtIn.size);
    const std::string mark = "TESSEL STAND-IN IMAGE";
    auto at = std::search(stub.begin(), stub.end(), mark.begin(), mark.end());
    EXPECT_NE(at, stub.end());
    if (at == stub.end()) return {};
    const std::string other = "BENCH BUILD OF STUB 2";
    std::copy(other.begin(), other.end(), at);
    stub[stub.size() - 1] ^= 0x5A;
    fs::create_directories(dir + "/good");
    WriteBytes(dir + "/good/stub_block1_a.bin", stub);
    return stub;
}

// The stub in --firmware-dir is listed as real (that the board receives it: Replay); a
// wrong-sized one is refused by name and size before anything is written.
TEST(AdapterCli, AReplacedImageIsListedAndAWrongSizedOneIsRefused) {
    const TempFolder dir;
    ASSERT_FALSE(BenchBuildOfTheStub(dir).empty());
    WriteBytes(dir + "/b1.bin", std::vector<uint8_t>(256, 0xC3));

    CliRun list = Tessel({"firmware", "--firmware-dir", dir + "/good"});
    EXPECT_EQ(list.status, 0) << list.out;
    EXPECT_TRUE(list.Says("stub_block1_a.bin         368 bytes  real       " + dir + "/good/stub_block1_a.bin"))
        << list.out;
    EXPECT_TRUE(list.Says("stub_block1_hl.bin        368 bytes  stand-in   built in")) << list.out;

    fs::create_directories(dir + "/short");
    WriteBytes(dir + "/short/stub_block1_a.bin", std::vector<uint8_t>(300, 0));
    {
        test::SimOnPty sim({"--chip", "NX31A32"});
        CliRun r = Tessel({"download", "--port", sim.pty, "--chip", "NX31A32", "--yes", "--block", "1",
                           "--start-sector", "16", "--firmware-dir", dir + "/short", dir + "/b1.bin"});
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_TRUE(r.Says(dir + "/short/stub_block1_a.bin has 300 bytes; stub_block1_a.bin must have 368")) << r.out;
    }
    list = Tessel({"firmware", "--firmware-dir", dir + "/short"});
    EXPECT_EQ(list.status, 1);
    EXPECT_TRUE(list.Says("refused: " + dir + "/short/stub_block1_a.bin has 300 bytes")) << list.out;
}

// An adapter whose FTDI latency_timer refuses every write (even root's), named by its stable
// name: the cost and the cure are said once, without -v, and the command goes on.
TEST(AdapterCli, ThroughALinkARefusedLowLatencyIsSaidWithoutVerbose) {
    const std::string recorded = std::string(TESSEL_SOURCE_DIR) + "/tests/platform/data/ports";
    const TempFolder folder;
    const fs::path tree = std::string(folder);
    fs::copy(recorded, tree, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    const fs::path timer = tree / "sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0/latency_timer";
    fs::remove(timer);
    fs::create_symlink("/dev/full", timer);
    test::SimOnPty board({"--chip", "NX31A32"});
    fs::remove(tree / "dev/ttyUSB0");
    fs::create_symlink(board.pty, tree / "dev/ttyUSB0");
    const CliRun r = test::RunTessel(
        {"read", "--port", (tree / "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A9XYZ012-if00-port0").string(), "--chip",
         "NX31A32", "--count", "1"},
        {"TESSEL_DEVICE_TREE=" + tree.string()}, true);
    EXPECT_EQ(r.status, 0) << r.out;
    const std::string said = "the adapter's latency timer stays at 16 ms";
    const size_t at = r.out.find(said);
    EXPECT_NE(at, std::string::npos) << r.out;
    EXPECT_EQ(r.out.find(said, at + 1), std::string::npos) << "once: " << r.out;
    EXPECT_TRUE(r.Says("take up to a third longer")) << r.out;
    EXPECT_TRUE(r.Says("echo 1 | sudo tee " + tree.string() + "/sys/class/tty/ttyUSB0/device/latency_timer")) << r.out;
}

// 115200, beyond the loader's documented list, is tried; a loader that cannot follow is tried
// once more at 38400, with a note, and the download completes there.
TEST(AdapterCli, Baud115200FallsBackOnceTo38400WhenTheLoaderCannotFollow) {
    for (const bool follows : {true, false}) {
        std::vector<std::string> simArgs = {"--chip", "NX31A32"};
        if (!follows) simArgs.insert(simArgs.end(), {"--max-baud", "38400"});
        test::SimOnPty board(simArgs);
        const CliRun r = test::RunTessel({"download", "--json", "--port", board.pty, "--chip", "NX31A32", "--baud",
                                          "115200", "--yes", test::kSample},
                                         {}, true);
        EXPECT_EQ(r.status, 0) << r.out;
        const std::string note =
            "The loader did not answer at 115200 baud, beyond its documented list; trying 38400 baud, the best rate "
            "of that list for 11.0592 MHz.";
        EXPECT_EQ(r.Says(note), !follows) << r.out;
        // The chip's report names the rate the download ran at.
        EXPECT_TRUE(r.Says(follows ? "{\"baud\":115200,\"event\":\"chip\"" : "{\"baud\":38400,\"event\":\"chip\""))
            << r.out;
    }
}

// The result line without its closing time, which differs from run to run.
std::string WithoutTime(const std::string& out) {
    std::string line = out.substr(out.rfind('\n', out.size() - 2) + 1);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    const size_t comma = line.rfind(", ");
    if (comma != std::string::npos && line.size() > 2 && line.compare(line.size() - 2, 2, " s") == 0)
        line.erase(comma);
    return line;
}

// A session recorded with --trace-wire replays to the same result; a command that sends other
// bytes is told where it left the trace and fails.
TEST(Replay, ARecordedSessionEndsAsRecordedAndAChangedImageIsCaughtAtItsFirstByte) {
    const TempFolder dir;
    const std::vector<uint8_t> stub = BenchBuildOfTheStub(dir);
    ASSERT_FALSE(stub.empty());
    char fingerprint[16];
    std::snprintf(fingerprint, sizeof fingerprint, "%08x", FirmwareFingerprint(stub));
    std::vector<uint8_t> image(300, 0x8C);
    WriteBytes(dir + "/b0.bin", image);
    WriteBytes(dir + "/b1.bin", image);
    const std::vector<std::vector<std::string>> commands = {
        {"download", "-y", "--verify", dir + "/b0.bin"},
        {"download", "-y", "--block", "1", "--start-sector", "16", "--firmware-dir", dir + "/good", dir + "/b1.bin"},
    };
    auto run = [&](const std::vector<std::string>& command, const std::string& port, const std::string& trace) {
        std::vector<std::string> args = command;
        args.insert(args.begin() + 1, {"-p", port, "--chip", "NX31A32"});
        if (!trace.empty()) args.insert(args.begin() + 1, {"--trace-wire", trace});
        return test::RunTessel(args);
    };
    for (size_t i = 0; i < commands.size(); ++i) {
        SCOPED_TRACE(commands[i][0] + " #" + std::to_string(i));
        const std::string trace = dir + "/trace" + std::to_string(i) + ".txt";
        CliRun recorded;
        std::string boardSaid;
        {
            test::SimOnPty board({"--chip", "NX31A32", "--firmware-dir", dir + "/good"});
            recorded = run(commands[i], board.pty, trace);
            board.process.Stop();
            board.process.ReadAll(&boardSaid);
        }
        ASSERT_EQ(recorded.status, 0) << recorded.out;
        // The board runs the replaced stub only if every byte of it arrived, and says which.
        const bool received = boardSaid.find("image received: Block1StubA, 368 bytes at ") != std::string::npos &&
                              boardSaid.find(std::string(", fingerprint ") + fingerprint + ", from " + dir +
                                             "/good/stub_block1_a.bin") != std::string::npos;
        EXPECT_EQ(received, i == 1) << boardSaid;
        test::SimOnPty replay({"--replay", trace});
        const CliRun replayed = run(commands[i], replay.pty, "");
        EXPECT_EQ(replayed.status, recorded.status) << replayed.out;
        EXPECT_EQ(WithoutTime(replayed.out), WithoutTime(recorded.out));
        replay.process.Stop();
        std::string said;
        replay.process.ReadAll(&said);
        EXPECT_NE(said.find("replay: the whole trace was played"), std::string::npos) << said;
    }
    // The image with one byte changed: the host leaves the trace at that byte.
    image[7] = 0x8D;
    WriteBytes(dir + "/b0.bin", image);
    test::SimOnPty replay({"--replay", dir + "/trace0.txt"});
    const CliRun changed = run(commands[0], replay.pty, "");
    EXPECT_NE(changed.status, 0) << changed.out;
    replay.process.Stop();
    std::string said;
    replay.process.ReadAll(&said);
    EXPECT_NE(said.find("replay: host differs at byte "), std::string::npos) << said;
    EXPECT_NE(said.find(": sent 8D, recorded 8C"), std::string::npos) << said;
}

// What cannot apply ends tessel-sim at once with status 2 and one line: options that do not go
// together, and files that are no trace or image (a FIFO is not waited on).
TEST(SimOptions, WhatCannotApplyIsRefusedAtOnceInOneLine) {
    const TempFolder dir;
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
    std::ofstream(dir + "/trace") << "0.000 > 80\n";
    std::ofstream(dir + "/events") << "# time_ms dir bytes\n0.000 ! open\n";
    // CRLF, then a lone CR: each ends one line.
    std::ofstream(dir + "/cut") << "0.000 > 80\r\n1.000 < 06\r2.000 >\n";
    WriteBytes(dir + "/big.bin", std::vector<uint8_t>(32769));
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"--fault-board", "2", "--unplug-after", "600"}, "--fault-board requires --boards"},
        {{"--boards", "2", "--fault-board", "3"}, "--fault-board must be 1 to 2, the number of --boards"},
        {{"--replay", dir + "/trace", "--boards", "2"}, "--boards excludes --replay"},
        {{"--replay", dir + "/fifo"}, "--replay " + dir + "/fifo is not a regular file"},
        {{"--external", dir + "/fifo"}, "--external " + dir + "/fifo is not a regular file"},
        {{"--block0", dir + "/big.bin"}, "big.bin is larger than 32768 bytes"},
        {{"--replay", dir + "/events"}, "events: not one byte went either way in it"},
        {{"--replay", dir + "/cut"}, "cut: line 3: no bytes after '>'"},
    };
    for (auto [argv, said] : refused) {
        argv.insert(argv.begin(), test::kSim);
        const auto started = Steady::now();
        test::ChildProcess sim(argv, {}, true);
        ASSERT_EQ(sim.Stop(0), 2) << said;
        EXPECT_LT(Steady::now() - started, std::chrono::seconds(1)) << said;
        std::string out;
        sim.ReadAll(&out);
        EXPECT_TRUE(test::Lines(out).size() == 1 && out.find(said) != std::string::npos) << out;
    }
}

}  // namespace
}  // namespace tessel
