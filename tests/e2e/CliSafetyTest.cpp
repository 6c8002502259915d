// What `tessel` refuses, and what it leaves alone, seen from outside: the exit status, what it
// says, the wire trace it writes and, through the pseudo-terminal board, the flash itself.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "files/Backup.h"
#include "files/HexImage.h"
#include "support/ChildProcess.h"
#include "support/CliRun.h"

namespace tessel {
namespace {

using test::kSim;
using test::kCli;
using test::kSample;
using test::SimOnPty;
using test::TempDir;
using test::ReadBytes;
using test::WriteBytes;

struct CliRun {
    int status = -1;
    std::string out;  // stdout and stderr together
    bool Says(const std::string& text) const { return out.find(text) != std::string::npos; }
};

std::string Quoted(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs the CLI to its end, its input closed so that every question gets the no-terminal answer.
CliRun Tessel(const std::vector<std::string>& args) {
    std::string line = Quoted(kCli);
    // Appended piece by piece: GCC 12 at -O3 takes `" " + string` for an overlapping copy.
    for (const auto& a : args) {
        line += ' ';
        line += Quoted(a);
    }
    line += " </dev/null 2>&1";
    CliRun r;
    std::FILE* p = popen(line.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    const int status = pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// Every host write in a wire trace after the detection's version request (60h): the bytes of
// whatever the command itself sent. Empty when the command sent nothing.
std::vector<std::string> WritesAfterDetection(const std::string& trace) {
    std::ifstream in(trace);
    std::vector<std::string> out;
    bool detected = false;
    for (std::string line; std::getline(in, line);) {
        const size_t at = line.find(" > ");
        if (line.empty() || line[0] == '#' || at == std::string::npos) continue;
        const std::string bytes = line.substr(at + 3);
        if (detected) out.push_back(bytes);
        else if (bytes == "60") detected = true;
    }
    EXPECT_TRUE(detected) << trace << " holds no detection";
    return out;
}

// The stand-in board on a pseudo-terminal, for the states the in-process board does not start
// One command of a rule row: refused with status 2, the rule named, and nothing on the wire
// after the detection.
void ExpectRefused(const std::string& dir, std::vector<std::string> args, const std::string& reason) {
    SCOPED_TRACE(args[0] + " " + args.back());
    const std::string trace = dir + "/refused.txt";
    std::filesystem::remove(trace);
    args.push_back("--trace-wire");
    args.push_back(trace);
    const CliRun r = Tessel(args);
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_TRUE(r.Says("tessel: " + reason + "\n")) << r.out;
    EXPECT_EQ(WritesAfterDetection(trace), std::vector<std::string>{});
}

void ExpectRuns(std::vector<std::string> args) {
    SCOPED_TRACE(args[0] + " " + args.back());
    const CliRun r = Tessel(args);
    EXPECT_EQ(r.status, 0) << r.out;
}

std::vector<std::string> On(const std::string& port, const std::string& chip, std::vector<std::string> args,
                            const std::string& mode = "internal") {
    args.insert(args.begin() + 1, {"--port", port, "--chip", chip, "--mode", mode});
    return args;
}

// ---- The command rules, one table row at a time ----

TEST(CliCommandRules, InternalModeATypeChip) {
    const std::string dir = TempDir();
    const std::string p = "sim:NX31A32";
    ExpectRefused(dir, On(p, "NX31A32", {"lock", "--yes", "1"}),
                  "Lock Chip is not available on NX31A32 in internal memory mode");
    ExpectRefused(dir, On(p, "NX31A32", {"remap", "--yes", "1k"}),
                  "Memory Remap is not available on NX31A32 in internal memory mode");
    ExpectRefused(dir, On(p, "NX31A32", {"erase", "--yes", "--chip-erase"}),
                  "Chip Erase is not available on NX31A32 in internal memory mode");
    ExpectRefused(dir, On(p, "NX31A32", {"double-clock", "--yes"}), "This feature is for MCU H/L32B and H/L64D only!");
    ExpectRuns(On(p, "NX31A32", {"read", "--count", "1"}));
    ExpectRuns(On(p, "NX31A32", {"download", "--yes", kSample}));
    ExpectRuns(On(p, "NX31A32", {"erase", "--yes", "--count", "1"}));

    // A lock status the A-type loader does not write in: only Read is left. 80h splits the
    // families (see the H/L row).
    for (const char* lock : {"0x60", "0x80"}) {
        SimOnPty b({"--chip", "NX31A32", "--security", lock});
        ASSERT_FALSE(b.pty.empty());
        const std::string status = std::string(lock + 2) + "h";
        ExpectRefused(dir, On(b.pty, "NX31A32", {"download", "--yes", kSample}),
                      "Download is not available on NX31A32 in internal memory mode at lock status " + status);
        ExpectRefused(dir, On(b.pty, "NX31A32", {"erase", "--yes", "--count", "1"}),
                      "Sector Erase is not available on NX31A32 in internal memory mode at lock status " + status);
        ExpectRuns(On(b.pty, "NX31A32", {"read", "--count", "1"}));
    }
    std::filesystem::remove_all(dir);
}

TEST(CliCommandRules, InternalModeHLChip) {
    const std::string dir = TempDir();
    ExpectRefused(dir, On("sim:NX31H64D", "NX31H64D", {"erase", "--yes", "--chip-erase"}),
                  "Chip Erase is not available on NX31H64D in internal memory mode");
    ExpectRuns(On("sim:NX31H64D", "NX31H64D", {"lock", "--yes", "4"}));
    ExpectRuns(On("sim:NX31H64D", "NX31H64D", {"download", "--yes", kSample}));
    const CliRun dc = Tessel(On("sim:NX31H32B", "NX31H32B", {"double-clock", "--yes"}));
    EXPECT_EQ(dc.status, 0) << dc.out;
    // Named before it burns, and read back after.
    EXPECT_TRUE(dc.Says("Double Clock on NX31H32B: programs the double-clock bit.\n")) << dc.out;
    EXPECT_TRUE(dc.Says("Double Clock: ON\n")) << dc.out;
    {
        SimOnPty b({"--chip", "NX31H32B", "--security", "0x80"});
        ASSERT_FALSE(b.pty.empty());
        ExpectRuns(On(b.pty, "NX31H32B", {"download", "--yes", kSample}));
    }
    {
        SimOnPty b({"--chip", "NX31H32B", "--security", "0xA0"});
        ASSERT_FALSE(b.pty.empty());
        ExpectRefused(dir, On(b.pty, "NX31H32B", {"download", "--yes", kSample}),
                      "Download is not available on NX31H32B in internal memory mode at lock status A0h");
        ExpectRefused(dir, On(b.pty, "NX31H32B", {"erase", "--yes", "--count", "1"}),
                      "Sector Erase is not available on NX31H32B in internal memory mode at lock status A0h");
        ExpectRuns(On(b.pty, "NX31H32B", {"read", "--count", "1"}));
    }
    std::filesystem::remove_all(dir);
}

TEST(CliCommandRules, ExternalMemoryMode) {
    const std::string dir = TempDir();
    ExpectRuns(On("sim:NX31A32", "NX31A32", {"remap", "--yes", "1k"}, "external"));
    ExpectRuns(On("sim:NX31A32", "NX31A32", {"download", "--yes", kSample}, "external"));
    ExpectRuns(On("sim:NX31A32", "NX31A32", {"erase", "--yes", "--chip-erase"}, "external"));
    SimOnPty b({"--chip", "NX31H64D", "--mode", "external", "--security", "0x20"});
    ASSERT_FALSE(b.pty.empty());
    const std::string at = " in external memory mode at lock status 20h";
    ExpectRefused(dir, On(b.pty, "NX31H64D", {"download", "--yes", kSample}, "external"),
                  "Download is not available on NX31H64D" + at);
    ExpectRefused(dir, On(b.pty, "NX31H64D", {"erase", "--yes", "--count", "1"}, "external"),
                  "Sector Erase is not available on NX31H64D" + at);
    ExpectRefused(dir, On(b.pty, "NX31H64D", {"lock", "--yes", "1"}, "external"),
                  "Lock Chip is not available on NX31H64D" + at);
    ExpectRefused(dir, On(b.pty, "NX31H64D", {"remap", "--yes", "sc0"}, "external"),
                  "Memory Remap is not available on NX31H64D" + at);
    ExpectRuns(On(b.pty, "NX31H64D", {"read", "--count", "1"}, "external"));
    std::filesystem::remove_all(dir);
}

TEST(CliCommandRules, ExternalFlashWindow) {
    const std::string dir = TempDir();
    // The whole external flash, its loader included, would go: refused before the window opens.
    ExpectRefused(dir, On("sim:NX31A32", "NX31A32", {"erase", "--yes", "--external", "low", "--chip-erase"}),
                  "Chip Erase is not available while an external-flash window is open (it would erase all of the "
                  "external flash, the board's boot loader included)");
    ExpectRuns(On("sim:NX31A32", "NX31A32", {"erase", "--yes", "--external", "high", "--count", "1"}));
    ExpectRuns(On("sim:NX31A32", "NX31A32", {"save", "--external", "high", "--count", "1", dir + "/high.bin"}));
    EXPECT_EQ(ReadBytes(dir + "/high.bin").size(), 4096u) << "one sector of the window saved";
    // Checked against the window's 16 sectors before anything is opened.
    const CliRun count = Tessel(On("sim:NX31A32", "NX31A32", {"read", "--external", "low", "--count", "16"}));
    EXPECT_EQ(count.status, 2) << count.out;
    EXPECT_FALSE(count.Says("Click on OK")) << "refused before the detection";
    std::filesystem::remove_all(dir);
}

// ---- Replacing the boot loader ----

TEST(CliUpgradeBsl, ALoaderThatCannotWorkIsRefusedBeforeTheStub) {
    const std::string dir = TempDir();
    const std::string good = dir + "/bsl.bin";
    WriteBytes(good, std::vector<uint8_t>(1024, 0x5A));
    WriteBytes(dir + "/empty.bin", {});
    WriteBytes(dir + "/three.bin", {0x02, 0xF0, 0x80});
    WriteBytes(dir + "/big.bin", std::vector<uint8_t>(1025, 0x5A));
    struct Case {
        std::vector<std::string> args;
        const char* says;
    };
    const Case cases[] = {
        {{"--block", "0", good}, "A new boot loader goes into block 1's loader area, F000h to F3FFh on NX31A32, not into block 0."},
        {{"--start-sector", "16", good}, "F400h lies outside it."},
        {{dir + "/empty.bin"}, "the file holds no data"},
        {{dir + "/three.bin"}, "does not cover the loader's entry address F080h"},
        {{dir + "/big.bin"}, "1025 bytes from F000h run past the end of block 1's loader area"},
        {{"--start-sector", "3", dir + "/three.bin"}, "written from F0C0h it does not cover the loader's entry address F080h"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back());
        const std::string trace = dir + "/wire.txt";
        std::filesystem::remove(trace);
        std::vector<std::string> args = {"upgrade-bsl", "--port", "sim:NX31A32", "--yes", "--trace-wire", trace};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const CliRun r = Tessel(args);
        EXPECT_EQ(r.status, 2) << r.out;
        EXPECT_TRUE(r.Says(c.says)) << r.out;
        // Refused by the file check before the connection, or after the detection with
        // nothing sent: no erase frame either way.
        if (std::filesystem::exists(trace)) {
            EXPECT_EQ(WritesAfterDetection(trace), std::vector<std::string>{});
        }
    }
    std::filesystem::remove_all(dir);
}

// ---- Sparse images ----

TEST(CliSparseImage, TheToolsOwnBlock0BackupChangesOnlyTheAreasItHolds) {
    const std::string dir = TempDir();
    std::vector<uint8_t> before(32768);
    for (size_t i = 0; i < before.size(); ++i) before[i] = static_cast<uint8_t>(i * 7 + 3);
    WriteBytes(dir + "/full.bin", before);
    std::vector<BackupRegion> regions = {{0x0000, std::vector<uint8_t>(128, 0x11)},
                                         {0x2000, std::vector<uint8_t>(384, 0x22)}};
    const std::string backup = WriteBackupHex(dir, "block0", regions);
    ASSERT_FALSE(backup.empty());
    const std::string saved = dir + "/after.bin";
    {
        SimOnPty b({"--chip", "NX31A32", "--block0", dir + "/full.bin", "--save-block0", saved});
        ASSERT_FALSE(b.pty.empty());
        const CliRun r = Tessel(On(b.pty, "NX31A32", {"download", "--yes", "--verify", backup}));
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_TRUE(r.Says("Compare OK!")) << r.out;
        EXPECT_EQ(b.process.Stop(SIGTERM), 0);
    }
    std::vector<uint8_t> want = before;
    std::fill(want.begin(), want.begin() + 0x80, uint8_t{0x11});
    std::fill(want.begin() + 0x2000, want.begin() + 0x2180, uint8_t{0x22});
    const std::vector<uint8_t> after = ReadBytes(saved);
    ASSERT_EQ(after.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i)
        ASSERT_EQ(after[i], want[i]) << "first difference at " << std::hex << i;
    std::filesystem::remove_all(dir);
}

// ---- File kinds and bounded reading ----

TEST(CliImageFiles, TheKindComesFromTheContentAndOnlyRegularFilesAreRead) {
    const std::string dir = TempDir();
    // An SDCC-style .ihx: programmed as the bytes its records give, and verified.
    const std::vector<uint8_t> code = {0x02, 0x00, 0x30, 0x75, 0x81, 0x5F};
    std::string ihx = "\n";
    ihx += FormatIntelHex(code, 0x0040);
    std::ofstream(dir + "/prog.ihx") << ihx;
    const std::string saved = dir + "/after.bin";
    {
        SimOnPty b({"--chip", "NX31A16", "--save-block0", saved});
        ASSERT_FALSE(b.pty.empty());
        const CliRun r = Tessel(On(b.pty, "NX31A16", {"download", "--yes", "--verify", dir + "/prog.ihx"}));
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_TRUE(r.Says("File prog.ihx Compare OK!")) << r.out;
        EXPECT_EQ(b.process.Stop(SIGTERM), 0);
    }
    const std::vector<uint8_t> flash = ReadBytes(saved);
    ASSERT_EQ(flash.size(), 16384u);
    EXPECT_TRUE(std::equal(code.begin(), code.end(), flash.begin() + 0x40));
    EXPECT_TRUE(std::all_of(flash.begin(), flash.begin() + 0x40, [](uint8_t x) { return x == 0xFF; }));

    // A .hex that holds binary, a folder, a FIFO nobody writes, an endless device.
    WriteBytes(dir + "/firmware.hex", {0x02, 0x00, 0x30, 0x00});
    mkfifo((dir + "/pipe").c_str(), 0600);
    std::filesystem::create_directory(dir + "/folder");
    for (const std::string& file : {dir + "/firmware.hex", dir + "/folder", dir + "/pipe", std::string("/dev/zero")}) {
        SCOPED_TRACE(file);
        const CliRun r = Tessel({"download", "--port", "sim:NX31A32", "--yes", file});
        EXPECT_EQ(r.status, 1) << r.out;
        // Said once, in the result line.
        EXPECT_TRUE(r.Says("nothing was done: " + file + ": ")) << r.out;
        EXPECT_FALSE(r.Says("tessel: " + file + ": ")) << r.out;
        EXPECT_FALSE(r.Says("Click on OK")) << "refused before the target is touched";
    }
    // convert refuses what download refuses, and a .hex it writes reads back.
    EXPECT_EQ(Tessel({"convert", "/dev/zero", dir + "/zero.hex"}).status, 1);
    WriteBytes(dir + "/big.bin", std::vector<uint8_t>(100 * 1024, 0x33));
    EXPECT_EQ(Tessel({"convert", dir + "/big.bin", dir + "/big.hex"}).status, 1);
    WriteBytes(dir + "/full.bin", std::vector<uint8_t>(0x10000, 0x33));
    ASSERT_EQ(Tessel({"convert", dir + "/full.bin", dir + "/full.hex"}).status, 0);
    std::vector<uint8_t> back;
    std::string error;
    ASSERT_EQ(ReadImageFile(dir + "/full.hex", &back, &error), ImageReadStatus::Ok) << error;
    EXPECT_EQ(back, std::vector<uint8_t>(0x10000, 0x33));
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace tessel
