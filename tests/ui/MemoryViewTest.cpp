#include "commands/MemoryView.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "device/CommandChecks.h"
#include "support/SessionFixture.h"

namespace tessel {
namespace {

using Row5 = std::array<std::string, 5>;
using Row3 = std::array<std::string, 3>;  // a dump line

constexpr int kA16 = 1, kA32 = 2, kH64D = 3;

class MemoryViewTest : public test::SessionTest {
protected:
    MemoryView view_{session_, op_};
    int changes_ = 0;

    void SetUp() override { view_.SetOnChanged([this] { ++changes_; }); }

    void FillSector(int block, int sector, uint8_t value) {
        const auto image = session_.BlockImage(block);
        const size_t size = static_cast<size_t>(session_.SectorSize(block));
        std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(size * static_cast<size_t>(sector)),
                    size, value);
    }

    std::string Status(size_t row) const { return view_.StatusRows().at(row)[4]; }
    void ExpectStatus(std::initializer_list<std::pair<size_t, const char*>> rows) const {
        for (const auto& [row, word] : rows) EXPECT_EQ(Status(row), word) << "row " << row;
    }
    // As if every sector of the block (-1: the window) had been read.
    void Known(int block) { view_.Record(block, 0, 512, SectorState::Read); }
};

// The rows show each sector's addresses in its block, under columns that split the width in fifths.
TEST_F(MemoryViewTest, StatusRowsShowEachSectorsAddressesInTheBlockUnderColumnsInFifths) {
    const struct {
        int chip, block, count;
        size_t row;
        Row5 shown;
    } cases[] = {{kA16, 1, 64, 63, {"063", "FFC0", "FFFF", "65472", "Blank"}},
                 {kA16, 0, 128, 127, {"127", "3F80", "3FFF", "16256", "Blank"}},
                 {kH64D, 1, 64, 63, {"063", "1F80", "1FFF", "08064", "Blank"}}};
    for (const auto& c : cases) {
        Select(c.chip);
        view_.ShowSectorStatus(c.block, c.count, 0);
        ASSERT_EQ(view_.StatusRows().size(), static_cast<size_t>(c.count));
        EXPECT_EQ(view_.StatusRows()[c.row], c.shown);
        EXPECT_EQ(view_.ShownBlock(), c.block);
    }
    using C = MemoryView::Column;
    EXPECT_EQ(MemoryView::StatusColumns(503),
              (std::vector<C>{{"SECTOR", C::Centre, 100}, {"HEX - FROM", C::Centre, 100}, {"HEX - TO", C::Centre, 100},
                              {"DEC - FROM", C::Centre, 100}, {" STATUS ", C::Centre, 103}}));
    EXPECT_EQ(view_.DumpColumns(503),
              (std::vector<C>{{"SECTOR ???", C::Centre, 100}, {"MEMORY", C::Centre, 400}, {"ASCII", C::Left, 200}}));
    Select(kA32);
    changes_ = 0;
    view_.ShowSectorStatus(0, -1, -1);
    EXPECT_EQ(view_.HotItem(), 0);
    view_.SetHotItem(12);
    view_.ShowSector(0, 42);
    EXPECT_EQ(view_.DumpColumns(503)[0].header, "SECTOR 042");
    EXPECT_EQ(view_.HotItem(), 42) << "the sector shown is the highlighted row";
    EXPECT_EQ(changes_, 3) << "every change is told";
}

// A fresh image is erased in memory only: until a Read fills it, the rows say so rather than
// pass the chip's sectors off as blank. A new detection's images are unread again.
TEST_F(MemoryViewTest, AFreshImageIsNotReadUntilARangeIsReadAndZerosAreAllZerosOnlyWithinIt) {
    // Before any image exists the rows are there but tell nothing.
    view_.ShowSectorStatus(0, -1, -1);
    ASSERT_EQ(view_.StatusRows().size(), 256u);
    EXPECT_EQ(Status(0), "Unknown");
    view_.ShowSector(0, 1);
    EXPECT_EQ(view_.DumpHeader(), "SECTOR 001");
    EXPECT_TRUE(view_.DumpRows().empty());

    for (int type = 1; type <= 6; ++type) {
        Select(type);
        for (int block : {0, 1}) {
            view_.ShowSectorStatus(block, -1, -1);
            ASSERT_EQ(static_cast<int>(view_.StatusRows().size()), session_.SectorCount(block));
            for (const auto& row : view_.StatusRows())
                ASSERT_EQ(row[4], kNotReadStatus) << ModelNameForCode(type) << " block " << block << " sector " << row[0];
        }
    }
    view_.ShowSectorStatus(0, 3, 2);
    ExpectStatus({{1, kNotReadStatus}, {2, "Blank"}, {4, "Blank"}, {5, kNotReadStatus}});
    view_.ShowSectorStatus(1, -1, -1);
    EXPECT_EQ(Status(2), kNotReadStatus) << "a range read in block 0 says nothing of block 1";
    view_.ShowSectorStatus(0, -1, -1);
    EXPECT_EQ(Status(2), "Blank") << "the last read still holds when the list is rebuilt";
    session_.AllocateImages();
    view_.ShowSectorStatus(0, -1, -1);
    EXPECT_EQ(Status(2), kNotReadStatus) << "fresh images after a detection";

    // Zeros are All Zeros within the range just read (its end exclusive), one odd byte makes
    // its own sector Not Blank and no other, and what an earlier read found still holds.
    Select(kA32);
    auto image = session_.BlockImage(0);
    FillSector(0, 5, 0x00);
    FillSector(0, 7, 0x00);
    image[10 * 128 + 127] = 0x5A;  // last byte of sector 10
    image[20 * 128] = 0x00;        // first byte of sector 20
    FillSector(0, 30, 0x00);
    image[30 * 128 + 64] = 0xFF;  // zeros but for one byte
    view_.ShowSectorStatus(0, 3, 4);
    ExpectStatus({{4, "Blank"}, {5, "All Zeros"}, {7, kNotReadStatus}});
    view_.ShowSectorStatus(0, 1, 6);
    ExpectStatus({{5, "All Zeros"}, {3, kNotReadStatus}, {6, "Blank"}});
    view_.ShowSectorStatus(0, 256, 0);
    // The slack bytes after the block's end (00h) belong to no sector: 255 is blank.
    ExpectStatus({{9, "Blank"}, {10, "Not Blank"}, {11, "Blank"}, {19, "Blank"}, {20, "Not Blank"},
                  {30, "Not Blank"}, {255, "Blank"}});
    // Block 1's sectors are 64 bytes: zeros in its sector 2 touch no other row.
    FillSector(1, 2, 0x00);
    view_.ShowSectorStatus(1, 64, 0);
    ExpectStatus({{1, "Blank"}, {2, "All Zeros"}, {3, "Blank"}});
    // Zeros the status word is asked about outside the range tell nothing.
    EXPECT_STREQ(SectorStatusWord(std::vector<uint8_t>(64, 0x00), 9, 0, 3), "Unknown");
}

TEST_F(MemoryViewTest, DumpOfABlock1SectorShowsItsAbsoluteAddressesAndPrintableAscii) {
    Select(kA16);
    auto image = session_.BlockImage(1);
    for (int i = 0; i < 64; ++i) image[3 * 64 + i] = static_cast<uint8_t>(0x40 + i);
    EXPECT_EQ(view_.DumpHeader(), "SECTOR ???");
    // Nothing read: the dump invents no bytes, it says so over the sector's addresses.
    view_.ShowSector(1, 3);
    EXPECT_EQ(view_.DumpRows(), (std::vector<Row3>{{"F0C0 - F0FF", kNotReadStatus, ""}}));
    view_.Record(1, 3, 1, SectorState::ChangedNotRead);
    view_.Refresh();
    EXPECT_EQ(view_.DumpRows(), (std::vector<Row3>{{"F0C0 - F0FF", kChangedNotReadStatus, ""}}));
    Known(0);
    Known(1);

    view_.ShowSector(1, 3);
    EXPECT_EQ(view_.DumpHeader(), "SECTOR 003");
    ASSERT_EQ(view_.DumpRows().size(), 4u);
    EXPECT_EQ(view_.DumpRows()[3],
              (Row3{"F0F0 - F0FF", "70 71 72 73 74 75 76 77 - 78 79 7A 7B 7C 7D 7E 7F", "pqrstuvwxyz{|}~."}));

    // Every byte has its place in the ASCII column: a zero does not hide the bytes after it.
    EXPECT_EQ(DumpAscii(std::vector<uint8_t>{'H', 'i', 0x01, 0xC3, 0xA9, 0x7F, ' ', '~', 0x00, 'X'}), "Hi.... ~.X");
    EXPECT_EQ(DumpAscii(std::vector<uint8_t>{0x1F, 0x20, 0x7E, 0x80}), ". ~.");
}

// The high window's sectors are numbered on from the low window's, with seventeen-bit addresses;
// what was read in one window says nothing of the other.
TEST_F(MemoryViewTest, TheHighWindowIsNumberedOnFromTheLowOne) {
    Select(kA32);
    session_.externalHighOpen = true;
    auto image = session_.ExternalImage();
    std::fill_n(image.begin() + 2 * 4096, 4096, 0x00);
    image[2 * 4096] = 0xAB;
    std::fill_n(image.begin() + 3 * 4096, 4096, 0x00);
    image[15 * 4096 + 4095] = 0x12;

    view_.ShowExternalStatus(14, 2);
    ASSERT_EQ(view_.StatusRows().size(), 16u);
    EXPECT_EQ(view_.ShownBlock(), -1);
    EXPECT_EQ(view_.StatusRows()[0], (Row5{"016", "10000", "10FFF", "065536", kNotReadStatus}));
    ExpectStatus({{2, "Not Blank"}, {3, "All Zeros"}, {4, "Blank"}});
    EXPECT_EQ(view_.StatusRows()[15], (Row5{"031", "1F000", "1FFFF", "126976", "Not Blank"}));
    view_.ShowExternalSector(2);
    EXPECT_EQ(view_.DumpHeader(), "SECTOR 018");
    ASSERT_EQ(view_.DumpRows().size(), 256u);
    EXPECT_EQ(view_.DumpRows()[0][0], "12000 - 1200F");
    EXPECT_EQ(view_.DumpRows()[0][1].substr(0, 5), "AB 00");

    session_.externalHighOpen = false;
    session_.externalLowOpen = true;
    view_.ShowExternalStatus(-1, -1);
    EXPECT_EQ(view_.StatusRows()[1], (Row5{"001", "1000", "1FFF", "04096", kNotReadStatus}));
    view_.ShowExternalSector(2);
    EXPECT_EQ(view_.DumpRows().size(), 1u) << "what was read of the high window says nothing of the low one";
    view_.ShowExternalStatus(16, 0);
    EXPECT_EQ(view_.StatusRows()[1], (Row5{"001", "1000", "1FFF", "04096", "Blank"}));
    EXPECT_EQ(view_.StatusRows()[15], (Row5{"015", "F000", "FFFF", "61440", "Not Blank"}));
    view_.ShowExternalSector(2);
    EXPECT_EQ(view_.DumpHeader(), "SECTOR 002");
    EXPECT_EQ(view_.DumpRows()[0][0], "2000 - 200F");
}

TEST_F(MemoryViewTest, ClickingARowOrATabShowsThatSectorOfTheBlockAndAClickOutsideChangesNothing) {
    Select(kA16);
    session_.BlockImage(1)[5 * 64] = 0x41;
    session_.SetCurrentBlock(1);
    Known(1);
    view_.ShowSectorStatus(1, -1, -1);
    view_.ClickRow(5);
    EXPECT_EQ(view_.HotItem(), 5) << "the row whose dump is shown is the highlighted one";
    EXPECT_EQ(view_.DumpHeader(), "SECTOR 005");
    ASSERT_EQ(view_.DumpRows().size(), 4u);
    EXPECT_EQ(view_.DumpRows()[0][0], "F140 - F14F");
    EXPECT_EQ(view_.DumpRows()[0][2], "A...............");

    session_.externalHighOpen = true;
    Known(-1);
    view_.ClickRow(5);
    EXPECT_EQ(view_.DumpHeader(), "SECTOR 021");
    EXPECT_EQ(view_.DumpRows().size(), 256u);

    // A click outside the rows or the block changes nothing; an illegal block number is
    // refused with its message.
    session_.externalHighOpen = false;
    view_.ShowSectorStatus(1, -1, -1);
    view_.ShowSector(1, 2);
    const auto rows = view_.StatusRows();
    const auto dump = view_.DumpRows();
    changes_ = 0;
    view_.ClickRow(-1);
    view_.ClickRow(64);  // block 1 has 64 sectors
    session_.externalLowOpen = true;
    view_.ClickRow(16);
    session_.externalLowOpen = false;
    session_.SetCurrentBlock(2);
    view_.ClickRow(0);
    EXPECT_EQ(op_.messages, std::vector<std::string>{kIllegalBlockNumber});
    EXPECT_EQ(changes_, 0);
    EXPECT_EQ(view_.StatusRows(), rows);
    EXPECT_EQ(view_.DumpRows(), dump);
    EXPECT_EQ(view_.DumpHeader(), "SECTOR 002");

    // Changing tabs switches the block and rebuilds both lists.
    op_.messages.clear();
    session_.SetCurrentBlock(0);
    Known(0);
    view_.ShowSector(0, 7);
    view_.TabChanged(1);
    EXPECT_EQ(session_.CurrentBlock(), 1);
    EXPECT_EQ(op_.messages, std::vector<std::string>{"Internal Data"});
    EXPECT_EQ(view_.StatusRows().size(), 64u);
    EXPECT_EQ(view_.DumpRows()[0][0], "F000 - F00F");
    EXPECT_EQ(view_.HotItem(), 0);

    // Any tab other than the second is block 0.
    view_.TabChanged(7);
    EXPECT_EQ(session_.CurrentBlock(), 0);
    EXPECT_EQ(view_.StatusRows().size(), 128u);
    EXPECT_EQ(view_.DumpRows().size(), 8u);

    session_.externalHighOpen = true;
    view_.TabChanged(1);
    EXPECT_EQ(session_.CurrentBlock(), 1);
    EXPECT_EQ(op_.messages.back(), "External data");
    EXPECT_EQ(view_.ShownBlock(), -1);
    EXPECT_EQ(view_.StatusRows()[0][0], "016");
    EXPECT_EQ(view_.DumpHeader(), "SECTOR 016");
}

}  // namespace
}  // namespace tessel
