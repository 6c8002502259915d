#include <gtest/gtest.h>

#include <random>
#include <string>

#include "device/CDeviceSession.h"
#include "firmware/Firmware.h"
#include "protocol/Password.h"
#include "protocol/Primitives.h"
#include "serial/LinkWorker.h"
#include "sim/SimBoard.h"
#include "support/RecordingOperator.h"
#include "support/RecordingProgress.h"
#include "support/SimFixture.h"
#include "commands/FlashDialogs.h"

namespace tessel {
namespace {

using V = std::vector<uint8_t>;
using Texts = std::vector<std::string>;

// The two ways to the line: this thread on the port, or the link worker owning it.
enum class Path { Port, Worker };

// A session linked to a stand-in board over the virtual line: after a 1.1F handshake, or with
// the link worker answering a 1.1E loader's prompts.
struct Linked : test::SimBench {
    explicit Linked(int chip = 2, bool external = false, Path path = Path::Port)
        : test::SimBench(test::Chip(chip, path == Path::Worker ? sim::Firmware::F11E : sim::Firmware::F11F),
                         path == Path::Worker ? 9600 : 38400),
          path(path) {
        session.chipType = chip;
        session.memoryMode = external ? 2 : 1;
        session.RefreshGeometry();
        if (path == Path::Worker) {
            EXPECT_EQ(port.Open(), 0);
            port.SetLinesInternalMode();
            StartLinkWorker(worker, port, &op, session.flags.errorReported, session.flags.workerRunning);
            ctx.worker = &worker.Transport();
            return;
        }
        EXPECT_TRUE(Handshake(external));
        EXPECT_TRUE(link.board->Linked());
        port.SetLinkUp();
    }
    // Bytes the board received so far, for asserting on traffic.
    uint64_t Received() {
        Settle();
        return link.board->BytesReceived();
    }
    // The board's faults from now on: `knob` set to `value`, every other one off.
    template <typename T, typename U>
    void Arm(T sim::Faults::*knob, U value) {
        sim::Faults f;
        f.*knob = static_cast<T>(value);
        link.board->SetFaults(f);
    }
    // The A models' block-1 stub in place at 2000h, as a download of it would leave it.
    void PlaceStub() {
        const FirmwareImage& stub = Firmware(FirmwareId::Block1StubA);
        V block(32768, 0xFF);
        std::copy(stub.data, stub.data + stub.size, block.begin() + 0x2000);
        link.board->SetBlock(0, block);
    }

    // Lets the line and the worker run until `done` holds, for at most half a second.
    template <typename F>
    bool Until(F done) {
        for (int i = 0; i < 50; ++i, clock.SleepMs(10)) {
            Settle();
            if (done()) return true;
        }
        return false;
    }
    // The operator's messages as the port gives them; through the worker the steps are quiet.
    Texts OnPort(Texts texts) const { return path == Path::Port ? texts : Texts{}; }
    // The failure the operation reported: the step, the address and why.
    std::string Failure() const {
        const auto& f = progress.failure;
        return f ? f->step + " at " + std::to_string(f->address) + ": " + f->reason : "none";
    }

    Path path;
    LinkWorker worker;
    test::RecordingProgress progress;
    LinkContext ctx{session, progress};
};

// Each primitive once on each way to the line: the board's result, and on a fault where and
// why it stopped.
class BothPaths : public ::testing::TestWithParam<Path> {};
INSTANTIATE_TEST_SUITE_P(Primitives, BothPaths, ::testing::Values(Path::Port, Path::Worker),
                         [](const auto& info) { return info.param == Path::Port ? "Port" : "Worker"; });

V Random(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    V v(n);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
}

// Passes everything to the line but refuses to write once `budget` bytes have gone out, as a
// USB adapter does when it is pulled.
class FailingWrites : public VirtualLineHandle {
public:
    FailingWrites(std::shared_ptr<VirtualLine> line, uint64_t* budget)
        : VirtualLineHandle(std::move(line)), budget_(budget) {}
    long Write(const uint8_t* b, size_t n, uint64_t d) override {
        if (*budget_ < n) return -1;
        *budget_ -= n;
        return VirtualLineHandle::Write(b, n, d);
    }

private:
    uint64_t* budget_;
};

TEST_P(BothPaths, SendFrame) {
    Linked l(2, false, GetParam());
    l.link.board->SetBlock(0, V(32768, 0x00));
    ASSERT_TRUE(SendFrame(l.ctx, cmd::kSectorErase, 0x0080, 0x01));
    ASSERT_TRUE(l.Until([&] { return l.link.board->Block(0)[0x80] == 0xFF; }));
    EXPECT_EQ(l.link.board->Block(0)[0x7F], 0x00);
    EXPECT_EQ(l.link.board->CommandLog().back(), "0B 00 80 01");
}

TEST_P(BothPaths, EraseSectors) {
    Linked l(2, false, GetParam());
    l.link.board->SetBlock(0, V(32768, 0x00));
    ASSERT_TRUE(EraseSectors(l.ctx, 0x0000, 128, 4));
    EXPECT_EQ(l.progress.range, 4);
    EXPECT_EQ(l.progress.steps, 4);
    EXPECT_EQ(l.progress.Last(), "Done");
    const V block = l.link.board->Block(0);
    EXPECT_EQ(std::count(block.begin(), block.begin() + 513, 0xFF), 512);
    // A sector the chip does not have is refused: the erase aborts there, and the bar stays
    // where it was.
    l.progress = {};
    EXPECT_FALSE(EraseSectors(l.ctx, 0x7F00, 128, 3));
    EXPECT_EQ(l.Failure(), "erase at 32768: no acknowledgement");
    EXPECT_EQ(l.progress.steps, 2);
    EXPECT_EQ(l.progress.Last(), "Abort");
}

TEST_P(BothPaths, ProgramVerified) {
    Linked l(2, false, GetParam());
    V data = Random(512, 1);
    std::fill(data.begin() + 256, data.begin() + 384, 0xFF);
    ASSERT_TRUE(ProgramVerified(l.ctx, 0x0000, 128, data.data(), 512));
    EXPECT_EQ(l.progress.labels.front(), "Writing");
    EXPECT_EQ(l.progress.steps, 4);
    EXPECT_EQ(l.progress.Last(), "Done");
    const V truth = l.link.board->Block(0);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), truth.begin()));
    const auto log = l.link.board->CommandLog();
    EXPECT_EQ(std::count_if(log.begin(), log.end(), [](const std::string& s) { return s.rfind("0E", 0) == 0; }), 3)
        << "the blank chunk is not sent";
    EXPECT_TRUE(l.op.messages.empty());
    // Programming over written cells only clears bits: the read-back differs at the one byte
    // that would need a bit back.
    V again(data.begin() + 0x80, data.begin() + 0x100);
    again[5] = 0xFF;
    l.progress = {};
    EXPECT_FALSE(ProgramVerified(l.ctx, 0x0080, 128, again.data(), 128));
    EXPECT_EQ(l.Failure().rfind("verify at 133: read back ", 0), 0u) << l.Failure();
    EXPECT_EQ(l.progress.failure->got, data[0x85]);
    EXPECT_EQ(l.op.messages, l.OnPort({"This is a test4"}));
    EXPECT_EQ(l.progress.Last(), "Abort");
    // A board fallen silent: the read-back never comes.
    l.Arm(&sim::Faults::silentFromByte, l.Received() + 1);
    EXPECT_FALSE(ProgramVerified(l.ctx, 0x0200, 128, again.data(), 128));
    EXPECT_EQ(l.Failure(), "read back at 512: no byte came back");
    EXPECT_EQ(l.op.messages, l.OnPort({"This is a test4", "This is a test2!!"}));
}

TEST_P(BothPaths, ReadFlash) {
    Linked l(2, false, GetParam());
    const V image = Random(32768, 4);
    l.link.board->SetBlock(0, image);
    V dest(1000, 0xEE);
    if (GetParam() == Path::Port) {
        // A byte more behind a reply says the line is not what the read took it for: a backup
        // read is not taken then, and the next one, on a clean line, is.
        l.Arm(&sim::Faults::strayAfterRead, 1);
        EXPECT_FALSE(ReadForRestore(l.ctx, dest.data(), 0x0100, 128, 128));
        EXPECT_TRUE(ReadForRestore(l.ctx, dest.data(), 0x0100, 128, 128));
        EXPECT_TRUE(std::equal(dest.begin(), dest.begin() + 128, image.begin() + 0x100));
    }
    EXPECT_EQ(ReadFlash(l.ctx, dest.data(), 0x0100, 300, 128), 300u);
    EXPECT_TRUE(std::equal(dest.begin(), dest.begin() + 300, image.begin() + 0x100));
    EXPECT_EQ(dest[300], 0xEE) << "nothing written past the total";
    EXPECT_EQ(l.progress.Last(), "Done");
    EXPECT_EQ(l.link.board->CommandLog().back(), "0C 02 00 2C") << "the last chunk asks for the 44 remaining bytes";
    EXPECT_TRUE(AnswersReadAt(l.ctx, 0x0100));
    // A reply later than one byte's wait still comes within a flash read's retries (on the
    // line; the 1.1E worker keeps its own waits).
    if (GetParam() == Path::Port) {
        l.Arm(&sim::Faults::replyDelayMs, 2500);
        EXPECT_EQ(ReadFlash(l.ctx, dest.data(), 0x0100, 128, 128), 128u);
    }
    // The second chunk's request goes unanswered: given up on there, in bounded time.
    l.Arm(&sim::Faults::silentFromByte, l.Received() + 5);
    const uint64_t t0 = l.clock.TickMs();
    EXPECT_EQ(ReadFlash(l.ctx, dest.data(), 0x0100, 256, 128), 128u);
    EXPECT_EQ(l.Failure(), "read at 384: no byte came back");
    EXPECT_EQ(l.progress.Last(), "Abort");
    EXPECT_LT(l.clock.TickMs() - t0, 10000u) << "bounded, not for ever";
    EXPECT_TRUE(l.op.messages.empty());
}

TEST_P(BothPaths, CompareFlash) {
    Linked l(2, false, GetParam());
    const V image = Random(32768, 5);
    l.link.board->SetBlock(0, image);
    V expected(image.begin(), image.begin() + 512);
    EXPECT_TRUE(CompareFlash(l.ctx, 0, 128, expected.data(), 512, nullptr, nullptr));
    EXPECT_EQ(l.progress.Last(), "Done");
    expected[300] = static_cast<uint8_t>(image[300] ^ 0xFF);
    expected[301] = static_cast<uint8_t>(image[301] ^ 0xFF);
    uint32_t addr = 0, word = 0;
    EXPECT_FALSE(CompareFlash(l.ctx, 0, 128, expected.data(), 512, &addr, &word));
    EXPECT_EQ(addr, 300u);
    EXPECT_EQ(word, image[300] * 256u + expected[300]);
    EXPECT_EQ(l.Failure().rfind("compare at 300: chip ", 0), 0u) << l.Failure();
    EXPECT_EQ(l.op.messages, l.OnPort({"Failed to Verify Data!!!"}));
    EXPECT_EQ(l.progress.Last(), "Abort");
}

TEST_P(BothPaths, RunUserCode) {
    Linked l(2, false, GetParam());
    ASSERT_TRUE(RunUserCode(l.ctx));
    EXPECT_TRUE(l.Until([&] { return l.link.board->CurrentMode() == sim::Mode::UserCode; }));
}

// The port refuses to write once `sent` bytes have gone: each step says so in its own words,
// and where it stopped.
TEST(PortWrites, FailureTextsAtTheirSteps) {
    const V data = Random(128, 9);
    using Run = bool (*)(LinkContext&, const V&);
    const Run program = [](LinkContext& c, const V& d) { return ProgramVerified(c, 0, 128, d.data(), 128); };
    const Run compare = [](LinkContext& c, const V& d) { return CompareFlash(c, 0, 128, d.data(), 128, nullptr, nullptr); };
    const struct {
        uint64_t sent;
        Run run;
        const char* message;
        const char* failure;
    } rows[] = {
        {0, program, "This is a test1", "write at 0: the program command could not be sent"},
        {4 + 10, program, "This is a test", "write at 10: the data byte could not be sent"},
        {4 + 128 + 1, program, "This is a test3", "read back at 0: the read command could not be sent"},
        {0, compare, "Fail to write QMT_CMD_READ to MCU!!!", "compare at 0: the read command could not be sent"},
    };
    for (const auto& row : rows) {
        Linked l;
        uint64_t budget = UINT64_MAX;
        l.session.port.SetDeviceFactory(
            [&](OpenError*) { return std::make_unique<FailingWrites>(l.link.line, &budget); });
        ASSERT_EQ(l.session.port.Open(), 0);
        budget = row.sent;
        EXPECT_FALSE(row.run(l.ctx, data));
        EXPECT_EQ(l.Failure(), row.failure);
        ASSERT_GE(l.op.messages.size(), 2u);
        EXPECT_EQ(l.op.messages.back(), row.message);
        EXPECT_EQ(l.op.messages[l.op.messages.size() - 2], "2:Fail to write QMT_CMD_READ CMD byte!!!");
    }
}

TEST(ExternalWindow, UsesTheProgramsCodesAndPauses) {
    Linked l(3, true);
    ASSERT_EQ(l.session.port.WriteByte(0x66) + l.session.port.WriteByte(0x66) + l.session.port.WriteByte(12), 3);
    l.session.externalLowOpen = true;
    const uint64_t t0 = l.clock.TickMs();
    ASSERT_TRUE(EraseSectors(l.ctx, 0x1000, 0x1000, 2));
    EXPECT_GE(l.clock.TickMs() - t0, 60u) << "30 ms after each external sector erase";
    const V data = Random(256, 6);
    ASSERT_TRUE(ProgramVerified(l.ctx, 0x1000, 128, data.data(), 256));
    V back(256);
    EXPECT_EQ(ReadFlash(l.ctx, back.data(), 0x1000, 256, 128), 256u);
    EXPECT_EQ(back, data);
    EXPECT_TRUE(EraseChip(l.ctx));
    EXPECT_EQ(l.link.board->External()[0x1000], 0xFF);
}

// A bank switch that cannot be sent, goes nowhere that answers or is answered wrongly; then
// block 1 above the loader through the stub.
TEST(SwitchBank, ResultCodesAndTheStubRoundTrip) {
    {
        Linked l;
        l.session.port.Close();
        EXPECT_EQ(SwitchBank(l.ctx, 0x2027, 0x10), BankSwitch::NotSent);
        EXPECT_EQ(l.progress.Last(), "Bank Switch rc not true");
    }
    {
        Linked l;  // no stub at 0x2000: the jump goes nowhere that answers
        EXPECT_EQ(SwitchBank(l.ctx, 0x2027, 0x10), BankSwitch::NoReply);
        EXPECT_EQ(l.progress.Last(), "Bank Switch not return c0");
    }
    {
        Linked l;
        l.Arm(&sim::Faults::corruptReplyByte, 5 + 1);
        l.PlaceStub();
        EXPECT_EQ(SwitchBank(l.ctx, 0x2027, 0x10), BankSwitch::WrongReply);
    }
    Linked l;
    l.PlaceStub();
    ASSERT_EQ(SwitchBank(l.ctx, 0x2027, 0x10), BankSwitch::Done);
    // Block 1 above the loader: one all-blank chunk is skipped, the rest verified.
    V data = Random(256, 7);
    std::fill(data.begin() + 64, data.begin() + 128, 0xFF);
    ASSERT_TRUE(EraseSectors(l.ctx, 0xF800, 64, 4));
    const uint64_t before = l.Received();
    l.progress = {};
    ASSERT_TRUE(ProgramBootArea(l.ctx, 0xF800, 64, data.data(), 256));
    EXPECT_EQ(l.Received() - before, 3 * (4 + 64 + 4)) << "the blank chunk sends nothing";
    EXPECT_EQ(l.progress.steps, 4);
    const V block1 = l.link.board->Block(1);
    EXPECT_EQ(V(block1.begin() + 0x800, block1.begin() + 0x900), data);
    // A read-back that differs aborts: the cells hold zeros now, 0x55 cannot be written.
    V zeros(64, 0x00), fives(64, 0x55);
    ASSERT_TRUE(ProgramBootArea(l.ctx, 0xF900, 64, zeros.data(), 64));
    EXPECT_FALSE(ProgramBootArea(l.ctx, 0xF900, 64, fives.data(), 64));
    EXPECT_EQ(l.progress.Last(), "Abort");
    EXPECT_EQ(SwitchBank(l.ctx, 0xF080, 0x01), BankSwitch::Done);
    EXPECT_EQ(l.link.board->CurrentMode(), sim::Mode::Loader);
}

// Text frames carry their length and no terminator.
TEST(Frames, TextFramesCarryTheirLength) {
    Linked l(3);
    ASSERT_TRUE(SendTextFrame(l.ctx, 0x08, 0xF040, ""));
    uint8_t reply = 0;
    ASSERT_EQ(l.session.port.ReadByte(&reply), 1);
    EXPECT_EQ(reply, 0xC0);
    EXPECT_EQ(l.link.board->CommandLog().back(), "08 F0 40 00");
    EXPECT_FALSE(SendTextFrame(l.ctx, 0x08, 0xF040, std::string(256, 'x'))) << "a length that does not fit one byte";
}

TEST(EraseChip, PausesAndSendsTheFrame) {
    Linked l(2, true);
    l.link.board->SetBlock(0, V(32768, 0x00));
    const uint64_t t0 = l.clock.NowUs();
    EXPECT_TRUE(EraseChip(l.ctx));
    // The chip's 100 ms start once the frame's four bytes have left at 38400 baud.
    EXPECT_GE(l.clock.NowUs() - t0, 100'000u + 4 * 10'000'000u / 38400) << "the pause began while the frame was on its way";
    l.Settle();
    EXPECT_EQ(l.link.board->Block(0)[100], 0xFF);
}

TEST(PasswordEncoding, Latin1CharactersBecomeOneByteEachAndOthersAreRefused) {
    // Outside Latin-1: refused and named, not turned into "?" or dropped.
    const struct {
        const char* utf8;
        const char* latin1;  // nullptr: refused, with `named` in the reason
        const char* named;
    } rows[] = {
        {"p\xC3\xA4ssw\xC3\xB6rd", "p\xE4ssw\xF6rd", nullptr},
        {"\xC2\xA0\xC3\xBF" "A", "\xA0\xFF" "A", nullptr},  // NBSP, y-diaeresis: Latin-1's ends
        {"pass\xE2\x82\xAC", nullptr, "\xE2\x82\xAC"},       // euro sign
        {"\xF0\x9F\x94\x91", nullptr, "\xF0\x9F\x94\x91"},   // a four-byte character
        // Not UTF-8 at all: a Latin-1 byte on its own, a cut sequence, an overlong ASCII "/".
        {"p\xE4ss", nullptr, "UTF-8"}, {"ab\xC3", nullptr, "UTF-8"}, {"\xC0\xAF", nullptr, "UTF-8"},
    };
    std::string out, error;
    for (const auto& row : rows) {
        out = "unchanged";
        EXPECT_EQ(PasswordFromUtf8(row.utf8, &out, &error), row.latin1 != nullptr) << row.utf8;
        EXPECT_EQ(out, row.latin1 ? row.latin1 : "unchanged");
        EXPECT_TRUE(row.latin1 || error.find(row.named) != std::string::npos) << error;
    }

    // The length limit counts characters after the conversion: 31 two-byte characters are 62
    // bytes of UTF-8 but 31 bytes on the wire, accepted.
    std::string utf8;
    for (int i = 0; i < 31; ++i) utf8 += "\xC3\xA9";
    PasswordVerifyDialog dialog;
    ASSERT_TRUE(PasswordFromUtf8(utf8, &dialog.password, &error));
    EXPECT_EQ(dialog.password.size(), 31u);
    EXPECT_EQ(dialog.PressOk(), OkOutcome::CloseOk);
    ASSERT_TRUE(PasswordFromUtf8(utf8 + "x", &dialog.password, &error));
    EXPECT_EQ(dialog.PressOk(), OkOutcome::KeepOpen);
}

}  // namespace
}  // namespace tessel
