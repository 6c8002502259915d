// Several boards in one run of the command line: each programmed or failed on its own, named
// in the table and the last line, and refused together before any board is touched.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "support/CliRun.h"

namespace tessel {
namespace {

using test::kSim;
using test::kCli;
using test::kSample;
using test::ReadBytes;
using test::CliRun;
using test::HoldsExactly;
using test::ImageOf;
// Standard error too: a failed command ends its output there.
CliRun Tessel(std::vector<std::string> args) { return test::RunTessel(std::move(args), {}, true); }

const std::vector<std::string> kA32 = {"--chip", "NX31A32"};

// Stand-in boards on pseudo-terminals, one per entry of `options`, each saving its block 0.
struct Boards {
    explicit Boards(const std::vector<std::vector<std::string>>& options) {
        for (size_t i = 0; i < options.size(); ++i) {
            std::vector<std::string> argv = {kSim, "--save-block0", Saved(i)};
            argv.insert(argv.end(), options[i].begin(), options[i].end());
            sims.push_back(std::make_unique<test::ChildProcess>(argv));
            ports.push_back(sims.back()->ReadLine());
            EXPECT_FALSE(ports.back().empty());
        }
    }
    std::string Saved(size_t i) const { return dir + "/block0-" + std::to_string(i) + ".bin"; }
    // Stops the boards; their block 0 is then on disk.
    void Stop() {
        for (auto& s : sims) EXPECT_EQ(s->Stop(SIGTERM), 0);
    }
    std::vector<std::string> Args(std::vector<std::string> head) const {
        for (const auto& p : ports) head.insert(head.end(), {"--port", p});
        return head;
    }
    test::TempFolder dir;
    std::vector<std::unique_ptr<test::ChildProcess>> sims;
    std::vector<std::string> ports;
};

// The table line of a port: the last line that begins with it, the board's own messages
// coming before the table.
std::string RowOf(const std::string& out, const std::string& port) {
    std::string row;
    for (const std::string& line : test::Lines(out))
        if (line.rfind(port + " ", 0) == 0) row = line;
    return row;
}

// A board that never acknowledges an erase and a port that cannot be opened fail alone; the
// table and the last line name them, and the status is 1. The others hold exactly the image.
TEST(GangDownload, AFailingBoardStopsNoOtherAndIsNamed) {
    Boards b({{"--chip", "NX31A32", "--refuse", "11"}, kA32, kA32, kA32});
    const std::string missing = b.dir + "/no-such-port";
    const CliRun run = Tessel(b.Args({"download", "--chip", "NX31A32", "--yes", kSample, "--port", missing}));
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(RowOf(run.out, b.ports[0]).find("failed"), std::string::npos) << run.out;
    EXPECT_NE(RowOf(run.out, missing).find("failed: port not opened"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("download failed on 2 of 5 boards: " + missing + " " + b.ports[0]), std::string::npos)
        << run.out;
    for (int i = 1; i < 4; ++i) EXPECT_NE(RowOf(run.out, b.ports[i]).find(" ok "), std::string::npos) << run.out;
    b.Stop();
    const std::vector<uint8_t> image = ImageOf(kSample);
    EXPECT_FALSE(HoldsExactly(ReadBytes(b.Saved(0)), image));
    for (int i = 1; i < 4; ++i) EXPECT_TRUE(HoldsExactly(ReadBytes(b.Saved(i)), image)) << "board " << i;
}

// One device named twice (once through a list file), and changes without --yes and no
// terminal, are refused before any board is touched.
TEST(GangDownload, PortListAndConsentAreCheckedBeforeAnyBoardIsTouched) {
    Boards b({kA32, kA32});
    const std::string list = b.dir + "/ports.txt";
    std::ofstream(list) << "# the bench\n" << b.ports[0] << "\n\n  " << b.ports[1] << "  \n";
    const CliRun twice = Tessel({"download", "--chip", "NX31A32", "--yes", "--ports-from", list, "--port", b.ports[1],
                                 kSample});
    EXPECT_EQ(twice.status, 2) << twice.out;
    const CliRun unasked = Tessel({"download", "--chip", "NX31A32", "--ports-from", list, kSample});
    EXPECT_EQ(unasked.status, 2) << unasked.out;
    const CliRun listed = Tessel({"compare", "--chip", "NX31A32", "--ports-from", list, kSample});
    EXPECT_EQ(listed.status, 1) << "blank boards differ from the file: " << listed.out;
    EXPECT_NE(RowOf(listed.out, b.ports[0]).find("failed"), std::string::npos) << listed.out;
    EXPECT_NE(RowOf(listed.out, b.ports[1]).find("failed"), std::string::npos) << listed.out;
    b.Stop();
    for (int i = 0; i < 2; ++i) {
        const std::vector<uint8_t> flash = ReadBytes(b.Saved(i));
        EXPECT_TRUE(std::all_of(flash.begin(), flash.end(), [](uint8_t x) { return x == 0xFF; })) << "board " << i;
    }
}

// Ctrl-C while boards are written side by side stops every board at its next safe point, not
// only one of them, and the last line says, board by board, what was left undone.
TEST(GangDownload, ASignalStopsEveryBoardAndTheLastLineNamesEach) {
    // Slow enough that the signal comes mid-way.
    const std::vector<std::string> slow = {"--chip", "NX31A32", "--reply-delay", "20"};
    Boards b({slow, slow});
    const std::vector<uint8_t> image = test::Pattern(32768, 1, 5);
    const std::string file = b.dir + "/big.bin";
    test::WriteBytes(file, image);
    std::vector<std::string> argv = b.Args({kCli, "download", "--chip", "NX31A32", "--yes", file});
    test::ChildProcess cli(argv, {}, true);
    std::string out, line;
    std::set<std::string> writing;
    while (writing.size() < 2 && !(line = cli.ReadLine()).empty()) {
        out += line + "\n";
        for (const auto& p : b.ports)
            if (line.rfind(p + " ", 0) == 0 && line.find("Writing") != std::string::npos) writing.insert(p);
    }
    ASSERT_EQ(writing.size(), 2u) << out;
    EXPECT_EQ(cli.Stop(SIGINT), 130);
    cli.ReadAll(&out);
    const std::string last = out.substr(out.rfind("tessel: interrupted by SIGINT"));
    for (const auto& p : b.ports) {
        EXPECT_NE(last.find(p + ": writing stopped after"), std::string::npos) << out;
        const std::string row = RowOf(out, p + "  -");
        EXPECT_NE(row.find("failed: stopped at the operator's request (Erasing"), std::string::npos) << out;
    }
    b.Stop();
    for (int i = 0; i < 2; ++i) EXPECT_FALSE(HoldsExactly(ReadBytes(b.Saved(i)), image)) << "board " << i << " ran on";
}

// --all-usb takes every USB serial adapter of a recorded device tree whose nodes lead to
// stand-in boards; the table names their serial numbers, and serial:NUMBER reaches the same
// boards. With no port named, the only adapter present is taken; with none, nothing runs.
TEST(GangDownload, AllUsbTakesEveryAdapterAndTheTableNamesTheirSerialNumbers) {
    namespace fs = std::filesystem;
    Boards b({kA32, kA32, kA32});
    const std::string recorded = std::string(TESSEL_SOURCE_DIR) + "/tests/platform/data/ports";
    const fs::path tree = b.dir + "/tree";
    fs::create_directories(tree / "dev" / "serial" / "by-id");
    fs::create_directory_symlink(recorded + "/sys", tree / "sys");
    for (const auto& link : fs::directory_iterator(recorded + "/dev/serial/by-id"))
        fs::copy_symlink(link.path(), tree / "dev" / "serial" / "by-id" / link.path().filename());
    const char* nodes[] = {"ttyUSB0", "ttyUSB1", "ttyACM0"};
    for (int i = 0; i < 3; ++i) fs::create_symlink(b.ports[i], tree / "dev" / nodes[i]);
    const std::vector<std::string> env = {"TESSEL_DEVICE_TREE=" + tree.string()};

    const CliRun all = test::RunTessel({"download", "--chip", "NX31A32", "--yes", "--all-usb", kSample}, env);
    EXPECT_EQ(all.status, 0) << all.out;
    const char* serials[] = {" A9XYZ012 ", " 0001 ", " - "};
    for (int i = 0; i < 3; ++i) {
        const std::string row = RowOf(all.out, (tree / "dev" / nodes[i]).string());
        EXPECT_NE(row.find(serials[i]), std::string::npos) << all.out;
        EXPECT_NE(row.find(" ok "), std::string::npos) << all.out;
    }
    const CliRun bySerial = test::RunTessel(
        {"compare", "--chip", "NX31A32", "--port", "serial:0001", "--port", "serial:A9XYZ012", kSample}, env);
    EXPECT_EQ(bySerial.status, 0) << bySerial.out;
    EXPECT_NE(RowOf(bySerial.out, "serial:0001").find(" 0001 "), std::string::npos) << bySerial.out;

    const fs::path one = b.dir + "/one";
    fs::create_directories(one / "dev");
    fs::create_directory_symlink(recorded + "/sys", one / "sys");
    fs::create_symlink(b.ports[1], one / "dev" / "ttyUSB1");
    const CliRun only =
        test::RunTessel({"compare", "--chip", "NX31A32", kSample}, {"TESSEL_DEVICE_TREE=" + one.string()}, true);
    EXPECT_EQ(only.status, 0) << only.out;
    EXPECT_NE(only.out.find("the only USB serial adapter present"), std::string::npos) << only.out;

    fs::create_directories(b.dir + "/empty/dev");
    const CliRun none =
        test::RunTessel({"download", "--chip", "NX31A32", "--yes", "--all-usb", kSample}, {"TESSEL_DEVICE_TREE=" + b.dir + "/empty"}, true);
    EXPECT_EQ(none.status, 2) << none.out;
    EXPECT_NE(none.out.find("no USB serial adapter is present"), std::string::npos) << none.out;
}

// One-time bits on several boards: each board's lock confirms its new security by its own
// detection, so an " ok " row is a locked board. Cables tested side by side: the boards that
// answer as a boot loader rather than echoing are named as failed.
TEST(GangLock, EveryBoardIsLockedAndTheCableThatDoesNotEchoIsNamed) {
    const std::vector<std::string> h64d = {"--chip", "NX31H64D"};
    Boards b({h64d, h64d, {"--chip", "NX31H64D", "--loopback"}});
    const CliRun run =
        Tessel({"lock", "--chip", "NX31H64D", "--yes", "1", "--port", b.ports[0], "--port", b.ports[1]});
    EXPECT_EQ(run.status, 0) << run.out;
    for (int i = 0; i < 2; ++i) EXPECT_NE(RowOf(run.out, b.ports[i]).find(" ok "), std::string::npos) << run.out;
    const CliRun cables = Tessel(b.Args({"cable-test", "--yes"}));
    EXPECT_EQ(cables.status, 1) << cables.out;
    for (int i = 0; i < 2; ++i)
        EXPECT_NE(RowOf(cables.out, b.ports[i]).find("failed"), std::string::npos) << cables.out;
    EXPECT_NE(RowOf(cables.out, b.ports[2]).find(" ok "), std::string::npos) << cables.out;
}

}  // namespace
}  // namespace tessel
