#include <gtest/gtest.h>

#include <algorithm>

#include "support/FlashRig.h"
#include "ui/CommandApi.h"

namespace tessel {
namespace {

using namespace test;

constexpr size_t kSector = 128;

// An NX31A32 whose block 0 holds `before`, given `after` to download rewriting only what changed;
// `log` is what the board received for it.
struct Reflash {
    Reflash(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after, const std::string& hex = {})
        : r(BoardOf(2)) {
        r.board().SetBlock(0, before);
        EXPECT_TRUE(r.Detect());
        file = hex.empty() ? r.WriteFile("app.bin", after) : r.WriteFile("placed.hex", hex);
    }
    bool Run() {
        const size_t mark = r.board().CommandLog().size();
        r.op.answers = {true};
        const bool ok = DownloadImage(r.window, {file, ImageFormat::Auto, 0, 0, true}).Ok();
        log = r.CommandsSince(mark);
        return ok;
    }
    std::string Status() { return r.window.Field(ChipField::IapStatus); }
    FlashRig r;
    std::string file;
    std::vector<std::string> log;
};

// Sector 5 needs bits set (an erase), sector 9 only bits cleared (programmed as it is); the
// other 254 sectors already hold the file and see neither an erase nor a program frame.
TEST(ChangedOnlyDownload, RewritesOnlyTheDifferingSectorsAndErasesOnlyWhereBitsMustBeSet) {
    const std::vector<uint8_t> old = Pattern(32768, 7);
    std::vector<uint8_t> now = old;
    now[5 * kSector + 3] = static_cast<uint8_t>(old[5 * kSector + 3] | 0x81);
    if (now[5 * kSector + 3] == old[5 * kSector + 3]) now[5 * kSector + 3] = 0xFF;
    now[9 * kSector + 100] = static_cast<uint8_t>(old[9 * kSector + 100] & 0x0F);
    ASSERT_NE(now[9 * kSector + 100], old[9 * kSector + 100]);
    Reflash f(old, now);
    EXPECT_TRUE(f.Run());
    EXPECT_EQ(f.r.Block(0), now);
    EXPECT_EQ(CountFrames(f.log, "0B"), 1u);
    EXPECT_EQ(CountFrames(f.log, "0B 02 80"), 1u);
    EXPECT_EQ(CountFrames(f.log, "0E"), 2u) << "one program frame for each changed sector";
    EXPECT_EQ(f.Status(), "Sectors rewritten: 2, skipped (unchanged): 254");
}

// On a blank chip nothing needs an erase; the bytes after the file's end in its last sector are
// the chip's, as a plain download keeps them, so a file the chip already holds rewrites nothing.
TEST(ChangedOnlyDownload, LeavesWhatAPlainDownloadLeaves) {
    const std::vector<uint8_t> blank(32768, 0xFF), old = Pattern(32768, 9), image = Pattern(1000, 3);
    Reflash fresh(blank, image);
    EXPECT_TRUE(fresh.Run());
    std::vector<uint8_t> want = blank;
    std::copy(image.begin(), image.end(), want.begin());
    EXPECT_EQ(fresh.r.Block(0), want);
    EXPECT_EQ(CountFrames(fresh.log, "0B"), 0u) << "a blank chip needs no erase";
    EXPECT_EQ(fresh.Status(), "Sectors rewritten: 8, skipped (unchanged): 0");

    Reflash same(old, std::vector<uint8_t>(old.begin(), old.begin() + 1000));
    EXPECT_TRUE(same.Run());
    EXPECT_EQ(same.r.Block(0), old);
    EXPECT_EQ(CountFrames(same.log, "0B"), 0u);
    EXPECT_EQ(same.Status(), "Sectors rewritten: 0, skipped (unchanged): 8");
}

// A file built for 0400h reads its own two sectors only, once; the second, rewritten and
// holding bytes after the file's end that go back into it, is read once more, so that a byte
// damaged on the line in the first read is not burnt into the chip.
TEST(ChangedOnlyDownload, ReadsOnlyTheTouchedSectorsAndTwiceOnlyWhatGoesBack) {
    const std::vector<uint8_t> old = Pattern(32768, 5);
    std::vector<uint8_t> now = old;
    now[0x481] = static_cast<uint8_t>(~old[0x481]);
    for (const bool damaged : {false, true}) {
        Reflash f(old, {}, HexOf({{0x400, std::vector<uint8_t>(now.begin() + 0x400, now.begin() + 0x488)}}));
        // The 17th byte of the reply to the first read of 0480h (after the last address's byte).
        if (damaged) f.r.board().SetFaults({.corruptReplyByte = f.r.board().BytesSent() + 1 + 128 + 17});
        EXPECT_TRUE(f.Run());
        EXPECT_EQ(f.r.Block(0), now);
        EXPECT_EQ(CountFrames(f.log, "0C 04 00"), 1u);
        // The last address, read, read again (and a third time when two reads disagree), read
        // back as programmed.
        EXPECT_EQ(CountFrames(f.log, "0C"), damaged ? 6u : 5u);
        EXPECT_EQ(f.Status(), "Sectors rewritten: 1, skipped (unchanged): 1");
    }
}

// A sector that cannot be erased fails the download, as it would a plain one, and no result
// line claims sectors were rewritten.
TEST(ChangedOnlyDownload, ARefusedEraseFailsTheCommand) {
    const std::vector<uint8_t> old = Pattern(4096, 1);
    std::vector<uint8_t> now = old;
    now[200] = static_cast<uint8_t>(~old[200]);
    Reflash f(old, now);
    f.r.board().SetFaults({.refuseCommand = 0x0B});
    EXPECT_FALSE(f.Run());
    EXPECT_TRUE(f.r.Said("Sector erase failed!!!"));
    EXPECT_EQ(f.Status().find("rewritten"), std::string::npos);
}

}  // namespace
}  // namespace tessel
