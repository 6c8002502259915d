#include <gtest/gtest.h>

#include "device/CDeviceSession.h"
#include "protocol/Detection.h"
#include "sim/SimBoard.h"
#include "support/RecordingOperator.h"
#include "support/RecordingView.h"
#include "support/SimFixture.h"

namespace tessel {
namespace {

struct Detecting : test::SimSession {
    explicit Detecting(int chip, int mode = 1, uint32_t baud = 38400, sim::BoardConfig c = {})
        : test::SimSession(WithChip(c, chip), baud) {
        session.chipType = chip;
        session.memoryMode = mode;
    }
    static sim::BoardConfig WithChip(sim::BoardConfig c, int chip) {
        c.chipType = chip;
        return c;
    }

    test::RecordingView view;
    DetectionContext ctx{session, view, op};
};

TEST(Detect11F, FillsTheFieldsAndButtonsForEveryChipAndMode) {
    for (int chip = 1; chip <= 6; ++chip) {
        for (int mode : {1, 2}) {
            Detecting d(chip, mode);
            Detect11F(d.ctx);
            SCOPED_TRACE("chip " + std::to_string(chip) + " mode " + std::to_string(mode));
            ASSERT_TRUE(d.session.IsLinkUp());
            EXPECT_EQ(d.view.Field(ChipField::ChipType), d.session.Chip().model);
            EXPECT_EQ(d.view.Field(ChipField::FlashSize), d.session.Chip().flashSizeText);
            EXPECT_EQ(d.view.Field(ChipField::FwVersion), "v1.1F");
            EXPECT_EQ(d.view.Field(ChipField::MemMode), mode == 1 ? "Internal" : "External");
            EXPECT_EQ(d.view.Field(ChipField::IapStatus), "Detect target MCU is successful!");
            EXPECT_EQ(d.view.Field(ChipField::ReMap), chip <= 2 ? "0 KByte" : "8 KByte");
            EXPECT_EQ(d.view.security, "SECURITY : CHIP IS UNLOCKED (FCST[7:5]:000)");
            const bool hl = chip >= 3;
            using B = IapButton;
            for (const auto& [button, on] : {std::pair{B::Read, true}, {B::Download, true}, {B::SectorErase, true},
                                             {B::DnloadRunUserCode, mode == 1}, {B::ChipErase, mode == 2},
                                             {B::LockChip, mode == 2 || hl}, {B::MemoryRemap, mode == 2 || hl}})
                EXPECT_EQ(d.view.ButtonEnabled(button), on) << static_cast<int>(button);
            EXPECT_EQ(d.session.BlockImage(0).size(), static_cast<size_t>(d.session.BlockSize(0)) + 16);
            EXPECT_EQ(d.op.messages.size(), 1u) << "only the reset prompt";
        }
    }
}

TEST(DecodeSecurity, EveryCodeInBothFamilies) {
    struct Row {
        uint8_t code;
        const char* a;
        const char* hl;
        bool alertA, alertHL;
    } rows[] = {
        {0x00, "SECURITY : CHIP IS UNLOCKED (FCST[7:5]:000)", nullptr, false, false},
        {0x20, "SECURITY : CHIP IS LEVEL3 SOFTLOCKED BLK0 & HARDLOCKED BLK1 (FCST[7:5]:001)", nullptr, false, false},
        {0x40, "SECURITY : CHIP IS LEVEL3 SOFTLOCKED (FCST[7:5]:010)", nullptr, false, false},
        {0x60, "SECURITY : CHIP IS LEVEL4 HARDLOCKED (FCST[7:5]:011)",
         "SECURITY : CHIP IS LEVEL3 HARDLOCKED (FCST[7:5]: 011)", true, false},
        {0x80, "SECURITY : CHIP IS LEVEL2 HARDLOCKED (FCST[7:5]:100)",
         "SECURITY : CHIP IS LEVEL2 SOFTLOCKED (FCST[7:5]:100)", false, false},
        {0xA0, "SECURITY : CHIP IS LEVEL3 HARDLOCKED (FCST[7:5]:101)", nullptr, false, false},
        {0xC0, "SECURITY : CHIP IS LEVEL3 HARDLOCKED (FCST[7:5]:110)",
         "SECURITY : CHIP IS LEVEL3 SOFTLOCKED BLK0 & HARDLOCKED BLK1 (FCST[7:5]:110)", false, false},
        {0xE0, "SECURITY : CHIP IS LEVEL4 HARDLOCKED (FCST[7:5]:111)", nullptr, true, true},
    };
    for (const Row& r : rows) {
        for (int chip : {1, 5}) {
            bool alert = false;
            const std::string line = SecurityLineFor(chip, static_cast<uint8_t>(r.code | 0x1F), &alert);
            const char* want = chip == 1 || !r.hl ? r.a : r.hl;
            EXPECT_EQ(line, want) << int(r.code) << " chip " << chip;
            EXPECT_EQ(alert, chip == 1 ? r.alertA : r.alertHL) << int(r.code);
        }
    }
    // A type outside 1 to 6 leaves the line as it was for the codes whose text differs.
    EXPECT_EQ(SecurityLineFor(0, 0x80, nullptr), "");
    Detecting d(1);
    DecodeSecurityStatus(d.ctx, 0x7F);
    EXPECT_EQ(d.session.flags.lockStatus, 0x60);
    EXPECT_TRUE(d.Shown("PLEASE STOP AND EXIT THE WINDOW!!!"));
}

TEST(Detect11F, StatusBytesDriveRemapLockAndDoubleClock) {
    sim::BoardConfig c;
    c.securityBits = 0x40;
    // Status 0x42: the lock from the board's start, remap bits from SC1 programmed below.
    {
        Detecting e(5, 1, 38400, c);
        // Program SC1 and the lock once, then detect after the reset latches them.
        Detect11F(e.ctx);
        e.session.port.WriteByte(0x6C);
        e.session.port.WriteByte(0x6C);
        e.Settle();
        ResetLink(e.ctx);
        e.view = {};
        Detect11F(e.ctx);
        EXPECT_EQ(e.view.Field(ChipField::ReMap), "Block1 Invisible");
        EXPECT_EQ(e.session.flags.lockStatus, 0x40);
        EXPECT_TRUE(e.view.ButtonEnabled(IapButton::Download));
        EXPECT_FALSE(e.session.flags.doubleClockOn);
    }
    // Status 0x08 (double clock) at a rate below 38400 offers the crystal re-entry once.
    Detecting dc(3, 1, 19200);
    Detect11F(dc.ctx);
    dc.session.port.WriteByte(0x6A);  // the external form is accepted in any mode
    dc.session.port.WriteByte(0x6A);
    dc.Settle();
    ResetLink(dc.ctx);
    int dialogs = 0;
    dc.ctx.runCommSetupDialog = [&] { ++dialogs; return true; };
    dc.op.answers = {true};
    Detect11F(dc.ctx);
    EXPECT_TRUE(dc.session.flags.doubleClockOn);
    EXPECT_EQ(dc.op.questions.size(), 1u);
    EXPECT_EQ(dialogs, 1);
    EXPECT_TRUE(dc.session.crystalQuestionAsked);
    EXPECT_TRUE(dc.session.IsLinkUp()) << "re-detected after the dialog";
}

// With no loader on the line the 1.1F detection gives up after twelve seconds; the detection of
// an unknown loader falls back to the other firmware after eight.
TEST(DetectUnknown, GivesUpOrFallsBackToTheOtherFirmwareWithoutATarget) {
    sim::BoardConfig c;
    c.firmware = sim::Firmware::Monitor;
    Detecting d(2, 1, 38400, c);
    uint64_t t0 = d.clock.TickMs();
    Detect11F(d.ctx);
    EXPECT_GE(d.clock.TickMs() - t0, 12000u);
    EXPECT_LE(d.clock.TickMs() - t0, 12300u);
    EXPECT_TRUE(d.Shown("Failed to setup RS232 connection with Target MCU!!!"));
    EXPECT_EQ(d.op.FirstFault(), Fault::NoAnswer);
    EXPECT_FALSE(d.session.IsLinkUp());
    Detecting u(2, 2, 38400, c);
    bool fellBack = false;
    u.ctx.detect11EFallback = [&] { fellBack = true; };
    t0 = u.clock.TickMs();
    DetectUnknown(u.ctx);
    EXPECT_GE(u.clock.TickMs() - t0, 8000u);
    EXPECT_LE(u.clock.TickMs() - t0, 8300u);
    EXPECT_TRUE(fellBack);
    EXPECT_TRUE(u.Shown("Failed to detect Firmware 1.1F,\nnow we will try to detect 1.1E."));
    // On a 1.1F board it detects in internal memory mode whatever was asked.
    Detecting ok(2, 2);
    DetectUnknown(ok.ctx);
    EXPECT_TRUE(ok.session.IsLinkUp());
    EXPECT_EQ(ok.session.memoryMode, 1);
    EXPECT_EQ(ok.view.Field(ChipField::MemMode), "Internal");
    EXPECT_FALSE(ok.view.ButtonEnabled(IapButton::ChipErase));
}

TEST(Detect11F, EachHandshakeFailureAtItsStep) {
    struct Case {
        uint64_t silentFrom;
        const char* message;
    } cases[] = {
        {17, "Failed on receiving string RDY(0)."},
        {20, "No Response from Target Board after sending 05h,55h!!!"},
        {22, "No Response from Target Board after sending 60h!!!"},
    };
    for (const Case& k : cases) {
        sim::BoardConfig c;
        c.faults.silentFromByte = k.silentFrom;
        Detecting d(2, 1, 38400, c);
        Detect11F(d.ctx);
        EXPECT_TRUE(d.Shown(k.message)) << k.message << " / last: " << d.op.messages.back();
        EXPECT_EQ(d.op.FirstFault(), Fault::NoAnswer) << k.message;
    }
    // A corrupted "F" makes the version "v1.1?", shown and refused, with the link left up.
    sim::BoardConfig c;
    c.faults.corruptReplyByte = 2 + 3 + 1 + 2;  // OK, RDY, status, then 11h and the "F"
    Detecting d(2, 1, 38400, c);
    Detect11F(d.ctx);
    EXPECT_EQ(d.view.Field(ChipField::FwVersion), "v1.1?");
    EXPECT_TRUE(d.Shown("Wrong Firmware Version Detected in MCU chip!!!"));
    EXPECT_EQ(d.op.FirstFault(), Fault::None) << "a loader answered: no fault of the line";
    EXPECT_TRUE(d.session.IsLinkUp());
}

TEST(ResetLink, ClearsTheSessionAndResetsTheChip) {
    Detecting d(3, 2);
    Detect11F(d.ctx);
    ASSERT_TRUE(d.session.IsLinkUp());
    d.session.flags.passwordVerified = true;
    d.session.flags.errorReported = true;
    bool stopped = false;
    d.session.flags.workerRunning = true;
    const uint64_t written = d.link.line->HostBytesWritten();
    ResetLink(d.ctx, [&] { stopped = true; });
    EXPECT_TRUE(stopped);
    EXPECT_FALSE(d.session.IsLinkUp());
    EXPECT_FALSE(d.session.flags.passwordVerified);
    EXPECT_FALSE(d.session.flags.errorReported);
    EXPECT_EQ(d.view.security, "SECURITY : UNKNOWN");
    EXPECT_TRUE(d.view.fields.empty());
    d.Settle();
    EXPECT_EQ(d.link.line->HostBytesWritten() - written, 2u) << "external memory mode closes with 6Bh twice";
    const auto log = d.link.board->CommandLog();
    EXPECT_EQ(log.back(), "reset external") << "the RTS pulse reset the chip";
}

}  // namespace
}  // namespace tessel
