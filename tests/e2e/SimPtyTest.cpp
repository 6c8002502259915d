#include <gtest/gtest.h>

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

}  // namespace
}  // namespace tessel
