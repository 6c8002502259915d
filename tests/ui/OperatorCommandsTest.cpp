#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "device/CommandChecks.h"
#include "support/FlashRig.h"
#include "commands/Commands.h"

namespace tessel {
namespace {

using namespace test;

TEST(ByteEdit, DisplayTakesFourHexDigitsAndStopsAtTheEndOfBlock0) {
    DetectedRig r(BoardOf(1));
    const std::vector<uint8_t> code = r.FillBlock(0);
    // The dialog's own path: its buttons while it is open.
    r.op.dialogScript = [&](DialogModel& m) {
        auto* edit = dynamic_cast<ByteEditDialog*>(&m);
        if (!edit) return r.Answer(m);
        ByteEditDialog& d = *edit;
        d.addressText = "03e6";
        EXPECT_TRUE(d.OnDisplayData());
        EXPECT_EQ(d.address, 0x03E6u);
        EXPECT_EQ(d.shownData.size(), 48u);
        EXPECT_EQ(std::stoi(d.shownData.substr(0, 2), nullptr, 16), code[0x3E6]);
        d.addressText = "3FF8";
        EXPECT_TRUE(d.OnDisplayData());
        EXPECT_EQ(d.shownData.size(), 24u) << "8 bytes to the end of an NX31A16's block 0";
        for (const char* bad : {"3E6", "03G6", "4000"}) {
            d.addressText = bad;
            EXPECT_FALSE(d.OnDisplayData()) << bad;
        }
        return DialogResult::Ok;
    };
    EXPECT_TRUE(r.Run(command::kEditBlock0));
    EXPECT_TRUE(r.Said("Address string should be in 4-digit Hex format!"));
    EXPECT_TRUE(r.Said("Memory address is invalid!"));
}

// Malformed data, or an address the display refuses, erases nothing; a replace rewrites only
// the sectors its bytes fall into.
TEST(ByteEdit, ReplaceRewritesOnlyTheSectorsTheBytesFallInto) {
    DetectedRig r(BoardOf(2));
    std::vector<uint8_t> code = r.FillBlock(0);
    r.op.answers = {true, true, true};
    const std::pair<const char*, const char*> refused[] = {
        {"0200", "7G 01"}, {"0200", "12-34"}, {"0200", "12 3"}, {"02X0", "11 22"}, {"7FFC", "01 02 03 04 05"}};
    for (const auto& [at, data] : refused) EXPECT_FALSE(EditBlock0(r.window, {at, data}).Ok()) << at << " " << data;
    EXPECT_EQ(CountFrames(r.LastCommands(), "0B"), 0u);
    EXPECT_EQ(r.Block(0), code);
    for (const char* said : {"Illegal Hex number detected!\nPlease verify your input.",
                             "Wrong string format detected!\nPlease verify your input.",
                             "Input string is oversize!\nPlease shorten your input."})
        EXPECT_TRUE(r.Said(said)) << said;

    // Sixteen bytes from offset 78h run into the next sector; of "12345" the third character is
    // not looked at.
    const struct {
        const char *address, *data;
        std::vector<std::string> erased;
        std::string shown;  // the start of what is shown again after the write
    } edits[] = {{"03E6", "72 4F 5D", {"0B 03 80"}, "72 4F 5D "},
                 {"03F8", "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F", {"0B 03 80", "0B 04 00"}, "00 01 02 "},
                 {"0100", "12345", {"0B 01 00"}, "12 45 "}};
    for (const auto& e : edits) {
        const size_t mark = r.board().CommandLog().size();
        const EditResult done = EditBlock0(r.window, {e.address, e.data});
        EXPECT_TRUE(done.Ok() && done.chipChanged) << e.address;
        EXPECT_EQ(done.shown.substr(0, e.shown.size()), e.shown);
        r.Settle();
        const auto log = r.CommandsSince(mark);
        EXPECT_EQ(CountFrames(log, "0B"), e.erased.size()) << e.address;
        for (const std::string& frame : e.erased) EXPECT_EQ(CountFrames(log, frame), 1u) << frame;
    }
    code[0x3E6] = 0x72, code[0x3E7] = 0x4F, code[0x3E8] = 0x5D;
    for (int i = 0; i < 16; ++i) code[0x3F8 + i] = static_cast<uint8_t>(i);
    code[0x100] = 0x12, code[0x101] = 0x45;
    EXPECT_EQ(r.Block(0), code);
    EXPECT_TRUE(r.Backups().empty());
}

// The sector is written back from what was read: one garbled read is read again, and a line
// that garbles every read leaves the sector alone.
TEST(ByteEdit, ASectorThatReadsDifferentlyTwiceIsLeftAlone) {
    for (const uint64_t every : {uint64_t{0}, uint64_t{129}}) {
        SCOPED_TRACE(every);
        DetectedRig r(BoardOf(2));
        std::vector<uint8_t> want = r.FillBlock(0);
        r.op.answers = {true};
        const size_t mark = r.board().CommandLog().size();
        // The 16 bytes are shown first, then the sector is read: a byte of it is garbled, once
        // or in every read.
        r.board().SetFaults({.corruptReplyByte = r.board().BytesSent() + 16 + 40, .corruptReplyEvery = every});
        const EditResult e = EditBlock0(r.window, {"03E6", "72 4F 5D"});
        EXPECT_EQ(e.Ok(), every == 0);
        EXPECT_EQ(e.chipChanged, every == 0);
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

    DetectedRig linked(BoardOf(2));
    EXPECT_FALSE(linked.Run(command::kSerialTest));
    EXPECT_TRUE(linked.Said("Serial connection has be set up already!"));
}

}  // namespace
}  // namespace tessel
