// The flash commands run whole by the command line, on the stand-in board behind a
// pseudo-terminal or in-process: what they leave on the board, what they need from the user,
// and what they refuse.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "support/CliRun.h"

namespace tessel {
namespace {

using test::CliRun;
using test::HoldsExactly;
using test::ImageOf;
using test::kSample;
using test::ReadBytes;
using test::SimOnPty;
using test::TempFolder;
using test::WriteBytes;
CliRun Tessel(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
    return test::RunTessel(std::move(args), env);
}

// The main job through a pseudo-terminal: what the board holds afterwards is the image and
// erased cells, nothing else.
TEST(CliFlashOnPty, DownloadAndCompareLeaveExactlyTheImageOnTheBoard) {
    const TempFolder dir;
    {
        SimOnPty sim({"--chip", "NX31A32", "--save-block0", dir + "/block0.bin"});
        ASSERT_FALSE(sim.pty.empty());
        const CliRun down = Tessel({"download", "--port", sim.pty, "--chip", "NX31A32", "--yes", kSample});
        EXPECT_EQ(down.status, 0) << down.out;
        const CliRun cmp = Tessel({"compare", "--port", sim.pty, "--chip", "NX31A32", kSample});
        EXPECT_EQ(cmp.status, 0) << cmp.out;
        EXPECT_TRUE(cmp.Says("IAP Status: File blink.hex Compare OK!")) << cmp.out;
        EXPECT_EQ(sim.process.Stop(SIGTERM), 0);
    }
    EXPECT_TRUE(HoldsExactly(ReadBytes(dir + "/block0.bin"), ImageOf(kSample)));
}

// A board holding last build's code gets this build's, with one of its eight sectors changed:
// the result line counts that one, the compare afterwards passes, and the board holds the
// new code followed by erased cells. The option is refused where it does not apply.
TEST(CliChangedOnly, RewritesTheChangedSectorAndLeavesExactlyTheNewImage) {
    const TempFolder dir;
    std::vector<uint8_t> now(1024);
    for (size_t i = 0; i < now.size(); ++i) now[i] = static_cast<uint8_t>(i * 7 + 1);
    std::vector<uint8_t> before = now;
    before[3 * 128 + 5] = static_cast<uint8_t>(~now[3 * 128 + 5]);
    WriteBytes(dir + "/before.bin", before);
    WriteBytes(dir + "/now.bin", now);
    {
        SimOnPty sim({"--chip", "NX31A32", "--block0", dir + "/before.bin", "--save-block0", dir + "/after.bin"});
        ASSERT_FALSE(sim.pty.empty());
        auto changedOnly = [&](std::vector<std::string> args) {
            args.insert(args.begin(), {"download", "--port", sim.pty, "--chip", "NX31A32", "--yes", "--changed-only"});
            return Tessel(args);
        };
        const CliRun run = changedOnly({"--verify", dir + "/now.bin"});
        EXPECT_EQ(run.status, 0) << run.out;
        EXPECT_TRUE(run.Says("(Sectors rewritten: 1, skipped (unchanged): 7), compared again")) << run.out;
        EXPECT_TRUE(run.Says("Compare OK")) << run.out;
        EXPECT_EQ(changedOnly({"--block", "1", dir + "/now.bin"}).status, 2);
        EXPECT_EQ(sim.process.Stop(SIGTERM), 0);
    }
    EXPECT_TRUE(HoldsExactly(ReadBytes(dir + "/after.bin"), now));
}

// The password comes from a file or the environment; there is no option that would put it
// into the argument list, and a wrong one fails with the loader's own message. The desktop
// program stores "pässwörd" as the Latin-1 bytes below (its own test checks that); the command
// line, given the same text as UTF-8, must send the same bytes, and must refuse a character
// that has no Latin-1 byte rather than send something else.
TEST(CliFlashOnPty, PasswordComesFromAFileOrTheEnvironmentNeverTheArguments) {
    const TempFolder dir;
    std::ofstream(dir + "/pw") << "s3cret\n";
    SimOnPty sim({"--chip", "NX31H64D", "--password", "s3cret"});
    ASSERT_FALSE(sim.pty.empty());
    const std::vector<std::string> read = {"read", "--port", sim.pty, "--chip", "NX31H64D", "--count", "1"};
    auto with = [&](std::vector<std::string> extra) {
        extra.insert(extra.begin(), read.begin(), read.end());
        return Tessel(extra);
    };
    EXPECT_EQ(with({"--password", "s3cret"}).status, 2) << "no such option";
    const CliRun file = with({"--password-file", dir + "/pw"});
    EXPECT_EQ(file.status, 0) << file.out;
    EXPECT_TRUE(file.Says("000    0000")) << file.out;
    EXPECT_EQ(Tessel(read, {"TESSEL_PASSWORD=s3cret"}).status, 0);
    EXPECT_EQ(Tessel(read, {"TESSEL_PASSWORD=wrong"}).status, 1);
    EXPECT_EQ(Tessel(read).status, 1) << "no terminal: the empty password, refused";
    EXPECT_EQ(sim.process.Stop(SIGTERM), 0);

    SimOnPty latin1({"--chip", "NX31A32", "--password", "p\xE4ssw\xF6rd"});
    ASSERT_FALSE(latin1.pty.empty());
    const std::vector<std::string> at = {"read", "--port", latin1.pty, "--chip", "NX31A32", "--count", "1"};
    const CliRun utf8 = Tessel(at, {"TESSEL_PASSWORD=p\xC3\xA4ssw\xC3\xB6rd"});
    EXPECT_EQ(utf8.status, 0) << utf8.out;
    EXPECT_NE(Tessel(at, {"TESSEL_PASSWORD=p\xE2\x82\xACssw\xC3\xB6rd"}).status, 0) << "refused, not sent as another";
    EXPECT_EQ(latin1.process.Stop(SIGTERM), 0);
}

// One-time bits: nothing is burnt without a Yes or with an option the chip's menu lacks, and
// the next detection reads back what was burnt.
TEST(CliFlashOnPty, LockNeedsAYesAndAnOfferedOptionAndTheNextDetectionShowsIt) {
    SimOnPty sim({"--chip", "NX31H32B"});
    ASSERT_FALSE(sim.pty.empty());
    auto run = [&](std::vector<std::string> args) {
        args.insert(args.begin() + 1, {"--port", sim.pty, "--chip", "NX31H32B"});
        return Tessel(args);
    };
    EXPECT_EQ(run({"lock", "2"}).status, 1) << "no terminal and no --yes: No";
    EXPECT_EQ(run({"remap", "--yes", "1k"}).status, 2) << "remap sizes are for the A-type chips";
    EXPECT_TRUE(run({"detect"}).Says("SECURITY : CHIP IS UNLOCKED (FCST[7:5]:000)"));
    const std::string locked = "SECURITY : CHIP IS LEVEL3 SOFTLOCKED (FCST[7:5]:010)";
    const CliRun lock = run({"lock", "--yes", "4"});
    EXPECT_EQ(lock.status, 0) << lock.out;
    EXPECT_TRUE(lock.Says(locked)) << lock.out;
    EXPECT_TRUE(run({"detect"}).Says(locked));
    EXPECT_EQ(sim.process.Stop(SIGTERM), 0);
}

// Each line on a fresh in-process board, with the status it ends with and, where it matters,
// what it says. (The stand-in stub the password commands need is refused on a real port.)
TEST(CliFlashInProcess, EachCommandNeedsItsInputsAndAYesAndSaysItsOutcome) {
    const TempFolder dir;
    std::ofstream(dir + "/new") << "new\n";
    std::ofstream(dir + "/bsl.bin", std::ios::binary) << std::string(1024, '\xA5');
    std::ofstream(dir + "/bad.hex") << ":0300000002003FCB\n:00000001FF\n";
    const std::string a16 = "sim:NX31A16", a32 = "sim:NX31A32";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string says;
        std::vector<std::string> env = {};
    } rows[] = {
        // The new password comes from a file or the environment, never from nothing; Set/Reset
        // erases block 0 only after a Yes.
        {{"password", "change", "--port", a16}, 1, ""},
        {{"password", "change", "--port", a16, "--new-password-file", dir + "/new"}, 0,
         "IAP Status: Password Change Completed!"},
        {{"password", "set", "--port", a16, "--no-password"}, 1, ""},
        {{"password", "set", "--port", a16, "--lock", "--yes"}, 0, "IAP Status: Password Set/Reset Completed!",
         {"TESSEL_NEW_PASSWORD=n"}},
        {{"password", "set", "--port", "sim:NX31H64D", "--lock", "--yes", "--no-password"}, 2, ""},
        {{"upgrade-bsl", "--port", a32, "--yes", dir + "/missing.bin"}, 2, ""},
        {{"upgrade-bsl", "--port", a32, dir + "/bsl.bin"}, 1, ""},
        {{"upgrade-bsl", "--port", a32, "--yes", dir + "/bsl.bin"}, 0, "IAP Status: Upgrade BSL Succeed!"},
        // The command line opens the window, runs the command in it and leaves it again; sector
        // 0 of the window holds the board's loader.
        {{"download", "--port", a32, "--external", "low", "--yes", "--start-sector", "1", "--verify", kSample}, 0,
         "IAP Status: File blink.hex Compare OK!"},
        {{"download", "--port", a32, "--external", "low", "--yes", kSample}, 1, ""},
        {{"read", "--port", a32, "--external", "low", "--start-sector", "16"}, 2, ""},
        {{"external-bsl", "--port", a32}, 0, "IAP Status: Upgrade External BSL Succeed!"},
        {{"edit", "--port", a16, "3FF8"}, 0, "3FF8: FF FF FF FF FF FF FF FF \n"},
        {{"edit", "--port", a16, "--yes", "03e6", "72", "4F", "5D"}, 0, "03e6: 72 4F 5D FF"},
        {{"edit", "--port", a16, "--yes", "03E6", "7G"}, 2, ""},  // refused as it is read
        {{"edit", "--port", a16, "4000"}, 1, ""},
        {{"run", "--port", a16}, 0, ""},
        {{"download", "--port", a32, "--yes", dir + "/bad.hex"}, 2, ""},
        {{"download", "--port", a32, "--yes", dir + "/none.bin"}, 2, ""},
        {{"read", "--port", a32, "--start-sector", "256"}, 2, ""},
        {{"read", "--port", a32, "--block", "2"}, 2, ""},
        {{"download", "--port", a32, kSample}, 1, ""},  // without --yes nobody agreed to the erase
    };
    for (const auto& row : rows) {
        const CliRun r = Tessel(row.args, row.env);
        EXPECT_EQ(r.status, row.status) << row.args[0] << " " << row.args.back() << "\n" << r.out;
        EXPECT_TRUE(r.Says(row.says)) << r.out;
    }
    // Saved as Intel HEX, the board's copy converts back to what it holds.
    const CliRun save = Tessel({"save", "--port", a32, "--count", "1", dir + "/out.hex"});
    EXPECT_EQ(save.status, 0) << save.out;
    EXPECT_EQ(ImageOf(dir + "/out.hex"), std::vector<uint8_t>(128, 0xFF));
}

// ---- the serial cable test and the debug monitor ----

TEST(CliCableTest, LoopBackPassesALoaderFailsAMissingPortIsAPortError) {
    const std::string missing = "/dev/tessel-no-such-port";
    ASSERT_FALSE(std::filesystem::exists(missing));
    // A chip still on the board: its loader waits for its own baud string and never echoes
    // the three bytes.
    const struct {
        std::vector<std::string> board;  // empty: no board, the missing port
        int status;
        std::vector<std::string> says, never;
    } cases[] = {
        {{"--loopback"}, 0,
         {"Please remove MCU from the target board,\nthen connect TXD and RXD pin and power on!",
          "Serial connection is correct!"}, {}},
        {{"--chip", "NX31A32"}, 1, {"Serial connection is incorrect!!!"}, {"Serial connection is correct!"}},
        {{}, 3, {"Failed to setup Serial Comm with Target MCU!!!"}, {}},
    };
    for (const auto& c : cases) {
        std::unique_ptr<SimOnPty> sim;
        if (!c.board.empty()) sim = std::make_unique<SimOnPty>(c.board);
        const CliRun r = test::RunTessel({"cable-test", "--port", sim ? sim->pty : missing, "--yes"}, {}, true);
        EXPECT_EQ(r.status, c.status) << r.out;
        for (const std::string& text : c.says) EXPECT_TRUE(r.Says(text)) << r.out;
        for (const std::string& text : c.never) EXPECT_FALSE(r.Says(text)) << r.out;
        EXPECT_EQ(sim ? sim->process.Stop(SIGTERM) : 0, 0);
    }
    EXPECT_EQ(Tessel({"cable-test", "--port", "sim:NX31A32", "--baud", "12345", "--yes"}).status, 2);
}

TEST(CliMonitor, ReplacesTheLoaderAndSaysHowToGetItBack) {
    const TempFolder dir;
    const std::string state = "XDG_STATE_HOME=" + dir + "/state";
    EXPECT_EQ(Tessel({"monitor", "--port", "sim:NX31H32B"}, {state}).status, 1) << "no Yes, nothing done";
    const CliRun r = test::RunTessel({"monitor", "--port", "sim:NX31H32B", "--yes"}, {state}, true);
    EXPECT_EQ(r.status, 0) << r.out;
    for (const char* said :
         {"Downloading Monitra Completed!", "The boot loader is gone", "To get the boot loader back"})
        EXPECT_TRUE(r.Says(said)) << r.out;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir + "/state/tessel"), {}), 1)
        << "block 0's overwritten areas saved";
}

// Through a real serial device the tool cannot know the far end is the stand-in board, so its
// stand-in images are refused before the loader is touched.
TEST(CliMonitor, TheStandInImagesAreRefusedOnARealPort) {
    const TempFolder dir;
    {
        SimOnPty sim({"--chip", "NX31A16", "--save-block1", dir + "/block1.bin"});
        ASSERT_FALSE(sim.pty.empty());
        const CliRun r = test::RunTessel({"monitor", "--port", sim.pty, "--chip", "NX31A16", "--yes"},
                                         {"XDG_STATE_HOME=" + dir}, true);
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_TRUE(r.Says("stand-in")) << r.out;
        EXPECT_FALSE(r.Says("Do you really want to download Monitra?")) << "refused before the question";
        EXPECT_EQ(sim.process.Stop(SIGTERM), 0);
    }
    const std::vector<uint8_t> b1 = ReadBytes(dir + "/block1.bin");
    ASSERT_EQ(b1.size(), 4096u);
    EXPECT_EQ(std::string(b1.begin(), b1.begin() + 9), "BSL v1.1F") << "the loader is still there";
}

}  // namespace
}  // namespace tessel
