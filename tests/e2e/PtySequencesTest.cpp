#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "files/ConfigStore.h"
#include "sim/PtyServer.h"
#include "sim/SimBoard.h"
#include "support/RecordingOperator.h"
#include "support/TempFolder.h"
#include "ui/ConfigCommands.h"
#include "ui/DetectCommands.h"
#include "ui/MainDialog.h"
#include "ui/OperatorCommands.h"

namespace tessel {
namespace {

// The tool on the real POSIX backend and the real clock, the board behind a pseudo-terminal.
struct PtyRig {
    PtyRig() : window(&op), store(dir + "/config") {
        // An H/L chip: Lock Chip is offered in internal memory mode only on those.
        sim::BoardConfig c;
        c.chipType = 5;
        c.selfResetOnBaudDetect = true;  // a pseudo-terminal has no modem lines
        board = std::make_shared<sim::Board>(c);
        std::string error;
        EXPECT_TRUE(server.Open(&error)) << error;
        serving = std::thread([this] { server.Serve(board, stop); });
        RegisterDetectCommands(window, {&store, {}, dir + "/state"});
        RegisterConfigCommands(window);
        RegisterOperatorCommands(window, dir + "/state");
        CDeviceSession& s = window.Session();
        s.chipType = 5;
        s.memoryMode = kInternalMemory;
        s.port.SetPortName(server.SlavePath());
        s.port.SetBaudRate(38400);
        op.dialogScript = [](DialogModel& m) {
            if (auto* menu = dynamic_cast<OptionMenuDialog*>(&m)) menu->ChooseOption(1);
            return m.PressOk() == OkOutcome::CloseOk ? DialogResult::Ok : DialogResult::Cancel;
        };
    }
    ~PtyRig() {
        window.Session().port.Close();
        stop = true;
        serving.join();
    }
    bool Detect() {
        window.Route(command::kDetectBaudAndChip);
        return window.Session().IsLinkUp();
    }
    // The board's commands, once nothing has reached it for 30 ms (real time).
    std::vector<std::string> SettledLog() {
        for (uint64_t last = UINT64_MAX, now; (now = board->BytesReceived()) != last; last = now)
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        return board->CommandLog();
    }

    test::RecordingOperator op;
    MainDialog window;
    test::TempFolder dir;
    ConfigStore store;
    std::shared_ptr<sim::Board> board;
    sim::PtyServer server;
    std::atomic<bool> stop{false};
    std::thread serving;
};

// The last bytes of these commands are followed at once by purges and a re-open of the
// line. On a pseudo-terminal the output count is always zero, and a flush of the output
// takes from the peer what it has not read yet, so a byte lost here is lost for good.
constexpr int kRuns = 200;

TEST(PtySequences, ExecuteUserCodeAndLockArriveWholeWithTheirClosingBytesEveryTime) {
    PtyRig r;
    for (int run = 0; run < kRuns; ++run) {
        // As after the operator's full detection, which forgets that user code was started.
        r.window.Session().flags.userCodeRunning = false;
        ASSERT_TRUE(r.Detect()) << "run " << run;
        ASSERT_TRUE(r.window.RunCommand(command::kExecuteUserCode))
            << "run " << run << ": " << (r.op.messages.empty() ? "" : r.op.messages.back());
    }
    std::vector<std::string> log = r.SettledLog();
    EXPECT_EQ(std::count(log.begin(), log.end(), "62 62"), kRuns);
    EXPECT_EQ(log.back(), "62 62");
    r.window.Session().flags.userCodeRunning = false;
    ASSERT_TRUE(r.Detect());
    for (int run = 0; run < kRuns; ++run) {
        r.op.answers = {true};
        ASSERT_TRUE(r.window.RunCommand(command::kLockChip)) << "run " << run << ": " << r.op.messages.back();
        ASSERT_TRUE(r.window.Session().IsLinkUp()) << "run " << run << ": the detection after it";
    }
    log = r.SettledLog();
    EXPECT_EQ(std::count(log.begin(), log.end(), "6B 6B"), kRuns);
}

}  // namespace
}  // namespace tessel
