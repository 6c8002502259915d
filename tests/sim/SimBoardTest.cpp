#include <gtest/gtest.h>

#include <algorithm>

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
