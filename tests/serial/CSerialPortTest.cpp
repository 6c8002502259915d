#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/VirtualLine.h"
#include "serial/CSerialPort.h"
#include "support/RecordingOperator.h"
#include "support/TempFolder.h"

namespace tessel {
namespace {

// A pseudo-terminal pair: the port under test opens the slave by path, the test plays the
// target on the master.
class Pty {
public:
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_GE(master, 0);
        EXPECT_EQ(grantpt(master), 0);
        EXPECT_EQ(unlockpt(master), 0);
        path = ptsname(master);
        termios tio {};
        tcgetattr(master, &tio);
        cfmakeraw(&tio);
        tcsetattr(master, TCSANOW, &tio);
    }
    ~Pty() { close(master); }

    std::vector<uint8_t> ReadMaster(size_t n) {
        std::vector<uint8_t> out;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (out.size() < n && std::chrono::steady_clock::now() < until) {
            uint8_t b[64];
            const ssize_t r = read(master, b, std::min(sizeof b, n - out.size()));
            if (r > 0) out.insert(out.end(), b, b + r);
        }
        return out;
    }

    int master = -1;
    std::string path;
};

// On the virtual clock, so that the two-second wait of a read that gets nothing is exact.
TEST(CSerialPortPty, MovesBytesBothWaysConfiguresTheLineAndGivesUpAfterTwoSeconds) {
    Pty pty;
    test::RecordingOperator op;
    VirtualClock clock(1000);
    CSerialPort port(&op, clock);
    port.SetPortName(pty.path);
    port.SetBaudRate(9600);
    ASSERT_EQ(port.Open(), 0) << port.LastOpenError().reason;

    termios tio {};
    ASSERT_EQ(tcgetattr(pty.master, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & PARENB, 0u);
    EXPECT_EQ(tio.c_cflag & CSTOPB, 0u);

    EXPECT_EQ(port.WriteByte(0x4F), 1);
    const uint8_t block[] = {0x80, 0xE0, 0xF8, 0xFE};
    EXPECT_TRUE(port.WriteBlock(block, sizeof block));
    EXPECT_EQ(pty.ReadMaster(5), (std::vector<uint8_t>{0x4F, 0x80, 0xE0, 0xF8, 0xFE}));

    const uint8_t reply[] = {'R', 'D', 'Y'};
    ASSERT_EQ(write(pty.master, reply, 3), 3);
    std::string got;
    for (int i = 0; i < 3; ++i) {
        uint8_t b = 0;
        ASSERT_EQ(port.ReadByte(&b), 1);
        got += static_cast<char>(b);
    }
    EXPECT_EQ(got, "RDY");
    const uint64_t start = clock.TickMs();
    uint8_t none = 0x12;
    EXPECT_EQ(port.ReadByte(&none), 0);
    EXPECT_GE(clock.TickMs() - start, 1990u);
    EXPECT_LE(clock.TickMs() - start, 2010u);
    EXPECT_EQ(none, 0x12);
    EXPECT_TRUE(op.messages.empty()) << "a read time-out is the caller's to report";
    const uint64_t pollStart = clock.TickMs();
    EXPECT_FALSE(port.PollForInput());
    EXPECT_LE(clock.TickMs() - pollStart, 10u);

    // A pseudo-terminal has no modem lines: the sequences must not fail the port, and the
    // operator is told once, as a trace, not in a box.
    port.SetLinesInternalMode();
    port.SetLinesExternalMode();
    port.PulseRts();
    EXPECT_EQ(port.WriteByte(0x63), 1);
    EXPECT_EQ(pty.ReadMaster(1), std::vector<uint8_t>{0x63});
    EXPECT_TRUE(op.messages.empty());
    size_t modemTraces = 0;
    for (const auto& t : op.traces) modemTraces += t.find("modem lines") != std::string::npos;
    EXPECT_EQ(modemTraces, 1u);
    EXPECT_EQ(port.Close(), 0);

    // A rate the line settings do not list opens at 38400; the two beyond the loader's list
    // that a crystal may make open as asked.
    for (auto [rate, speed] : {std::pair{76800u, B38400}, std::pair{57600u, B57600}, std::pair{115200u, B115200}}) {
        port.SetBaudRate(rate);
        ASSERT_EQ(port.Open(), 0);
        ASSERT_EQ(tcgetattr(pty.master, &tio), 0);
        EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(speed)) << rate;
        EXPECT_EQ(port.Close(), 0);
    }
}

// A missing device, one already in use and a name that is no port: each refused with its reason.
TEST(CSerialPortOpen, MissingBusyAndUnnamedDevicesAreRefused) {
    test::RecordingOperator op;
    CSerialPort port(&op, SystemClock());
    port.SetPortName("/dev/tessel-no-such-port");
    port.SetLinkUp();
    EXPECT_EQ(port.Open(), 2);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_NE(port.LastOpenError().reason.find("no such serial device"), std::string::npos);
    port.SetLinkUp();
    EXPECT_EQ(port.Close(), 3);
    EXPECT_FALSE(port.IsLinkUp());

    Pty pty;
    CSerialPort first(nullptr, SystemClock());
    first.SetPortName(pty.path);
    port.SetPortName(pty.path);
    ASSERT_EQ(first.Open(), 0);
    EXPECT_EQ(port.Open(), 2);
    EXPECT_NE(port.LastOpenError().reason.find("in use"), std::string::npos) << port.LastOpenError().reason;
    first.Close();
    EXPECT_EQ(port.Open(), 0) << "closing must release the device";

    for (const auto& [name, path] : {std::pair{"COM1", "/dev/ttyS0"}, {"COM12", "/dev/ttyS11"},
                                     {"/dev/ttyUSB0", "/dev/ttyUSB0"}, {"COM0", "COM0"}})
        EXPECT_EQ(ResolvePortName(name), path) << name;
    OpenError err;
    EXPECT_EQ(OpenSerialDevice("ttyUSB0", SystemClock(), &err), nullptr);
    EXPECT_NE(err.reason.find("not a port name"), std::string::npos);
}

// Records every change of the modem lines as the far end sees them.
class LineRecorder : public LinePeer {
public:
    void OnHostByte(VirtualLine&, uint8_t b, uint64_t at, uint32_t) override {
        bytes.push_back(b);
        arrivals.push_back(at);
    }
    void OnLinesChanged(VirtualLine&, bool dtr, bool rts, uint64_t) override {
        if (dtr != lastDtr) events.push_back(dtr ? "DTR+" : "DTR-");
        if (rts != lastRts) events.push_back(rts ? "RTS+" : "RTS-");
        lastDtr = dtr;
        lastRts = rts;
    }
    uint64_t NextTimer() override { return UINT64_MAX; }
    void OnTimer(VirtualLine&, uint64_t) override {}

    bool lastDtr = false, lastRts = false;
    std::vector<std::string> events;
    std::vector<uint8_t> bytes;
    std::vector<uint64_t> arrivals;
};

struct VirtualPort {
    VirtualPort() : line(std::make_shared<VirtualLine>(clock, "virtual")), port(&op, clock) {
        line->AttachPeer(peer);
        port.SetDeviceFactory([this](OpenError*) { return std::make_unique<VirtualLineHandle>(line); });
    }
    VirtualClock clock;
    std::shared_ptr<LineRecorder> peer = std::make_shared<LineRecorder>();
    std::shared_ptr<VirtualLine> line;
    test::RecordingOperator op;
    CSerialPort port;
};

// The sequences as the far end sees them, and as the wire trace records them with the bytes
// both ways. Writes queue without waiting, and the line keeps the rate.
TEST(CSerialPortLines, SequencesDriveDtrAndRtsInOrderAndTheTraceRecordsThem) {
    VirtualPort v;
    const test::TempFolder dir;
    std::string err;
    ASSERT_TRUE(v.port.StartWireTrace(dir + "/trace.txt", &err)) << err;
    v.port.SetBaudRate(9600);
    ASSERT_EQ(v.port.Open(), 0);
    // Open leaves DTR high and RTS low.
    EXPECT_EQ(v.peer->events, (std::vector<std::string>{"DTR+", "RTS+", "RTS-"}));
    EXPECT_TRUE(v.line->Dtr());
    EXPECT_FALSE(v.line->Rts());
    const std::vector<std::pair<std::function<void()>, std::vector<std::string>>> steps = {
        {[&] { v.port.SetLinesInternalMode(); }, {"DTR-", "RTS+"}},
        // From a line with RTS high every step shows.
        {[&] { v.port.SetLinesExternalMode(); }, {"RTS-", "DTR+", "RTS+"}},
        {[&] { v.port.SetLinesInternalMode(); }, {"RTS-", "DTR-", "RTS+"}},
        {[&] { v.port.PulseRts(); }, {"RTS-", "RTS+"}},
    };
    for (const auto& [step, events] : steps) {
        v.peer->events.clear();
        step();
        EXPECT_EQ(v.peer->events, events);
    }
    const uint64_t t0 = v.clock.NowUs();
    for (uint8_t b = 0x63; b < 0x63 + 10; ++b) ASSERT_EQ(v.port.WriteByte(b), 1);
    EXPECT_EQ(v.clock.NowUs(), t0) << "no drain wait per byte";
    // A drain waits for the line: ten byte times.
    ASSERT_TRUE(v.port.DrainOutput());
    EXPECT_NEAR(static_cast<double>(v.clock.NowUs() - t0), 10 * 1e7 / 9600, 2.0);
    ASSERT_EQ(v.peer->bytes.size(), 10u);
    for (size_t i = 1; i < 10; ++i)
        EXPECT_NEAR(static_cast<double>(v.peer->arrivals[i] - v.peer->arrivals[i - 1]), 1e7 / 9600, 1.0);
    v.line->PeerSend(0x63, v.clock.NowUs(), 9600);
    uint8_t b;
    ASSERT_EQ(v.port.ReadByte(&b), 1);
    v.peer->events.clear();
    EXPECT_EQ(v.port.Close(), 0);
    EXPECT_EQ(v.peer->events, (std::vector<std::string>{"RTS-"}));
    EXPECT_FALSE(v.line->Dtr());
    v.port.StopWireTrace();
    std::ifstream in(dir + "/trace.txt");
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    for (const char* line : {"> 63", "< 63", "! RTS low"}) EXPECT_NE(text.find(line), std::string::npos) << text;
}

// A device whose transmitter never empties, and which can vanish.
class StuckDevice : public SerialDevice {
public:
    explicit StuckDevice(Clock& c) : clock(c) {}
    bool Configure(const LineSettings&) override { return true; }
    LineResult SetDtr(bool) override { return gone ? LineResult::Failed : LineResult::Ok; }
    LineResult SetRts(bool) override { return gone ? LineResult::Failed : LineResult::Ok; }
    size_t InputCount() override { return 0; }
    size_t OutputCount() override { return queued; }
    bool WaitInput(uint64_t d, const std::atomic<bool>* c) override {
        if (gone) return false;
        clock.SleepUntilUs(d, c);
        return false;
    }
    bool WaitOutputEmpty(uint64_t d) override {
        if (gone) return false;
        clock.SleepUntilUs(d);
        return false;
    }
    long Read(uint8_t*, size_t) override { return gone ? -1 : 0; }
    long Write(const uint8_t*, size_t n, uint64_t) override {
        if (gone) return -1;
        written += n;
        return static_cast<long>(n);
    }
    bool PurgeInput() override { return true; }
    bool PurgeOutput() override {
        ++outputPurges;
        return true;
    }
    void Wake() override {}
    std::string Name() const override { return "/dev/stuck"; }
    bool Gone() const override { return gone; }
    Clock& clock;
    size_t written = 0;
    size_t queued = 1;
    int outputPurges = 0;
    bool gone = false;
};

// A drain that never ends gives up after the bytes' time plus the drain wait. A
// pseudo-terminal reports an empty output queue while its peer has not read what was sent,
// and flushing it there takes those bytes away: only a queue that holds something is purged.
// Then the device vanishes (that every wait then ends at once, said once, is
// AdapterCli.PulledCableEndsReadAndDownloadWithinASecondWithStatus3) and is opened afresh.
TEST(CSerialPortLines, AStuckQueueBoundsTheDrainAndTheFlushAndAVanishedDeviceIsOpenedAfresh) {
    struct {
        VirtualClock clock;
        test::RecordingOperator op;
        CSerialPort port{&op, clock};
        StuckDevice* dev = nullptr;
    } s;
    s.port.SetDeviceFactory([&s](OpenError*) {
        auto d = std::make_unique<StuckDevice>(s.clock);
        s.dev = d.get();
        return d;
    });
    s.port.SetBaudRate(9600);
    ASSERT_EQ(s.port.Open(), 0);
    const int atOpen = s.dev->outputPurges;
    EXPECT_EQ(atOpen, 1) << "the stuck queue holds a byte";
    const uint64_t t0 = s.clock.NowUs();
    const uint8_t block[96] = {};
    EXPECT_TRUE(s.port.WriteBlock(block, sizeof block));
    EXPECT_EQ(s.clock.NowUs(), t0);
    EXPECT_FALSE(s.port.DrainOutput());
    // 96 bytes need 100 ms at 9600 baud; the wait is counted from when they will have left.
    EXPECT_NEAR(static_cast<double>(s.clock.NowUs() - t0), 100'000 + 199'000, 2.0);
    EXPECT_EQ(s.dev->written, 96u);
    s.dev->queued = 0;
    EXPECT_TRUE(s.port.PurgeOutput());
    EXPECT_EQ(s.dev->outputPurges, atOpen);
    s.dev->queued = 3;
    EXPECT_TRUE(s.port.PurgeOutput());
    EXPECT_EQ(s.dev->outputPurges, atOpen + 1);

    s.dev->gone = true;
    uint8_t b = 0;
    EXPECT_EQ(s.port.ReadByte(&b), 0);
    EXPECT_TRUE(s.port.DeviceGone());
    EXPECT_EQ(s.port.Close(), 0);
    // A fresh open of a device that is there again starts clean.
    ASSERT_EQ(s.port.Open(), 0);
    EXPECT_FALSE(s.port.DeviceGone());
}

}  // namespace
}  // namespace tessel
