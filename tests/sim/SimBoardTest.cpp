#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>

#include "calc/BaudCalc.h"
#include "firmware/Firmware.h"
#include "support/SimFixture.h"

namespace tessel {
namespace {

using test::Chip;
using test::SimBench;
using V = std::vector<uint8_t>;

// The board locks on the host's rate and keeps it: a read takes its wire time at that rate, a
// host that changes its rate afterwards is garbled, and a rate the crystal cannot produce never
// locks.
TEST(SimHandshake, AutoBaudsAtEveryRateTheCrystalCanProduce) {
    for (uint32_t rate : kStandardRates) {
        SCOPED_TRACE(rate);
        SimBench b(Chip(2), rate);
        ASSERT_TRUE(b.Handshake());
        EXPECT_EQ(b.board().LockedBaud(), rate);
        b.Send({0x05, 0x55});
        EXPECT_EQ(b.Read(1), V{0x00});
        b.Send({0x60});
        EXPECT_EQ(b.Read(2), (V{0x11, 0x46}));
        const uint64_t t0 = b.clock.NowUs();
        for (uint16_t a = 0; a < 4096; a += 128) {
            b.Send({0x0C, uint8_t(a >> 8), uint8_t(a), 0x80});
            ASSERT_EQ(b.Read(128).size(), 128u);
        }
        EXPECT_GE(b.clock.NowUs() - t0, 4096ull * 10 * 1'000'000 / rate);
        b.port.SetBaudRate(rate == 19200 ? 9600 : 19200);
        ASSERT_EQ(b.port.Open(), 0);  // re-open at a new rate without resetting the board
        b.Send({0x60});
        EXPECT_NE(b.Read(2), (V{0x11, 0x46}));
    }
    sim::BoardConfig c = Chip(2);
    c.crystalMHz = 1.0;
    SimBench b(c, 38400);
    EXPECT_FALSE(b.Handshake(false, 3000));
    EXPECT_FALSE(b.board().Linked());
    SimBench slow(c, 2400);
    EXPECT_TRUE(slow.Handshake());
}

TEST(SimHandshake, WithoutModemLinesExtraStringsBeforeBslDoNotResetAgain) {
    sim::BoardConfig c = Chip(2);
    c.selfResetOnBaudDetect = true;
    SimBench b(c, 9600);
    ASSERT_EQ(b.port.Open(), 0);
    // A slow host sends a second string before it reads the first "OK".
    b.Send(V(test::kBaudDetect, test::kBaudDetect + 16));
    b.Send(V(test::kBaudDetect, test::kBaudDetect + 16));
    b.Send({'B', 'S', 'L'});
    EXPECT_EQ(b.Read(5), (V{'O', 'K', 'R', 'D', 'Y'}));
    // Once in command mode, the next string is the operator's reset: a fresh loader.
    b.Send(V(test::kBaudDetect, test::kBaudDetect + 16));
    EXPECT_EQ(b.Read(2), (V{'O', 'K'}));
}

TEST(SimCommands, EveryLoaderCodeGetsItsReply) {
    SimBench b(Chip(3));
    ASSERT_TRUE(b.Handshake());
    // In order: each step may depend on the ones before it. An empty reply: the board answers
    // nothing at all.
    const struct {
        V send, reply;
    } steps[] = {
        {{0x0B, 0x10, 0x00, 0x01}, {0xC0}},                         // erase acknowledges
        {{0x0E, 0x10, 0x00, 4, 0x12, 0x34, 0x56, 0x78}, {}},        // program answers nothing
        {{0x0C, 0x10, 0x00, 4}, {0x12, 0x34, 0x56, 0x78}},          // read answers the raw bytes
        {{0x63}, {0x63}},
        {{0x68, 0x68}, {0xC0}},
        {{0x69, 0x69}, {0xC0}},
        {{0x0C, 0x10, 0x00, 4}, {0xFF, 0xFF, 0xFF, 0xFF}},          // block 1 of an H/L64D shares the addresses
        {{0x68, 0x68}, {0xC0}},
        {{0x08, 0x00, 0x80, 0}, {0xC0}},                            // the empty password, on a chip without one
        {{0x6B, 0x6B}, {}},
        {{0x64}, {0x64}},                                           // the password reset's first 64h is echoed
    };
    for (const auto& step : steps) {
        b.Send(step.send);
        if (step.reply.empty()) EXPECT_FALSE(b.port.PollForInput()) << std::hex << int(step.send[0]);
        else EXPECT_EQ(b.Read(step.reply.size()), step.reply) << std::hex << int(step.send[0]);
    }
    // The second 64h erases block 0; a chip erase answers nothing.
    b.Send({0x64});
    b.Settle();
    EXPECT_EQ(b.board().Block(0)[0x1000], 0xFF);
    b.Send({0x01, 0x00, 0x00, 0x01});
    EXPECT_FALSE(b.port.PollForInput());
    // 0x0A reads the boot area as the loader sees it.
    b.Send({0x0A, 0x01, 0x00, 2});
    EXPECT_EQ(b.Read(2).size(), 2u);
    // Running the user's code silences the loader.
    b.Send({0x62, 0x62});
    b.Settle();
    EXPECT_EQ(b.board().CurrentMode(), sim::Mode::UserCode);
    b.Send({0x63});
    EXPECT_TRUE(b.Read(1).empty());
}

TEST(SimFlash, ProgrammingOnlyClearsBitsAndEraseSetsThemAgain) {
    SimBench b(Chip(2));
    ASSERT_TRUE(b.Handshake());
    b.Send({0x0E, 0x00, 0x10, 2, 0xF0, 0x0F});
    b.Send({0x0E, 0x00, 0x10, 2, 0x3C, 0x3C});
    b.Settle();
    EXPECT_EQ(b.board().Block(0)[0x10], 0x30);
    EXPECT_EQ(b.board().Block(0)[0x11], 0x0C);
    b.Send({0x0B, 0x00, 0x00, 0x01});
    EXPECT_EQ(b.Read(1), V{0xC0});
    EXPECT_EQ(b.board().Block(0)[0x10], 0xFF);
    // The loader cannot rewrite block 1 from which it runs.
    b.Send({0x0B, 0xF4, 0x00, 0x01});
    EXPECT_EQ(b.Read(1), V{0x00});
}

TEST(SimBits, SequencesShowInTheStatusByteAfterTheNextResetAndNeverClear) {
    SimBench b(Chip(5));
    ASSERT_TRUE(b.Handshake());
    b.Send({0x04, 0x03, 0xFF});  // SB2, internal form
    b.Send({0x04, 0x08, 0x55});  // double clock
    b.Send({0x04, 0x09, 0x5A});  // SC0
    b.Send({0x6B, 0x6B});
    b.Send({0x05, 0x55});
    EXPECT_EQ(b.Read(1), V{0x00}) << "the status is latched at reset";
    b.Settle();
    ASSERT_TRUE(b.Handshake());
    b.Send({0x05, 0x55});
    EXPECT_EQ(b.Read(1), V{0x49});
    b.Send({0x6C, 0x6C});  // SC1, external form
    b.Send({0x04, 0x00});  // SB1, two-byte form
    b.Settle();
    ASSERT_TRUE(b.Handshake());
    b.Send({0x05, 0x55});
    EXPECT_EQ(b.Read(1), V{0xCB});

    SimBench a(Chip(1));
    ASSERT_TRUE(a.Handshake(true));
    a.Send({0x02, 0x01});  // RB1
    a.Send({0x04, 0x02});  // SB3
    a.Settle();
    ASSERT_TRUE(a.Handshake(true));
    a.Send({0x05, 0x01});
    EXPECT_EQ(a.Read(1), V{0x22});
}

// What the loader hides: a hard-locked block reads as zeros and takes no erase; a password
// hides the contents until it is verified.
TEST(SimBits, AHardLockedBlockReadsAsZeros) {
    sim::BoardConfig c = Chip(2);
    c.securityBits = 0x80;
    SimBench b(c);
    b.board().SetBlock(0, V(32768, 0x5A));
    ASSERT_TRUE(b.Handshake());
    b.Send({0x0C, 0x00, 0x00, 4});
    EXPECT_EQ(b.Read(4), V(4, 0x00));
    b.Send({0x0B, 0x00, 0x00, 0x01});
    EXPECT_EQ(b.Read(1), V{0x00});
    EXPECT_EQ(b.board().Block(0)[0], 0x5A);

    sim::BoardConfig pw = Chip(2);
    pw.password = "secret";
    SimBench p(pw);
    p.board().SetBlock(0, V(16, 0x11));
    ASSERT_TRUE(p.Handshake());
    p.Send({0x0C, 0x00, 0x00, 2});
    EXPECT_EQ(p.Read(2), V(2, 0x00));
    p.Send({0x08, 0xF0, 0x40, 5, 'w', 'r', 'o', 'n', 'g'});
    EXPECT_EQ(p.Read(1), V{0x00});
    p.Send({0x08, 0xF0, 0x40, 6, 's', 'e', 'c', 'r', 'e', 't'});
    EXPECT_EQ(p.Read(1), V{0xC0});
    p.Send({0x0C, 0x00, 0x00, 2});
    EXPECT_EQ(p.Read(2), V(2, 0x11));
}

void PlaceStub(SimBench& b, FirmwareId id, size_t bytes) {
    V block = b.board().Block(0);
    const FirmwareImage& stub = Firmware(id);
    std::copy(stub.data, stub.data + bytes, block.begin() + 0x2000);
    b.board().SetBlock(0, block);
}

TEST(SimStub, BankSwitchNeedsTheWholeStubOfTheFamily) {
    // The other family's stub, and one partly written: the jump goes nowhere that answers.
    using Stub = std::pair<FirmwareId, size_t>;
    for (const auto& [id, bytes] : {Stub{FirmwareId::Block1StubHL, 368}, Stub{FirmwareId::Block1StubA, 200}}) {
        SimBench b(Chip(2));
        PlaceStub(b, id, bytes);
        ASSERT_TRUE(b.Handshake());
        b.Send({0x03, 0x20, 0x27, 0x10});
        EXPECT_TRUE(b.Read(1).empty());
    }
    SimBench b(Chip(2));
    PlaceStub(b, FirmwareId::Block1StubA, 368);
    ASSERT_TRUE(b.Handshake());
    b.Send({0x03, 0x20, 0x27, 0x10});
    ASSERT_EQ(b.Read(1), V{0xC0});
    EXPECT_EQ(b.board().CurrentMode(), sim::Mode::Stub);
    // Block 1 outside the loader's area: erase, program and read back through the stub.
    b.Send({0x0B, 0xF8, 0x00, 0x01});
    EXPECT_EQ(b.Read(1), V{0xC0});
    b.Send({0x09, 0xF8, 0x00, 3, 1, 2, 3});
    b.Send({0x0A, 0xF8, 0x00, 3});
    EXPECT_EQ(b.Read(3), (V{1, 2, 3}));
    b.Send({0x07, 0xF0, 0x40, 2, 'p', 'w'});
    EXPECT_EQ(b.Read(1), V{0xC0});
    EXPECT_EQ(b.board().Password(), "pw");
    b.Send({0x65, 0x01, 0x33, 0x33});
    b.Send({0x03, 0xF0, 0x80, 0x01});
    b.Settle();
    EXPECT_EQ(b.Read(1), V{0xC0});
    EXPECT_EQ(b.board().CurrentMode(), sim::Mode::Loader);
    EXPECT_EQ(b.board().SecurityBits(), 0x40);
    b.Send({0x60});
    EXPECT_EQ(b.Read(2), (V{0x11, 0x46}));
}

TEST(SimExternal, DemonstrationBoardProgramOnItsFlash) {
    SimBench b(Chip(3));
    ASSERT_TRUE(b.Handshake(true));
    b.Send({0x66, 0x66, 12});
    b.Settle();
    ASSERT_EQ(b.board().CurrentMode(), sim::Mode::ExternalProgram);
    b.Send({0x03, 0x00, 0x00, 8});
    const FirmwareImage& xbsl = Firmware(FirmwareId::ExternalBsl);
    EXPECT_EQ(b.Read(8), V(xbsl.data, xbsl.data + 8));
    b.Send({0x04, 0x10, 0x00, 0x01});
    b.clock.SleepMs(30);
    EXPECT_EQ(b.Read(1), V{0xC0});
    b.Send({0x06, 0x10, 0x00, 2, 0xAB, 0xCD});
    b.Send({0x03, 0x10, 0x00, 2});
    EXPECT_EQ(b.Read(2), (V{0xAB, 0xCD}));
    const uint64_t t0 = b.clock.TickMs();
    b.Send({0x02, 0x02});
    EXPECT_EQ(b.Read(1), V{0xC0});
    EXPECT_GE(b.clock.TickMs() - t0, 20u);
    EXPECT_EQ(b.board().External()[0], 0xFF);
    b.Send({0x01, 0x01});
    b.Settle();
    EXPECT_EQ(b.board().CurrentMode(), sim::Mode::Loader);

    // On an A model the program starts only with the external-access stub in place.
    SimBench a(Chip(2));
    ASSERT_TRUE(a.Handshake(true));
    a.Send({0x66, 0x66, 12});
    a.Settle();
    EXPECT_EQ(a.board().CurrentMode(), sim::Mode::Loader);
}

TEST(Sim11E, PromptsAndCommandsAndTheUpgrade) {
    SimBench b(Chip(2, sim::Firmware::F11E), 9600);
    b.board().SetBlock(0, V(32768, 0x42));
    ASSERT_EQ(b.port.Open(), 0);
    b.port.SetLinesInternalMode();
    // Prompts come at a steady rhythm while idle.
    uint8_t byte = 0;
    std::vector<uint64_t> times;
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(b.port.ReadByte(&byte), 1);
        EXPECT_EQ(byte, 0xF7);
        times.push_back(b.clock.NowUs());
        b.port.WriteByte(0x61);
    }
    for (size_t i = 1; i < times.size(); ++i) {
        EXPECT_GE(times[i] - times[i - 1], sim::kPromptPeriodUs);
        EXPECT_LE(times[i] - times[i - 1], sim::kPromptPeriodUs + 5000);
    }
    // A 0Ch read of 80h bytes answers exactly 128 bytes before prompting resumes.
    b.Read(1);
    b.Send({0x0C, 0x00, 0x00, 0x80});
    EXPECT_EQ(b.Read(128), V(128, 0x42));
    ASSERT_EQ(b.port.ReadByte(&byte), 1);
    EXPECT_EQ(byte, 0xF7);
    b.Send({0x60});
    EXPECT_EQ(b.Read(3), (V{0xE2, 0x11, 0x45}));
    // Write the upgrade program at 0 and start it: the board becomes a 1.1F loader.
    const FirmwareImage& up = Firmware(FirmwareId::Upgrade11E);
    for (uint32_t s = 0; s < 10; ++s) {
        b.Send({0x0B, uint8_t((s * 128) >> 8), uint8_t(s * 128), 0x01});
        ASSERT_EQ(b.Read(1), V{0xC0});
        V frame = {0x0E, uint8_t((s * 128) >> 8), uint8_t(s * 128), 0x80};
        frame.insert(frame.end(), up.data + s * 128, up.data + s * 128 + 128);
        b.Send(frame);
    }
    b.Send({0x62, 0x62});
    b.Settle();
    EXPECT_EQ(b.board().CurrentFirmware(), sim::Firmware::F11F);
    EXPECT_TRUE(b.Handshake());
}

TEST(SimFaults, EachKnobChangesWhatTheHostSees) {
    // A linked board with one knob armed, counted from the bytes of the handshake.
    const auto armed = [](const std::function<void(sim::Faults&, uint64_t received)>& arm) {
        auto b = std::make_unique<SimBench>(Chip(2));
        EXPECT_TRUE(b->Handshake());
        sim::Faults f;
        arm(f, b->board().BytesReceived());
        b->board().SetFaults(f);
        return b;
    };
    auto b = armed([](sim::Faults& f, uint64_t n) { f.silentFromByte = n + 1; });
    b->Send({0x63});
    EXPECT_TRUE(b->Read(1).empty());
    b = armed([](sim::Faults& f, uint64_t n) { f.dropAfterBytes = n + 4; });
    b->Send({0x0C, 0x00, 0x00, 2});
    EXPECT_TRUE(b->Read(2).empty());
    b = armed([](sim::Faults& f, uint64_t) { f.corruptReplyByte = 5 + 1; });  // "OK" "RDY" then the first reply byte
    b->Send({0x63});
    EXPECT_EQ(b->Read(1), V{uint8_t(~0x63)});
    b = armed([](sim::Faults& f, uint64_t) { f.replyDelayMs = 300; });
    const uint64_t t0 = b->clock.TickMs();
    b->Send({0x63});
    EXPECT_EQ(b->Read(1), V{0x63});
    EXPECT_GE(b->clock.TickMs() - t0, 300u);
    b = armed([](sim::Faults& f, uint64_t) { f.refuseCommand = 0x0B; });
    b->Send({0x0B, 0x00, 0x00, 0x01});
    EXPECT_TRUE(b->Read(1).empty());
    b = armed([](sim::Faults& f, uint64_t n) { f.unplugAfterBytes = n + 2; });
    b->Send({0x63});
    EXPECT_EQ(b->Read(1), V{0x63});
    b->Send({0x63});
    EXPECT_TRUE(b->Read(1).empty());
    EXPECT_TRUE(b->board().Unplugged());

    sim::BoardConfig c = Chip(2, sim::Firmware::F11E);
    c.faults.stopPrompts = true;
    SimBench old(c, 9600);
    ASSERT_EQ(old.port.Open(), 0);
    old.port.SetLinesInternalMode();
    EXPECT_TRUE(old.Read(1).empty());
}

TEST(SimNames, ParseChipAndFirmware) {
    sim::BoardConfig c;
    std::string err;
    ASSERT_TRUE(sim::ParseSimName("sim:NX31H64D", &c, &err));
    EXPECT_EQ(c.chipType, 3);
    ASSERT_TRUE(sim::ParseSimName("sim:nx31a16:1.1E", &c, &err));
    EXPECT_EQ(c.chipType, 1);
    EXPECT_EQ(c.firmware, sim::Firmware::F11E);
    EXPECT_FALSE(sim::ParseSimName("sim:NX31H64D:1.1E", &c, &err));
    EXPECT_FALSE(sim::ParseSimName("sim:NX99", &c, &err));
    EXPECT_NE(err.find("unknown chip"), std::string::npos);
    ASSERT_TRUE(sim::ParseSimName("sim", &c, &err));
    EXPECT_EQ(c.chipType, 2);
}

TEST(SimFirmware, ImagesAreTheStandInsOfTheRightSize) {
    EXPECT_EQ(Firmware(FirmwareId::Block1StubA).size, 368u);
    EXPECT_EQ(Firmware(FirmwareId::ExternalBsl).size, 1152u);
    EXPECT_EQ(Firmware(FirmwareId::Upgrade11E).data[0], 0x02) << "starts with a long jump";
    for (const auto& img : kFirmwareImages) EXPECT_TRUE(IsStandInImage(img)) << img.fileName;
    // The monitor's shapes that the download relies on: the A models' block-1 parts end in a
    // blank 64-byte chunk, and the H/L64D image ends in 42 bytes of HEX text after a return.
    for (FirmwareId id : {FirmwareId::MonitorA16Block1, FirmwareId::MonitorA32Block1}) {
        const FirmwareImage& img = Firmware(id);
        EXPECT_TRUE(std::all_of(img.data + img.size - 64, img.data + img.size, [](uint8_t b) { return b == 0xFF; }));
        EXPECT_FALSE(std::all_of(img.data + img.size - 128, img.data + img.size - 64, [](uint8_t b) { return b == 0xFF; }));
    }
    const FirmwareImage& hl64 = Firmware(FirmwareId::MonitorHL64D);
    const std::string tail(hl64.data + 4054, hl64.data + 4096);
    EXPECT_EQ(hl64.data[4053], 0x22);
    EXPECT_EQ(tail.substr(17, 3), "\r\n:") << tail;
}

}  // namespace
}  // namespace tessel
