#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "platform/Clock.h"
#include "serial/CSerialPort.h"
#include "support/ChildProcess.h"
#include "support/SimFixture.h"

namespace tessel {
namespace {

const std::string kSim = std::string(TESSEL_BINARY_DIR) + "/apps/sim/tessel-sim";

// The 1.1F handshake by hand, through the real POSIX backend.
bool Handshake(CSerialPort& port) {
    if (port.Open() != 0) return false;
    port.SetLinesInternalMode();
    const uint64_t t0 = SystemClock().TickMs();
    bool ok = false;
    while (!ok && SystemClock().TickMs() - t0 < 5000) {
        port.WriteBlock(test::kBaudDetect, 16);
        if (!port.PollForInput()) continue;
        uint8_t o = 0, k = 0;
        ok = port.ReadByte(&o) && o == 'O' && port.ReadByte(&k) && k == 'K';
    }
    if (!ok) return false;
    const uint8_t bsl[3] = {'B', 'S', 'L'};
    port.WriteBlock(bsl, 3);
    std::string rdy;
    uint8_t b;
    for (int i = 0; i < 3 && port.ReadByte(&b); ++i) rdy += static_cast<char>(b);
    if (rdy != "RDY") return false;
    const uint8_t status[2] = {0x05, 0x55};
    port.WriteBlock(status, 2);
    if (!port.ReadByte(&b)) return false;
    port.WriteByte(0x60);
    uint8_t p = 0, q = 0;
    return port.ReadByte(&p) && port.ReadByte(&q) && p == 0x11 && q == 0x46;
}

TEST(SimOnPty, HandshakesThroughThePosixBackendTwice) {
    test::ChildProcess sim({kSim, "--chip", "NX31A32"});
    const std::string path = sim.ReadLine();
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << "tessel-sim printed '" << path << "'";
    test::RecordingOperator op;
    CSerialPort port(&op, SystemClock());
    port.SetPortName(path);
    ASSERT_TRUE(Handshake(port));
    port.Close();
    ASSERT_TRUE(Handshake(port)) << "a second detection finds a fresh loader";
    port.Close();
    EXPECT_EQ(sim.Stop(SIGTERM), 0);
    EXPECT_TRUE(op.messages.empty());
}

}  // namespace
}  // namespace tessel

namespace tessel {
namespace {

TEST(CliOnPty, DetectsTheStandInBoardThroughItsDevicePath) {
    test::ChildProcess sim({kSim, "--chip", "NX31L32B"});
    const std::string path = sim.ReadLine();
    ASSERT_FALSE(path.empty());
    test::ChildProcess cli({std::string(TESSEL_BINARY_DIR) + "/apps/cli/tessel", "detect", "--port", path,
                            "--chip", "NX31L32B"});
    std::string out, line;
    while (!(line = cli.ReadLine()).empty()) out += line + "\n";
    EXPECT_EQ(cli.Stop(0), 0) << out;
    EXPECT_NE(out.find("Chip Type:   NX31L32B"), std::string::npos) << out;
    EXPECT_NE(out.find("Fw Version:  v1.1F"), std::string::npos) << out;
    EXPECT_NE(out.find("IAP Status: Detect target MCU is successful!"), std::string::npos) << out;
    EXPECT_EQ(sim.Stop(SIGTERM), 0);
}

TEST(CliOnPty, NoTargetGivesUpWithItsMessageAndExitStatus) {
    test::ChildProcess sim({kSim, "--chip", "NX31A32", "--firmware", "monitor"});
    const std::string path = sim.ReadLine();
    test::ChildProcess cli({std::string(TESSEL_BINARY_DIR) + "/apps/cli/tessel", "detect", "--port", path});
    while (!cli.ReadLine().empty()) {
    }
    EXPECT_EQ(cli.Stop(0), 4) << "exit status for no boot loader";
    sim.Stop(SIGTERM);
}

// The in-process stand-in board with the old loader: the upgrade is offered, and only --yes
// accepts it, with the user's code backed up under the state folder first.
TEST(CliInProcess, OldLoaderIsUpgradedOnlyWhenTheOperatorAgrees) {
    char tmpl[] = "/tmp/tessel-e2e-XXXXXX";
    const std::string state = mkdtemp(tmpl);
    const std::string cli = std::string(TESSEL_BINARY_DIR) + "/apps/cli/tessel";
    const std::vector<std::string> env = {"XDG_STATE_HOME=" + state};
    auto run = [&](std::vector<std::string> extra, std::string* out) {
        std::vector<std::string> argv = {cli, "detect", "--port", "sim:NX31A32:1.1E", "--firmware", "1.1E", "--baud", "38400"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        test::ChildProcess p(argv, env);
        std::string line;
        while (!(line = p.ReadLine()).empty()) *out += line + "\n";
        return p.Stop(0);
    };
    std::string declined, accepted;
    EXPECT_EQ(run({}, &declined), 1) << declined;
    EXPECT_NE(declined.find("Fw Version:  v1.1E"), std::string::npos) << declined;
    EXPECT_FALSE(std::filesystem::exists(state + "/tessel")) << "nothing backed up, nothing erased";
    EXPECT_EQ(run({"--yes"}, &accepted), 0) << accepted;
    EXPECT_NE(accepted.find("Fw Version:  v1.1F"), std::string::npos) << accepted;
    ASSERT_TRUE(std::filesystem::exists(state + "/tessel"));
    size_t backups = 0;
    for (const auto& e : std::filesystem::directory_iterator(state + "/tessel"))
        backups += e.file_size() == 1280 ? 1 : 0;
    EXPECT_EQ(backups, 1u);
    std::filesystem::remove_all(state);
}

}  // namespace
}  // namespace tessel
