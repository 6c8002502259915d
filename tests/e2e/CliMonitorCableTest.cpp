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
using test::CliRun;
// Standard output and error together, as a person at the terminal sees them.
CliRun Tessel(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
    return test::RunTessel(std::move(args), env, true);
}

bool Has(const CliRun& r, const std::string& text) { return r.out.find(text) != std::string::npos; }

TEST(CliCableTest, LoopBackPassesALoaderFailsAMissingPortIsAPortError) {
    {
        test::ChildProcess sim({kSim, "--loopback"});
        const std::string pty = sim.ReadLine();
        ASSERT_FALSE(pty.empty());
        CliRun r = Tessel({"cable-test", "--port", pty, "--yes"});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_TRUE(Has(r, "Please remove MCU from the target board,\nthen connect TXD and RXD pin and power on!"))
            << r.out;
        EXPECT_TRUE(Has(r, "Serial connection is correct!")) << r.out;
        EXPECT_EQ(sim.Stop(SIGTERM), 0);
    }
    {
        // A chip still on the board: its loader waits for its own baud string and never
        // echoes the three bytes.
        test::ChildProcess sim({kSim, "--chip", "NX31A32"});
        const std::string pty = sim.ReadLine();
        ASSERT_FALSE(pty.empty());
        CliRun r = Tessel({"cable-test", "--port", pty, "--yes"});
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_TRUE(Has(r, "Serial connection is incorrect!!!")) << r.out;
        EXPECT_FALSE(Has(r, "Serial connection is correct!")) << r.out;
        EXPECT_EQ(sim.Stop(SIGTERM), 0);
    }
    {
        const std::string missing = "/dev/tessel-no-such-port";
        ASSERT_FALSE(std::filesystem::exists(missing));
        CliRun r = Tessel({"cable-test", "--port", missing, "--yes"});
        EXPECT_EQ(r.status, 3) << r.out;
        EXPECT_TRUE(Has(r, "Failed to setup Serial Comm with Target MCU!!!")) << r.out;
    }
    EXPECT_EQ(Tessel({"cable-test", "--port", "sim:NX31A32", "--baud", "12345", "--yes"}).status, 2);
}

TEST(CliMonitor, ReplacesTheLoaderAndSaysHowToGetItBack) {
    char tmpl[] = "/tmp/tessel-monitor-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    const std::string state = "XDG_STATE_HOME=" + dir + "/state";
    EXPECT_EQ(Tessel({"monitor", "--port", "sim:NX31H32B"}, {state}).status, 1) << "no Yes, nothing done";
    CliRun r = Tessel({"monitor", "--port", "sim:NX31H32B", "--yes"}, {state});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Has(r, "Downloading Monitra Completed!")) << r.out;
    EXPECT_TRUE(Has(r, "The boot loader is gone")) << r.out;
    EXPECT_TRUE(Has(r, "To get the boot loader back")) << r.out;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir + "/state/tessel"), {}), 1)
        << "block 0's overwritten areas saved";
    std::filesystem::remove_all(dir);
}

// Through a real serial device the tool cannot know the far end is the stand-in board, so its
// stand-in images are refused before the loader is touched.
TEST(CliMonitor, TheStandInImagesAreRefusedOnARealPort) {
    char tmpl[] = "/tmp/tessel-monitor-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    const std::string saved = dir + "/block1.bin";
    {
        test::ChildProcess sim({kSim, "--chip", "NX31A16", "--save-block1", saved});
        const std::string pty = sim.ReadLine();
        ASSERT_FALSE(pty.empty());
        CliRun r = Tessel({"monitor", "--port", pty, "--chip", "NX31A16", "--yes"}, {"XDG_STATE_HOME=" + dir});
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_TRUE(Has(r, "stand-in")) << r.out;
        EXPECT_FALSE(Has(r, "Do you really want to download Monitra?")) << "refused before the question";
        EXPECT_EQ(sim.Stop(SIGTERM), 0);
    }
    const std::vector<uint8_t> b1 = ReadBytes(saved);
    ASSERT_EQ(b1.size(), 4096u);
    EXPECT_EQ(std::string(b1.begin(), b1.begin() + 9), "BSL v1.1F") << "the loader is still there";
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace tessel
