#include <gtest/gtest.h>

#include <algorithm>

#include "support/FlashRig.h"
#include "ui/CommandApi.h"

namespace tessel {
namespace {

using namespace test;

// A download that rewrites only what changed, on an NX31A32's block 0: what it erases, programs
// and reads, and what the block holds afterwards.
TEST(ChangedOnlyDownload, RewritesErasesAndReadsOnlyWhatItMust) {
    const std::vector<uint8_t> old = Pattern(32768, 7), blank(32768, 0xFF);
    // Sector 5 needs a bit set (an erase), sector 9 only bits cleared (programmed as it is).
    std::vector<uint8_t> twoChanged = old;
    twoChanged[5 * 128 + 3] = old[5 * 128 + 3] == 0xFF ? 0x7F : 0xFF;
    twoChanged[9 * 128 + 100] = static_cast<uint8_t>(old[9 * 128 + 100] & 0x0F);
    ASSERT_NE(twoChanged[9 * 128 + 100], old[9 * 128 + 100]);
    std::vector<uint8_t> fromBlank = blank, placed = old;
    const std::vector<uint8_t> image = Pattern(1000, 3);
    std::copy(image.begin(), image.end(), fromBlank.begin());
    placed[0x481] = static_cast<uint8_t>(~old[0x481]);
    const auto bin = [](const std::vector<uint8_t>& v, size_t n) { return std::string(v.begin(), v.begin() + n); };
    const std::string placedHex = HexOf({{0x400, std::vector<uint8_t>(placed.begin() + 0x400, placed.begin() + 0x488)}});
    const struct {
        const char* what;
        const std::vector<uint8_t>& before;
        std::string name, file;
        const std::vector<uint8_t>& after;
        std::vector<std::string> erased;  // the erase frames
        size_t programmed;                // 0Eh frames; ~0 not counted
        size_t reads;                     // 0Ch frames; ~0 not counted
        uint64_t garbleReply;             // this reply byte of the command is garbled; 0 none
        const char* status;
    } cases[] = {
        {"two sectors changed", old, "app.bin", bin(twoChanged, 32768), twoChanged, {"0B 02 80"}, 2, ~size_t{0}, 0,
         "Sectors rewritten: 2, skipped (unchanged): 254"},
        // On a blank chip nothing needs an erase; the rest of the last sector stays the chip's.
        {"a blank chip", blank, "app.bin", bin(image, 1000), fromBlank, {}, ~size_t{0}, ~size_t{0}, 0,
         "Sectors rewritten: 8, skipped (unchanged): 0"},
        {"what the chip holds", old, "app.bin", bin(old, 1000), old, {}, 0, ~size_t{0}, 0, "Sectors rewritten: 0, skipped (unchanged): 8"},
        // A file at 0400h reads its own two sectors once; the second, rewritten with bytes after
        // the file's end going back into it, once more (and a third time when two reads
        // disagree), then reads it back as programmed.
        {"placed at 0400h", old, "placed.hex", placedHex, placed, {"0B 04 80"}, ~size_t{0}, 5, 0, "Sectors rewritten: 1, skipped (unchanged): 1"},
        {"placed, a read garbled", old, "placed.hex", placedHex, placed, {"0B 04 80"}, ~size_t{0}, 6, 1 + 128 + 17,
         "Sectors rewritten: 1, skipped (unchanged): 1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FlashRig r(BoardOf(2));
        r.board().SetBlock(0, c.before);
        ASSERT_TRUE(r.Detect());
        const std::string file = r.WriteFile(c.name, c.file);
        if (c.garbleReply) r.board().SetFaults({.corruptReplyByte = r.board().BytesSent() + c.garbleReply});
        const size_t mark = r.board().CommandLog().size();
        r.op.answers = {true};
        EXPECT_TRUE(DownloadImage(r.window, {file, ImageFormat::Auto, 0, 0, true}).Ok());
        EXPECT_EQ(r.Block(0), c.after);
        const std::vector<std::string> log = r.CommandsSince(mark);
        EXPECT_EQ(CountFrames(log, "0B"), c.erased.size());
        for (const std::string& frame : c.erased) EXPECT_EQ(CountFrames(log, frame), 1u) << frame;
        EXPECT_TRUE(c.programmed == ~size_t{0} || CountFrames(log, "0E") == c.programmed);
        if (c.reads != ~size_t{0}) {
            EXPECT_EQ(CountFrames(log, "0C 04 00"), 1u);
            EXPECT_EQ(CountFrames(log, "0C"), c.reads);
        }
        EXPECT_EQ(r.window.Field(ChipField::IapStatus), c.status);
    }
}

// A sector that cannot be erased fails the download, as it would a plain one, and no result
// line claims sectors were rewritten.
TEST(ChangedOnlyDownload, ARefusedEraseFailsTheCommand) {
    FlashRig r(BoardOf(2));
    std::vector<uint8_t> now = r.FillBlock(0, 1);
    ASSERT_TRUE(r.Detect());
    now[200] = static_cast<uint8_t>(~now[200]);
    r.board().SetFaults({.refuseCommand = 0x0B});
    r.op.answers = {true};
    EXPECT_FALSE(DownloadImage(r.window, {r.WriteFile("app.bin", now), ImageFormat::Auto, 0, 0, true}).Ok());
    EXPECT_TRUE(r.Said("Sector erase failed!!!"));
    EXPECT_EQ(r.window.Field(ChipField::IapStatus).find("rewritten"), std::string::npos);
}

}  // namespace
}  // namespace tessel
