// The command line's inputs, questions and exit statuses for each command, on the stand-in
// board in-process. What the commands do to the chip is tested
// through their functions in tests/ui.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/CliRun.h"

namespace tessel {
namespace {

using test::CliRun;
using test::kSample;
using test::TempFolder;

// Each line on a fresh in-process board, with its status and, where it matters, what it says.
// Values are checked whole while the command line is read, and a password source the loader
// could never take is refused before the port is opened: the port `gone` does not exist, so a
// late check would end in status 3. A port that cannot be opened is said in one line.
TEST(CliFlashInProcess, EachCommandNeedsItsInputsAndAYesAndSaysItsOutcome) {
    const TempFolder dir;
    std::ofstream(dir + "/new") << "new\n";
    std::ofstream(dir + "/bsl.bin", std::ios::binary) << std::string(1024, '\xA5');
    std::ofstream(dir + "/latin") << "\xE2\x82\xAC\n";  // the euro sign has no Latin-1 byte
    std::ofstream(dir + "/colon.bin", std::ios::binary) << ":\x08\x01\x02";
    test::WriteBytes(dir + "/63.bin", test::ImageOf(kSample));
    const std::string a16 = "sim:NX31A16", a32 = "sim:NX31A32", gone = dir + "/no-such-port";
    const std::string state = "XDG_STATE_HOME=" + dir + "/state";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string says;
        std::vector<std::string> env = {};
    } rows[] = {
        // The new password comes from a file or the environment, never from nothing and never
        // empty by accident (--no-password alone asks for none); Set/Reset erases block 0 only
        // after a Yes.
        {{"password", "change", "--port", a16}, 1, ""},
        {{"password", "set", "--port", a16, "--yes"}, 2, "", {"TESSEL_NEW_PASSWORD="}},
        {{"password", "set", "--port", a16, "--yes", "--no-password", "--new-password-file", dir + "/new"}, 2, ""},
        {{"password", "set", "--port", a16, "--yes", "--no-password"}, 2, "", {"TESSEL_NEW_PASSWORD=n"}},
        {{"password", "set", "--port", a16, "--yes", "--no-password"}, 0, ""},
        {{"password", "change", "--port", a16, "--new-password-file", dir + "/new"}, 0,
         "IAP Status: Password Change Completed!"},
        {{"password", "set", "--port", a16, "--no-password"}, 1, ""},
        {{"password", "set", "--port", a16, "--lock", "--yes"}, 0, "IAP Status: Password Set/Reset Completed!",
         {"TESSEL_NEW_PASSWORD=n"}},
        {{"password", "set", "--port", "sim:NX31H64D", "--lock", "--yes", "--no-password"}, 2, ""},
        {{"upgrade-bsl", "--port", a32, dir + "/bsl.bin"}, 1, ""},
        {{"upgrade-bsl", "--port", a32, "--yes", "--block", "0", dir + "/bsl.bin"}, 2,
         "A new boot loader goes into block 1's loader area, F000h to F3FFh on NX31A32, not into block 0."},
        {{"upgrade-bsl", "--port", a32, "--yes", "--start-sector", "16", dir + "/bsl.bin"}, 2, "F400h lies outside it."},
        // The command line opens the window, runs the command in it and leaves it again; sector
        // 0 of the window holds the board's loader.
        {{"download", "--port", a32, "--external", "low", "--yes", "--start-sector", "1", "--verify", kSample}, 0,
         "IAP Status: File blink.hex Compare OK!"},
        {{"download", "--port", a32, "--external", "low", "--yes", kSample}, 1, ""},
        {{"read", "--port", a32, "--external", "low", "--start-sector", "16"}, 2, ""},
        {{"read", "--port", a32, "--external", "low", "--count", "16"}, 2, ""},
        {{"download", "--port", a32, "--yes", "--changed-only", "--verify", kSample}, 0,
         "(Sectors rewritten: 1, skipped (unchanged): 0), compared again"},
        {{"download", "--port", a32, "--yes", "--changed-only", "--block", "1", kSample}, 2, ""},
        // A one-time bit is named before it burns.
        {{"double-clock", "--port", "sim:NX31H32B", "--yes"}, 0,
         "Double Clock on NX31H32B: programs the double-clock bit.\n"},
        // The old loader's upgrade is offered and only --yes accepts it (the upgrade: tests/protocol).
        // The board's name says its loader is 1.1E: that is the detection, without --firmware.
        {{"detect", "--port", "sim:NX31A32:1.1E", "--baud", "38400"}, 1, "Fw Version:  v1.1E", {state}},
        {{"detect", "--port", "sim:NX31A32:1.1E", "--firmware", "1.1E", "--baud", "38400", "--yes"}, 0,
         "Fw Version:  v1.1F", {state}},
        {{"detect", "--port", "sim:NX31A32:1.1E:upgrade-silent", "--firmware", "1.1E", "--baud", "38400", "--yes"}, 1,
         "upgrade of the boot loader to 1.1F failed: The boot loader never answered", {state}},
        // The monitor replaces the loader only after a Yes, and says how to get it back.
        {{"monitor", "--port", "sim:NX31H32B"}, 1, "", {state}},
        {{"monitor", "--port", "sim:NX31H32B", "--yes"}, 0, "To get the boot loader back", {state}},
        {{"external-bsl", "--port", a32}, 0, "IAP Status: Upgrade External BSL Succeed!"},
        // A compare's last chunk is shorter than the rest, and counted.
        {{"compare", "--port", a32, dir + "/63.bin"}, 1, "\nComparing: 100%, stopped at 63 of 63 bytes"},
        // A .bin name says binary, whatever its first byte; the table's columns hold for every name.
        {{"convert", dir + "/colon.bin", dir + "/colon.hex"}, 0, "converted " + dir + "/colon.bin (4 bytes) to " + dir + "/colon.hex"},
        {{"firmware"}, 0, "\nBlock1StubA      stub_block1_a.bin       "},
        {{"edit", "--port", a16, "3FF8"}, 0, "3FF8: FF FF FF FF FF FF FF FF \n"},
        {{"edit", "--port", a16, "--yes", "03E6", "7G"}, 2, ""},  // refused as it is read
        {{"edit", "--port", a16, "--yes", "3FFF", "12", "34"}, 2, "(4000h, the last byte, lies outside block 0"},
        {{"edit", "--port", a16, "3G00"}, 2, "Address string should be in 4-digit Hex format! ('3G00')"},
        {{"edit", "--port", a16, "--yes", "0000", "1", "2", "3", "4", "5", "6", "7", "8", "9", "A", "B", "C", "D", "E",
          "F", "10", "11"},
         2, "17 bytes given; at most 16"},
        {{"edit", "--port", a32, "--yes", "03E6", "100"}, 2, ""},  // not 10h
        {{"edit", "--port", a16, "--yes", "03e6", "7", "a5"}, 0, "03e6: 07 A5 FF"},
        {{"erase", "--port", a32, "--yes", "--block", "0", "--start-sector", "250", "--count", "10"}, 2,
         "runs past the end of block 0"},
        {{"read", "--port", gone, "--password-file", "/dev/zero"}, 2, "not a regular file"},
        {{"read", "--port", gone, "--password-file", dir + "/latin"}, 2, ""},
        {{"read", "--port", gone}, 2, "at most 31", {"TESSEL_PASSWORD=" + std::string(32, 'q')}},
        {{"password", "change", "--port", gone, "--new-password-file", "/dev/zero"}, 2, "not a regular file"},
        {{"cable-test", "--port", gone, "--ports-from", "/dev/zero"}, 2, "not a regular file"},
        // The options every command takes after its name, though no chip is reached here.
        {{"cable-test", "--port", a32, "--yes", "--chip", "NX31A32", "--firmware-dir", dir}, 1,
         "cable test failed: Serial connection is incorrect!!!"},
        {{"erase", "--yes", "--port", gone}, 3, "erase: nothing was done, " + gone + " could not be opened"},
        {{"detect", "--port", "sim:NX31A99"}, 2, "unknown chip 'NX31A99'"},
        {{"--completion-table"}, 0, "\ntessel download\t\t-h --help -y --yes"},
        {{"detect", "--port", "sim:NX31A32:monitor"}, 4, ""},  // no boot loader answered
        {{"detect", "--port", a32, "--crystal", "1.0", "--baud", "38400"}, 2,
         "detect: nothing was done: You can't choose a baudrate which is higher than the computed best baudrate! "
         "(--baud 38400; best for 1.0000 MHz: 2400)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args.front() + " " + row.args.back());
        const CliRun r = test::RunTessel(row.args, row.env, true);
        EXPECT_EQ(r.status, row.status) << r.out;
        EXPECT_TRUE(r.Says(row.says)) << r.out;
        if (row.status == 3) {
            EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
        }
        // An error is said once, and a refusal entirely on stderr.
        for (const std::string& line : test::Lines(r.out)) {
            if (line.rfind("tessel: ", 0) == 0) {
                EXPECT_EQ(r.out.find(line.substr(8)), r.out.rfind(line.substr(8))) << r.out;
            }
        }
        if (row.status == 2) {
            EXPECT_EQ(test::RunTessel(row.args, row.env).out, "");
        }
    }
    // "-" is standard input for an image and standard output for a file, which then has stdout
    // to itself.
    const std::string cli = "'" + test::kCli + "' ";
    std::string out;
    EXPECT_EQ(test::ChildProcess({"/bin/sh", "-c", cli + "convert " + kSample + " -"}).ReadAll(&out), 0);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.end()), test::ImageOf(kSample));
    out.clear();
    EXPECT_EQ(test::ChildProcess({"/bin/sh", "-c", cli + "save -p " + a32 + " --count 1 -"}).ReadAll(&out), 0);
    EXPECT_EQ(out, std::string(128, '\xFF'));
    out.clear();
    const int piped = test::ChildProcess({"/bin/sh", "-c", cli + "download -p " + a32 + " -y - <" + kSample}, {}, true)
                          .ReadAll(&out);
    EXPECT_TRUE(piped == 0 && out.find("downloaded -: 18 bytes") != std::string::npos) << out;
    // Saved as Intel HEX, the board's copy converts back to what it holds.
    const CliRun save = test::RunTessel({"save", "--port", a32, "--count", "1", dir + "/out.hex"});
    EXPECT_EQ(save.status, 0) << save.out;
    EXPECT_EQ(test::ImageOf(dir + "/out.hex"), std::vector<uint8_t>(128, 0xFF));
}

}  // namespace
}  // namespace tessel
