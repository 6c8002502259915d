#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "device/CommandChecks.h"
#include "support/FlashRig.h"

namespace tessel {
namespace {

using namespace test;

TEST(ByteEdit, DisplayTakesFourHexDigitsAndStopsAtTheEndOfBlock0) {
    FlashRig r(BoardOf(1));
    const std::vector<uint8_t> code = r.FillBlock(0);
    ASSERT_TRUE(r.Detect());
    EXPECT_TRUE(r.EditBlock0([&](ByteEditDialog& d) {
        d.addressText = "03e6";
        EXPECT_TRUE(d.OnDisplayData());
        EXPECT_EQ(d.address, 0x03E6u);
        EXPECT_EQ(d.shownData.size(), 48u);
        char first[4];
        std::snprintf(first, sizeof first, "%02X ", code[0x3E6]);
        EXPECT_EQ(d.shownData.substr(0, 3), first);
        d.addressText = "3FF8";
        EXPECT_TRUE(d.OnDisplayData());
        EXPECT_EQ(d.shownData.size(), 24u) << "8 bytes to the end of an NX31A16's block 0";
        for (const char* bad : {"3E6", "03G6"}) {
            d.addressText = bad;
            EXPECT_FALSE(d.OnDisplayData()) << bad;
        }
        d.addressText = "4000";
        EXPECT_FALSE(d.OnDisplayData());
    }));
    EXPECT_TRUE(r.Said("Address string should be in 4-digit Hex format!"));
    EXPECT_TRUE(r.Said("Memory address is invalid!"));
}

// Malformed data, or an address the display refuses, erases nothing; a replace rewrites only
// the sectors its bytes fall into.
TEST(ByteEdit, ReplaceRewritesOnlyTheSectorsTheBytesFallInto) {
    FlashRig r(BoardOf(2));
    const std::vector<uint8_t> code = r.FillBlock(0);
    ASSERT_TRUE(r.Detect());
    r.op.answers = {true, true, true};
    size_t mark = 0;
    EXPECT_TRUE(r.EditBlock0([&](ByteEditDialog& d) {
        mark = r.board().CommandLog().size();
        const std::pair<const char*, const char*> refused[] = {
            {"0200", "7G 01"}, {"0200", "12-34"}, {"0200", "12 3"}, {"02X0", "11 22"}, {"7FFC", "01 02 03 04 05"}};
        for (const auto& [at, data] : refused) {
            d.addressText = at;
            d.newData = data;
            EXPECT_FALSE(d.OnReplaceData()) << at << " " << data;
        }
        r.Settle();
        EXPECT_EQ(CountFrames(r.CommandsSince(mark), "0B"), 0u);
        EXPECT_EQ(r.board().Block(0), code);

        mark = r.board().CommandLog().size();
        d.addressText = "03E6";
        d.newData = "72 4F 5D";
        EXPECT_TRUE(d.OnReplaceData());
        EXPECT_EQ(d.shownData.substr(0, 9), "72 4F 5D ") << "shown again after the write";
        r.Settle();
        const auto log = r.CommandsSince(mark);
        EXPECT_EQ(CountFrames(log, "0B 03 80"), 1u);
        EXPECT_EQ(CountFrames(log, "0B"), 1u);

        // Sixteen bytes from offset 78h run into the next sector.
        mark = r.board().CommandLog().size();
        d.addressText = "03F8";
        d.newData = "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F";
        EXPECT_TRUE(d.OnReplaceData());
        r.Settle();
        const auto two = r.CommandsSince(mark);
        EXPECT_EQ(CountFrames(two, "0B 03 80"), 1u);
        EXPECT_EQ(CountFrames(two, "0B 04 00"), 1u);

        d.addressText = "0100";
        d.newData = "12345";  // the third character is not looked at
        EXPECT_TRUE(d.OnReplaceData());
    }));
    std::vector<uint8_t> expected = code;
    expected[0x3E6] = 0x72, expected[0x3E7] = 0x4F, expected[0x3E8] = 0x5D;
    for (int i = 0; i < 16; ++i) expected[0x3F8 + i] = static_cast<uint8_t>(i);
    expected[0x100] = 0x12, expected[0x101] = 0x45;
    EXPECT_EQ(r.Block(0), expected);
    EXPECT_TRUE(r.Backups().empty());
    EXPECT_TRUE(r.Said("Illegal Hex number detected!\nPlease verify your input."));
    EXPECT_TRUE(r.Said("Wrong string format detected!\nPlease verify your input."));
    EXPECT_TRUE(r.Said("Input string is oversize!\nPlease shorten your input."));
}

TEST(ByteEdit, ALinkLostAfterTheProgramFrameIsAFailureThatNamesTheBackup) {
    FlashRig r(BoardOf(2));
    const std::vector<uint8_t> code = r.FillBlock(0);
    ASSERT_TRUE(r.Detect());
    r.op.onQuestion = [&r](const std::string&) {
        // The erase frame and its C0h get through, then the program frame: its data never does.
        r.board().SetFaults({.dropAfterBytes = r.board().BytesReceived() + r.board().BytesSent() + 4 + 1 + 4});
    };
    r.op.answers = {true};
    EXPECT_TRUE(r.EditBlock0([&](ByteEditDialog& d) {
        d.addressText = "03E6";
        d.newData = "72 4F 5D";
        EXPECT_FALSE(d.OnReplaceData());
        EXPECT_TRUE(d.chipChanged);
    }));
    const std::vector<uint8_t> now = r.Block(0);
    ASSERT_TRUE(std::all_of(now.begin() + 0x380, now.begin() + 0x400, [](uint8_t b) { return b == 0xFF; }))
        << "the sector was left erased";
    EXPECT_TRUE(r.session().flags.errorReported.load());
    const std::vector<uint8_t> saved = r.NamedBackup(true);
    ASSERT_EQ(saved.size(), 0x400u);
    EXPECT_TRUE(std::equal(saved.begin() + 0x380, saved.end(), code.begin() + 0x380));
}

// The sector is written back from what was read: one garbled read is read again, and a line
// that garbles every read leaves the sector alone.
TEST(ByteEdit, ASectorThatReadsDifferentlyTwiceIsLeftAlone) {
    for (const uint64_t every : {uint64_t{0}, uint64_t{129}}) {
        SCOPED_TRACE(every);
        FlashRig r(BoardOf(2));
        const std::vector<uint8_t> code = r.FillBlock(0);
        ASSERT_TRUE(r.Detect());
        r.op.answers = {true};
        size_t mark = 0;
        EXPECT_TRUE(r.EditBlock0([&](ByteEditDialog& d) {
            mark = r.board().CommandLog().size();
            // Replace Data shows the 16 bytes first, then reads the sector: a byte of it is garbled,
            // once or in every read.
            r.board().SetFaults({.corruptReplyByte = r.board().BytesSent() + 16 + 40, .corruptReplyEvery = every});
            d.addressText = "03E6";
            d.newData = "72 4F 5D";
            EXPECT_EQ(d.OnReplaceData(), every == 0);
            EXPECT_EQ(d.chipChanged, every == 0);
        }));
        r.Settle();
        std::vector<uint8_t> want = code;
        if (every == 0) {
            want[0x3E6] = 0x72, want[0x3E7] = 0x4F, want[0x3E8] = 0x5D;
        } else {
            EXPECT_EQ(CountFrames(r.CommandsSince(mark), "0B"), 0u);
            EXPECT_TRUE(r.Said("The sectors read differently twice, so the line is not reliable.\nBlock 0 was not changed."));
        }
        EXPECT_EQ(r.Block(0), want) << "the garbled byte never reaches the chip";
        EXPECT_TRUE(r.Backups().empty());
    }
}

TEST(SerialTest, ALoopBackPassesAndASilentLineFailsAfterItsTime) {
    sim::BoardConfig loop;
    loop.loopBack = true;
    FlashRig r(loop);
    EXPECT_TRUE(r.RunYes(command::kSerialTest));
    EXPECT_TRUE(r.Said("Serial connection is correct!"));
    EXPECT_FALSE(r.session().IsLinkUp());

    sim::BoardConfig dead;
    dead.faults.silentFromByte = 1;
    dead.faults.dropAfterBytes = 1;
    FlashRig s(dead);
    s.op.answers = {true};
    const uint64_t t0 = s.clock.NowUs();
    EXPECT_FALSE(s.Run(command::kSerialTest));
    EXPECT_TRUE(s.Said("Serial connection is incorrect!!!"));
    EXPECT_GE(s.clock.NowUs() - t0, 3'000'000u);

    FlashRig linked(BoardOf(2));
    ASSERT_TRUE(linked.Detect());
    EXPECT_FALSE(linked.Run(command::kSerialTest));
    EXPECT_TRUE(linked.Said("Serial connection has be set up already!"));
}

TEST(HelpBoxes, EachHelpItemShowsItsTitledText) {
    FlashRig r;
    for (int id : {command::kAboutTessel, command::kAboutDetect, command::kAboutPassword, command::kAboutUpgrade,
                   command::kAboutByteModify, command::kAboutMonitra}) {
        const HelpText* h = FindHelpText(id);
        ASSERT_NE(h, nullptr) << id;
        r.op.messages.clear();
        EXPECT_TRUE(r.window.Route(id));
        EXPECT_EQ(r.op.messages, std::vector<std::string>{h->text}) << h->title;
    }
    EXPECT_EQ(std::string(FindHelpText(command::kAboutByteModify)->title), "About Byte Modify");
}

}  // namespace
}  // namespace tessel
