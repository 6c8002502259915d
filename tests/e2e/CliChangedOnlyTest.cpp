#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "support/ChildProcess.h"
#include "support/CliRun.h"

namespace tessel {
namespace {

using test::kSim;
using test::kCli;
using test::ReadBytes;
using test::WriteBytes;
using test::CliRun;
CliRun Tessel(std::vector<std::string> args) { return test::RunTessel(std::move(args)); }

// A board holding last build's code gets this build's, with one of its eight sectors changed:
// the result line counts that one, the compare afterwards passes, and the board holds the
// new code followed by erased cells. The option is refused where it does not apply.
TEST(CliChangedOnly, RewritesTheChangedSectorAndLeavesExactlyTheNewImage) {
    char tmpl[] = "/tmp/tessel-changed-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    std::vector<uint8_t> now(1024);
    for (size_t i = 0; i < now.size(); ++i) now[i] = static_cast<uint8_t>(i * 7 + 1);
    std::vector<uint8_t> before = now;
    before[3 * 128 + 5] = static_cast<uint8_t>(~now[3 * 128 + 5]);
    WriteBytes(dir + "/before.bin", before);
    WriteBytes(dir + "/now.bin", now);
    {
        test::ChildProcess sim({kSim, "--chip", "NX31A32", "--block0", dir + "/before.bin", "--save-block0",
                                dir + "/after.bin"});
        const std::string pty = sim.ReadLine();
        ASSERT_FALSE(pty.empty());
        const CliRun run = Tessel({"download", "--port", pty, "--chip", "NX31A32", "--yes", "--changed-only",
                                   "--verify", dir + "/now.bin"});
        EXPECT_EQ(run.status, 0) << run.out;
        EXPECT_NE(run.out.find("(Sectors rewritten: 1, skipped (unchanged): 7), compared again"), std::string::npos)
            << run.out;
        EXPECT_NE(run.out.find("Compare OK"), std::string::npos) << run.out;
        const CliRun block1 = Tessel({"download", "--port", pty, "--chip", "NX31A32", "--yes", "--changed-only",
                                      "--block", "1", dir + "/now.bin"});
        EXPECT_EQ(block1.status, 2) << block1.out;
        EXPECT_EQ(sim.Stop(SIGTERM), 0);
    }
    const std::vector<uint8_t> flash = ReadBytes(dir + "/after.bin");
    ASSERT_EQ(flash.size(), 32768u);
    EXPECT_TRUE(std::equal(now.begin(), now.end(), flash.begin()));
    EXPECT_TRUE(std::all_of(flash.begin() + 1024, flash.end(), [](uint8_t b) { return b == 0xFF; }));
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace tessel
