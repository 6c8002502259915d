#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "support/CliRun.h"

namespace tessel {
namespace {

// Through the real POSIX backend, twice on the same board: the second detection finds a fresh
// loader.
TEST(CliOnPty, DetectsTheStandInBoardThroughItsDevicePath) {
    test::SimOnPty sim({"--chip", "NX31L32B"});
    ASSERT_EQ(sim.pty.rfind("/dev/pts/", 0), 0u) << "tessel-sim printed '" << sim.pty << "'";
    for (int twice = 0; twice < 2; ++twice) {
        const test::CliRun r = test::RunTessel({"detect", "--port", sim.pty, "--chip", "NX31L32B"});
        EXPECT_EQ(r.status, 0) << r.out;
        for (const char* said :
             {"Chip Type:   NX31L32B", "Fw Version:  v1.1F", "IAP Status: Detect target MCU is successful!"})
            EXPECT_TRUE(r.Says(said)) << r.out;
    }
    EXPECT_EQ(sim.process.Stop(SIGTERM), 0);
    const test::SimOnPty monitor({"--chip", "NX31A32", "--firmware", "monitor"});
    EXPECT_EQ(test::RunTessel({"detect", "--port", monitor.pty}).status, 4) << "exit status for no boot loader";
}

// The in-process stand-in board with the old loader: the upgrade is offered, and only --yes
// accepts it, with the user's code backed up under the state folder first.
TEST(CliInProcess, OldLoaderIsUpgradedOnlyWhenTheOperatorAgrees) {
    const test::TempFolder state;
    const std::vector<std::string> detect = {"detect", "--port", "sim:NX31A32:1.1E", "--firmware", "1.1E", "--baud",
                                             "38400"};
    const test::CliRun declined = test::RunTessel(detect, {"XDG_STATE_HOME=" + state});
    EXPECT_EQ(declined.status, 1) << declined.out;
    EXPECT_TRUE(declined.Says("Fw Version:  v1.1E")) << declined.out;
    EXPECT_FALSE(std::filesystem::exists(state + "/tessel")) << "nothing backed up, nothing erased";
    std::vector<std::string> yes = detect;
    yes.push_back("--yes");
    const test::CliRun accepted = test::RunTessel(yes, {"XDG_STATE_HOME=" + state});
    EXPECT_EQ(accepted.status, 0) << accepted.out;
    EXPECT_TRUE(accepted.Says("Fw Version:  v1.1F")) << accepted.out;
    ASSERT_TRUE(std::filesystem::exists(state + "/tessel"));
    size_t backups = 0;
    for (const auto& e : std::filesystem::directory_iterator(state + "/tessel"))
        backups += e.file_size() == 1280 ? 1 : 0;
    EXPECT_EQ(backups, 1u);
}

}  // namespace
}  // namespace tessel
