#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "files/HexImage.h"
#include "support/ChildProcess.h"
#include "support/CliRun.h"

namespace tessel {
namespace {

using test::kSim;
using test::kCli;
using test::kSample;
using test::TempDir;
using test::ReadBytes;
using test::CliRun;
CliRun Tessel(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
    return test::RunTessel(std::move(args), env);
}

// The main job through a pseudo-terminal: what the board holds afterwards is the image and
// erased cells, nothing else.
TEST(CliFlashOnPty, DownloadAndCompareLeaveExactlyTheImageOnTheBoard) {
    const std::string dir = TempDir();
    const std::string saved = dir + "/block0.bin";
    {
        test::ChildProcess sim({kSim, "--chip", "NX31A32", "--save-block0", saved});
        const std::string pty = sim.ReadLine();
        ASSERT_FALSE(pty.empty());
        CliRun down = Tessel({"download", "--port", pty, "--chip", "NX31A32", "--yes", kSample});
        EXPECT_EQ(down.status, 0) << down.out;
        CliRun cmp = Tessel({"compare", "--port", pty, "--chip", "NX31A32", kSample});
        EXPECT_EQ(cmp.status, 0) << cmp.out;
        EXPECT_NE(cmp.out.find("IAP Status: File blink.hex Compare OK!"), std::string::npos) << cmp.out;
        EXPECT_EQ(sim.Stop(SIGTERM), 0);
    }
    std::vector<uint8_t> image;
    std::string error;
    ASSERT_EQ(ReadImageFile(kSample, &image, &error), ImageReadStatus::Ok);
    const std::vector<uint8_t> flash = ReadBytes(saved);
    ASSERT_EQ(flash.size(), 32768u);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    EXPECT_TRUE(std::all_of(flash.begin() + static_cast<long>(image.size()), flash.end(),
                            [](uint8_t b) { return b == 0xFF; }));
    std::filesystem::remove_all(dir);
}

// The password comes from a file or the environment; there is no option that would put it
// into the argument list, and a wrong one fails with the loader's own message.
TEST(CliFlashOnPty, PasswordComesFromAFileOrTheEnvironmentNeverTheArguments) {
    const std::string dir = TempDir();
    std::ofstream(dir + "/pw") << "s3cret\n";
    test::ChildProcess sim({kSim, "--chip", "NX31H64D", "--password", "s3cret"});
    const std::string pty = sim.ReadLine();
    ASSERT_FALSE(pty.empty());
    const std::vector<std::string> base = {"read", "--port", pty, "--chip", "NX31H64D", "--count", "1"};
    auto with = [&](std::vector<std::string> extra) {
        std::vector<std::string> a = base;
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    };
    EXPECT_EQ(Tessel(with({"--password", "s3cret"})).status, 2) << "no such option";
    CliRun file = Tessel(with({"--password-file", dir + "/pw"}));
    EXPECT_EQ(file.status, 0) << file.out;
    EXPECT_NE(file.out.find("000    0000"), std::string::npos) << file.out;
    EXPECT_EQ(Tessel(base, {"TESSEL_PASSWORD=s3cret"}).status, 0);
    EXPECT_EQ(Tessel(base, {"TESSEL_PASSWORD=wrong"}).status, 1);
    EXPECT_EQ(Tessel(base).status, 1) << "no terminal: the empty password, refused";
    EXPECT_EQ(sim.Stop(SIGTERM), 0);
    std::filesystem::remove_all(dir);
}

// The desktop program stores "pässwörd" as the Latin-1 bytes below (its own test checks
// that); the command line, given the same text as UTF-8, must send the same bytes, and must
// refuse a character that has no Latin-1 byte rather than send something else.
TEST(CliFlashOnPty, ANonAsciiPasswordIsSentAsTheSameLatin1BytesAsTheDesktopProgramSends) {
    const std::string latin1 = "p\xE4ssw\xF6rd";
    test::ChildProcess sim({kSim, "--chip", "NX31A32", "--password", latin1});
    const std::string pty = sim.ReadLine();
    ASSERT_FALSE(pty.empty());
    const std::vector<std::string> read = {"read", "--port", pty, "--chip", "NX31A32", "--count", "1"};
    CliRun utf8 = Tessel(read, {"TESSEL_PASSWORD=p\xC3\xA4ssw\xC3\xB6rd"});
    EXPECT_EQ(utf8.status, 0) << utf8.out;
    CliRun euro = Tessel(read, {"TESSEL_PASSWORD=p\xE2\x82\xACssw\xC3\xB6rd"});
    EXPECT_NE(euro.status, 0) << "refused, not sent as another password";

    EXPECT_EQ(sim.Stop(SIGTERM), 0);
}

// One-time bits: nothing is burnt without a Yes or with an option the chip's menu lacks, and
// the next detection reads back what was burnt.
TEST(CliFlashOnPty, LockNeedsAYesAndAnOfferedOptionAndTheNextDetectionShowsIt) {
    test::ChildProcess sim({kSim, "--chip", "NX31H32B"});
    const std::string pty = sim.ReadLine();
    ASSERT_FALSE(pty.empty());
    const std::vector<std::string> at = {"--port", pty, "--chip", "NX31H32B"};
    auto run = [&](std::vector<std::string> args) {
        args.insert(args.begin() + 1, at.begin(), at.end());
        return Tessel(args);
    };
    EXPECT_EQ(run({"lock", "2"}).status, 1) << "no terminal and no --yes: No";
    EXPECT_EQ(run({"remap", "--yes", "1k"}).status, 2) << "remap sizes are for the A-type chips";
    CliRun before = run({"detect"});
    EXPECT_NE(before.out.find("SECURITY : CHIP IS UNLOCKED (FCST[7:5]:000)"), std::string::npos) << before.out;

    CliRun lock = run({"lock", "--yes", "4"});
    EXPECT_EQ(lock.status, 0) << lock.out;
    EXPECT_NE(lock.out.find("SECURITY : CHIP IS LEVEL3 SOFTLOCKED (FCST[7:5]:010)"), std::string::npos) << lock.out;
    CliRun after = run({"detect"});
    EXPECT_NE(after.out.find("SECURITY : CHIP IS LEVEL3 SOFTLOCKED (FCST[7:5]:010)"), std::string::npos) << after.out;
    EXPECT_EQ(sim.Stop(SIGTERM), 0);
}

// The password commands take the new password from a file or the environment, never from
// nothing; Set/Reset erases block 0 only after a Yes. (The stand-in stub they need is refused
// on a real port, so these run on the in-process board.)
TEST(CliFlashInProcess, PasswordCommandsNeedANewPasswordSourceAndSetNeedsAYes) {
    const std::string dir = TempDir();
    std::ofstream(dir + "/new") << "new\n";
    EXPECT_EQ(Tessel({"password", "change", "--port", "sim:NX31A16"}).status, 1) << "no new password and no terminal";
    CliRun change = Tessel({"password", "change", "--port", "sim:NX31A16", "--new-password-file", dir + "/new"});
    EXPECT_EQ(change.status, 0) << change.out;
    EXPECT_NE(change.out.find("IAP Status: Password Change Completed!"), std::string::npos) << change.out;
    EXPECT_EQ(Tessel({"password", "set", "--port", "sim:NX31A16", "--no-password"}).status, 1) << "no Yes";
    CliRun set = Tessel({"password", "set", "--port", "sim:NX31A16", "--lock", "--yes"}, {"TESSEL_NEW_PASSWORD=n"});
    EXPECT_EQ(set.status, 0) << set.out;
    EXPECT_NE(set.out.find("IAP Status: Password Set/Reset Completed!"), std::string::npos) << set.out;
    EXPECT_EQ(Tessel({"password", "set", "--port", "sim:NX31H64D", "--lock", "--yes", "--no-password"}).status, 2);
    std::filesystem::remove_all(dir);
}

TEST(CliFlashInProcess, UpgradeBslNeedsAReadableFileAndAYes) {
    const std::string dir = TempDir();
    std::ofstream(dir + "/bsl.bin", std::ios::binary) << std::string(1024, '\xA5');
    EXPECT_EQ(Tessel({"upgrade-bsl", "--port", "sim:NX31A32", "--yes", dir + "/missing.bin"}).status, 2);
    EXPECT_EQ(Tessel({"upgrade-bsl", "--port", "sim:NX31A32", dir + "/bsl.bin"}).status, 1) << "cancelled without a Yes";
    CliRun up = Tessel({"upgrade-bsl", "--port", "sim:NX31A32", "--yes", dir + "/bsl.bin"});
    EXPECT_EQ(up.status, 0) << up.out;
    EXPECT_NE(up.out.find("IAP Status: Upgrade BSL Succeed!"), std::string::npos) << up.out;
    std::filesystem::remove_all(dir);
}

// The command line opens the window, runs the command in it and leaves it again.
TEST(CliFlashInProcess, FlashCommandsRunInAnExternalWindowThatTheBoardsLoaderGuards) {
    const std::vector<std::string> low = {"--port", "sim:NX31A32", "--external", "low", "--yes"};
    auto with = [&](std::vector<std::string> a) {
        a.insert(a.begin() + 1, low.begin(), low.end());
        return Tessel(a);
    };
    CliRun down = with({"download", "--start-sector", "1", "--verify", kSample});
    EXPECT_EQ(down.status, 0) << down.out;
    EXPECT_NE(down.out.find("IAP Status: File blink.hex Compare OK!"), std::string::npos) << down.out;
    EXPECT_EQ(with({"download", kSample}).status, 1) << "sector 0 holds the board's loader";
    EXPECT_EQ(with({"read", "--start-sector", "16"}).status, 2);
    CliRun bsl = Tessel({"external-bsl", "--port", "sim:NX31A32"});
    EXPECT_EQ(bsl.status, 0) << bsl.out;
    EXPECT_NE(bsl.out.find("IAP Status: Upgrade External BSL Succeed!"), std::string::npos) << bsl.out;
}

TEST(CliFlashInProcess, EditShowsAndReplacesBytesOfBlock0) {
    CliRun show = Tessel({"edit", "--port", "sim:NX31A16", "3FF8"});
    EXPECT_EQ(show.status, 0) << show.out;
    EXPECT_NE(show.out.find("3FF8: FF FF FF FF FF FF FF FF \n"), std::string::npos) << show.out;
    CliRun put = Tessel({"edit", "--port", "sim:NX31A16", "--yes", "03e6", "72", "4F", "5D"});
    EXPECT_EQ(put.status, 0) << put.out;
    EXPECT_NE(put.out.find("03e6: 72 4F 5D FF"), std::string::npos) << put.out;
    EXPECT_EQ(Tessel({"edit", "--port", "sim:NX31A16", "--yes", "03E6", "7G"}).status, 2) << "refused as it is read";
    EXPECT_EQ(Tessel({"edit", "--port", "sim:NX31A16", "4000"}).status, 1);
    EXPECT_EQ(Tessel({"run", "--port", "sim:NX31A16"}).status, 0);
}

TEST(CliFlashInProcess, BadFilesAndOptionsAreRefusedWithTheirExitCodes) {
    const std::string dir = TempDir();
    std::ofstream(dir + "/bad.hex") << ":0300000002003FCB\n:00000001FF\n";
    EXPECT_EQ(Tessel({"download", "--port", "sim:NX31A32", "--yes", dir + "/bad.hex"}).status, 2);
    EXPECT_EQ(Tessel({"download", "--port", "sim:NX31A32", "--yes", dir + "/none.bin"}).status, 2);
    EXPECT_EQ(Tessel({"read", "--port", "sim:NX31A32", "--start-sector", "256"}).status, 2);
    EXPECT_EQ(Tessel({"read", "--port", "sim:NX31A32", "--block", "2"}).status, 2);
    // Without --yes nobody agreed to the erase.
    EXPECT_EQ(Tessel({"download", "--port", "sim:NX31A32", kSample}).status, 1);
    // Save as Intel HEX, then the board's copy converts back to what was downloaded.
    CliRun save = Tessel({"save", "--port", "sim:NX31A32", "--count", "1", dir + "/out.hex"});
    EXPECT_EQ(save.status, 0) << save.out;
    std::vector<uint8_t> image;
    std::string error;
    EXPECT_EQ(ReadImageFile(dir + "/out.hex", &image, &error), ImageReadStatus::Ok) << error;
    EXPECT_EQ(image, std::vector<uint8_t>(128, 0xFF));
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace tessel
