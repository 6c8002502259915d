#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
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

// The board, with every byte it receives written down first.
class LoggingPeer : public LinePeer {
public:
    explicit LoggingPeer(std::shared_ptr<sim::Board> b) : board(std::move(b)) {}
    void OnHostByte(VirtualLine& line, uint8_t byte, uint64_t at, uint32_t baud) override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            log.push_back(byte);
        }
        board->OnHostByte(line, byte, at, baud);
    }
    void OnLinesChanged(VirtualLine& line, bool dtr, bool rts, uint64_t at) override {
        board->OnLinesChanged(line, dtr, rts, at);
    }
    uint64_t NextTimer() override { return board->NextTimer(); }
    void OnTimer(VirtualLine& line, uint64_t at) override { board->OnTimer(line, at); }
    void OnHostClosed(VirtualLine& line, uint64_t at) override { board->OnHostClosed(line, at); }

    std::vector<uint8_t> Log() {
        std::lock_guard<std::mutex> lock(mutex);
        return log;
    }
    // Waits (real time) until the log has not grown for 30 ms.
    std::vector<uint8_t> SettledLog() {
        size_t last = SIZE_MAX;
        for (int i = 0; i < 200; ++i) {
            const size_t now = Log().size();
            if (now == last) break;
            last = now;
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
        return Log();
    }

    std::shared_ptr<sim::Board> board;
    std::mutex mutex;
    std::vector<uint8_t> log;
};

size_t CountPairs(const std::vector<uint8_t>& log, uint8_t code) {
    size_t n = 0;
    for (size_t i = 0; i + 1 < log.size(); ++i)
        if (log[i] == code && log[i + 1] == code) {
            ++n;
            ++i;
        }
    return n;
}

// The tool on the real POSIX backend and the real clock, the board behind a pseudo-terminal.
struct PtyRig {
    PtyRig() : window(&op), store(dir + "/config") {
        // An H/L chip: Lock Chip is offered in internal memory mode only on those.
        sim::BoardConfig c;
        c.chipType = 5;
        c.selfResetOnBaudDetect = true;  // a pseudo-terminal has no modem lines
        board = std::make_shared<sim::Board>(c);
        peer = std::make_shared<LoggingPeer>(board);
        std::string error;
        EXPECT_TRUE(server.Open(&error)) << error;
        serving = std::thread([this] { server.Serve(peer, stop); });
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

    test::RecordingOperator op;
    MainDialog window;
    test::TempFolder dir;
    ConfigStore store;
    std::shared_ptr<sim::Board> board;
    std::shared_ptr<LoggingPeer> peer;
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
    std::vector<uint8_t> log = r.peer->SettledLog();
    EXPECT_EQ(CountPairs(log, 0x62), static_cast<size_t>(kRuns));
    EXPECT_EQ(log.back(), 0x62);
    r.window.Session().flags.userCodeRunning = false;
    ASSERT_TRUE(r.Detect());
    for (int run = 0; run < kRuns; ++run) {
        r.op.answers = {true};
        ASSERT_TRUE(r.window.RunCommand(command::kLockChip)) << "run " << run << ": " << r.op.messages.back();
        ASSERT_TRUE(r.window.Session().IsLinkUp()) << "run " << run << ": the detection after it";
    }
    log = r.peer->SettledLog();
    EXPECT_EQ(CountPairs(log, 0x6B), static_cast<size_t>(kRuns));
}

}  // namespace
}  // namespace tessel
