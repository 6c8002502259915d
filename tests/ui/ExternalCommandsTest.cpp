#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "firmware/Firmware.h"
#include "support/FlashRig.h"

namespace tessel {
namespace {

using namespace test;

const char kLowSwitches[] =
    "Please set DIP switch on SW2 of\nBSL Demo Board v2.0 as follows:\n\na.    EA1# = 1  or  #1 = OFF\n"
    "b.    CE# = 0    or  #2 = ON\nc.    A16 = 0     or  #3 = ON\nd.    RST1 = 1  or  #8 = OFF\ne.    Vcc >= 3.3V";

TEST(ExternalFlash, ATypeLowWindowBorrowsBlock0AndGivesItBackOnReturn) {
    DetectedRig r(BoardOf(2));
    const std::vector<uint8_t> code = r.FillBlock(0);
    EXPECT_TRUE(r.Run(command::kExternalLow));
    EXPECT_TRUE(r.Said(kLowSwitches));
    EXPECT_TRUE(r.Said("Entering Low 64KB of External Flash Successful!"));
    EXPECT_EQ(CountFrames(r.LastCommands(), "66 66 0C"), 1u);
    EXPECT_TRUE(r.session().externalLowOpen);
    for (const auto& [field, shown] : {std::pair{ChipField::ChipType, "NX40F128"}, {ChipField::FlashSize, "Low 64KB"},
                                       {ChipField::MemMode, "External Flash"}, {ChipField::ReMap, "Not Applicable"}})
        EXPECT_EQ(r.window.Field(field), shown);
    EXPECT_TRUE(r.window.ButtonEnabled(IapButton::Read));
    EXPECT_FALSE(r.window.ButtonEnabled(IapButton::LockChip));
    EXPECT_EQ(r.board().CurrentMode(), sim::Mode::ExternalProgram);
    EXPECT_EQ(r.Backups().size(), 1u) << "the borrowed areas are on disk while the window is open";

    // The flash commands now work on the window: its first sector holds the board's loader.
    r.count = 1;
    EXPECT_TRUE(r.Run(command::kRead));
    const FirmwareImage& xbsl = Firmware(FirmwareId::ExternalBsl);
    EXPECT_TRUE(std::equal(xbsl.data, xbsl.data + xbsl.size, r.session().ExternalImage().begin()));
    // A download erases the 4 KB sectors it touches, and puts the rest of its last sector back
    // as the window held it.
    r.board().SetExternal(std::vector<uint8_t>(sim::kExternalFlashSize, 0x00));
    const std::vector<uint8_t> data = Pattern(5000, 0x12);
    EXPECT_TRUE(r.Download(r.WriteFile("w.bin", data), 0, 1).Ok());
    r.Settle();
    const auto after = r.board().External();
    EXPECT_EQ(after[0x0FFF], 0x00) << "the sector before is not touched";
    EXPECT_TRUE(std::equal(data.begin(), data.end(), after.begin() + 0x1000));
    EXPECT_TRUE(std::all_of(after.begin() + 0x1000 + 5000, after.begin() + 0x3001, [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(CountFrames(r.LastCommands(), "04"), 2u);

    EXPECT_FALSE(r.RunYes(command::kBackToMcu, {false}));
    EXPECT_TRUE(r.session().externalLowOpen) << "No leaves the window open";
    EXPECT_TRUE(r.RunYes(command::kBackToMcu));
    EXPECT_TRUE(r.Said("Return to MCU Flash Successful!"));
    EXPECT_EQ(r.Block(0), code);
    EXPECT_TRUE(r.Backups().empty());
    EXPECT_EQ(r.board().CurrentMode(), sim::Mode::Loader);
    EXPECT_EQ(r.window.Field(ChipField::ChipType), "NX31A32");
    EXPECT_FALSE(r.session().ExternalWindowOpen());
    EXPECT_FALSE(r.RunYes(command::kBackToMcu));
    EXPECT_TRUE(r.Said("You are in Internal Memory mode already!"));
}

// 01h has no reply: the return is only reported done when the loader answers again.
TEST(ExternalFlash, BackToMcuFlashIsSuccessfulOnlyWhenTheLoaderAnswers) {
    for (const int chip : {3, 1}) {
        SCOPED_TRACE(chip);
        DetectedRig r(BoardOf(chip));
        ASSERT_TRUE(r.Run(command::kExternalLow));
        // The two 01h, then nothing.
        r.board().SetFaults({.dropAfterBytes = r.board().BytesReceived() + r.board().BytesSent() + 2});
        // Stopped too, the return still runs whole; its report is an error only where the
        // operator's data stayed off the chip.
        r.session().flags.stop.Request();
        EXPECT_FALSE(r.RunYes(command::kBackToMcu));
        EXPECT_EQ(r.session().flags.stop.LeftDataOff(), chip == 1);
        EXPECT_FALSE(r.Said("Return to MCU Flash Successful!"));
        EXPECT_TRUE(r.SaidStart("Return to MCU Flash Failed!"));
        EXPECT_TRUE(r.session().flags.errorReported.load());
        if (chip == 1) {
            // The borrowed areas could not be given back: their file is named and kept.
            ASSERT_EQ(r.Backups().size(), 1u);
            EXPECT_NE(r.window.Result().find("block 0's areas 0000h-007Fh and 2000h-217Fh were not put back; "
                                             "their saved contents are in " + r.Backups()[0]),
                      std::string::npos) << r.window.Result();
        }
    }
}

// An H/L chip's window needs no stub in block 0; in the high window a compare names the
// whole seventeen-bit address of a mismatch.
TEST(ExternalFlash, HLChipsLeaveBlock0AloneAndSendTheCrystalRoundedUp) {
    sim::BoardConfig config = BoardOf(3, 0xA0, {}, 33.0);
    config.externalHighHalf = true;
    FlashRig r(config);
    r.session().crystalMHz = 33.0;
    ASSERT_TRUE(r.Detect());
    const size_t mark = r.board().CommandLog().size();
    EXPECT_TRUE(r.Run(command::kExternalHigh)) << "A0h does not stop an H/L chip";
    std::vector<uint8_t> ext(sim::kExternalFlashSize, 0xFF);
    const std::vector<uint8_t> data = Pattern(0x200, 0x33);
    std::copy(data.begin(), data.end(), ext.begin() + 0x10000);
    ext[0x10123] ^= 0xFF;
    r.board().SetExternal(ext);
    r.file = r.WriteFile("ext.bin", data);
    EXPECT_FALSE(r.Run(command::kCompare));
    char expected[128];
    std::snprintf(expected, sizeof expected,
                  "Unmatched data at memory address 10123h: %02Xh(MCU) vs. %02Xh in File ext.bin", ext[0x10123],
                  data[0x123]);
    EXPECT_EQ(r.window.Field(ChipField::IapStatus), expected);
    EXPECT_TRUE(r.RunYes(command::kBackToMcu));
    r.Settle();
    const auto log = r.CommandsSince(mark);
    EXPECT_EQ(CountFrames(log, "66 66 21"), 1u);
    for (const char* code : {"0B", "0C", "0E"}) EXPECT_EQ(CountFrames(log, code), 0u) << code;
    EXPECT_EQ(r.window.Field(ChipField::FlashSize), r.session().Chip().flashSizeText);
}

// A reopened window keeps the first opening's copy of block 0. After a reset the loader, not
// the board's external-flash program, has the line: a detection gives block 0 back, and so does
// the return after a detection that leaves the window marked (the unknown firmware's), without
// the 01h 01h that would open a chip erase frame.
TEST(ExternalFlash, AfterAResetBlock0ComesBackFromTheFirstCopyWithoutA01h) {
    for (const bool unknownFirmware : {false, true}) {
        SCOPED_TRACE(unknownFirmware ? "unknown firmware, then the return" : "detection");
        DetectedRig r(BoardOf(unknownFirmware ? 2 : 1));
        const std::vector<uint8_t> code = r.FillBlock(0);
        EXPECT_TRUE(r.Run(command::kExternalLow));
        EXPECT_TRUE(r.Run(command::kExternalHigh));
        EXPECT_TRUE(r.session().externalHighOpen && !r.session().externalLowOpen);
        const size_t mark = r.board().CommandLog().size();
        r.Run(command::kResetLink);
        if (unknownFirmware) {
            r.Run(command::kDetectUnknown);
            ASSERT_TRUE(r.session().IsLinkUp() && r.session().ExternalWindowOpen());
            EXPECT_TRUE(r.RunYes(command::kBackToMcu));
            EXPECT_TRUE(r.Said("Return to MCU Flash Successful!"));
        }
        ASSERT_TRUE(unknownFirmware || r.Detect());
        EXPECT_FALSE(r.session().ExternalWindowOpen());
        EXPECT_EQ(r.Block(0), code) << "the copy from the first opening, not the stub";
        EXPECT_EQ(CountFrames(r.CommandsSince(mark), "01"), 0u);
        EXPECT_TRUE(r.Backups().empty());
    }
}

}  // namespace
}  // namespace tessel
