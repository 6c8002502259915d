#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "platform/Clock.h"
#include "serial/CSerialPort.h"
#include "support/ChildProcess.h"
#include "support/CliRun.h"
#include "support/SimFixture.h"

namespace tessel {
namespace {

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
    test::ChildProcess sim({test::kSim, "--chip", "NX31A32"});
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

TEST(CliOnPty, DetectsTheStandInBoardThroughItsDevicePath) {
    test::SimOnPty sim({"--chip", "NX31L32B"});
    ASSERT_FALSE(sim.pty.empty());
    const test::CliRun r = test::RunTessel({"detect", "--port", sim.pty, "--chip", "NX31L32B"});
    EXPECT_EQ(r.status, 0) << r.out;
    for (const char* said :
         {"Chip Type:   NX31L32B", "Fw Version:  v1.1F", "IAP Status: Detect target MCU is successful!"})
        EXPECT_TRUE(r.Says(said)) << r.out;
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
