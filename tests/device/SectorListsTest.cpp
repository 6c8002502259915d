#include "device/SectorLists.h"

#include <gtest/gtest.h>

#include <string>

#include "support/SessionFixture.h"

namespace tessel {
namespace {

constexpr int kA16 = 1, kA32 = 2, kH64D = 3, kL64D = 4, kH32B = 5;

class SectorListsTest : public test::SessionTest {
protected:
    // The address a label shows, read back from its text.
    static uint32_t LabelAddress(const std::string& label) {
        const auto at = label.find("Addr=");
        EXPECT_NE(at, std::string::npos) << label;
        return static_cast<uint32_t>(std::stoul(label.substr(at + 5), nullptr, 16));
    }
};

TEST_F(SectorListsTest, FileDialogsListBothBlocksAndTheRangeDialogBlock1OnlyInExternalModeOrForReadAndErase) {
    const struct {
        int chipType;
        size_t size;
        std::vector<std::pair<size_t, const char*>> entries;
    } cases[] = {
        {kA32, 320, {{0, "Sector 000    Addr=0000"}, {1, "Sector 001    Addr=0080"}, {255, "Sector 255    Addr=7F80"},
                     {256, "B1 Str 000    Addr=F000"}, {257, "B1 Str 001    Addr=F040"}, {319, "B1 Str 063    Addr=FFC0"}}},
        // Block 1 overlays block 0's first 8 KB: the same addresses again.
        {kL64D, 576, {{511, "Sector 511    Addr=FF80"}, {512, "B1 Str 000    Addr=0000"}, {575, "B1 Str 063    Addr=1F80"}}},
        {kH32B, 320, {{256, "B1 Str 000    Addr=E000"}, {319, "B1 Str 063    Addr=FF80"}}},
    };
    for (const auto& c : cases) {
        Select(c.chipType);
        for (SectorListUse use : {SectorListUse::DownloadDialog, SectorListUse::CompareDialog, SectorListUse::SaveDialog}) {
            SCOPED_TRACE(testing::Message() << "chip " << c.chipType << " use " << static_cast<int>(use));
            const auto list = BuildSectorList(session_, use);
            ASSERT_EQ(list.size(), c.size);
            for (const auto& [at, label] : c.entries) EXPECT_EQ(list[at], label);
        }
    }

    // The range dialog adds block 1 only in external memory mode or for Read and Erase (the
    // window's tests open it both ways), not for a download in internal memory mode.
    Select(kA32);
    EXPECT_EQ(BuildSectorList(session_, SectorListUse::RangeDialog).size(), 256u);
}

TEST_F(SectorListsTest, AnExternalWindowReplacesTheFlashWithItsSixteenSectors) {
    Select(kA32);
    session_.rangeDialogBusy = true;
    const struct {
        bool high;
        std::vector<std::pair<size_t, const char*>> entries;
    } windows[] = {
        {false, {{0, "Sector 000    Addr=0000"}, {1, "Sector 001    Addr=1000"}, {15, "Sector 015    Addr=F000"}}},
        {true, {{0, "Sector 016    Addr=10000"}, {4, "Sector 020    Addr=14000"}, {15, "Sector 031    Addr=1F000"}}},
    };
    for (const auto& w : windows) {
        session_.externalLowOpen = !w.high;
        session_.externalHighOpen = w.high;
        for (SectorListUse use : {SectorListUse::RangeDialog, SectorListUse::DownloadDialog,
                                  SectorListUse::CompareDialog, SectorListUse::SaveDialog}) {
            const auto list = BuildSectorList(session_, use);
            ASSERT_EQ(list.size(), 16u);
            for (const auto& [at, label] : w.entries) EXPECT_EQ(list[at], label);
        }
    }
}

TEST_F(SectorListsTest, CountListsFollowBlock0OrTheWindow) {
    Select(kA32);
    auto counts = BuildCountList(session_, SectorListUse::RangeDialog);
    ASSERT_EQ(counts.size(), 256u);
    EXPECT_EQ(counts[0], "All Sectors");
    EXPECT_EQ(counts[1], "001 sectors");
    EXPECT_EQ(counts[255], "255 sectors");

    Select(kH64D);
    counts = BuildCountList(session_, SectorListUse::SaveDialog);
    ASSERT_EQ(counts.size(), 512u);

    EXPECT_TRUE(BuildCountList(session_, SectorListUse::DownloadDialog).empty());
    EXPECT_TRUE(BuildCountList(session_, SectorListUse::CompareDialog).empty());

    session_.externalHighOpen = true;
    for (SectorListUse use : {SectorListUse::RangeDialog, SectorListUse::SaveDialog}) {
        counts = BuildCountList(session_, use);
        ASSERT_EQ(counts.size(), 16u);
        EXPECT_EQ(counts[0], "All Sectors");
        EXPECT_EQ(counts[15], "015 sectors");
    }
}

TEST_F(SectorListsTest, MappingResolvesAllSectorsCutsAtTheBlocksEndAndGivesTheAddressEachLabelShows) {
    Select(kA32);
    EXPECT_EQ(MapFlashSelection(session_, 250, 10), (FlashSelection{0, 250 * 128, 250, 6}));
    EXPECT_EQ(MapFlashSelection(session_, 246, 10), (FlashSelection{0, 246 * 128, 246, 10}))
        << "exactly reaching the end is not cut";
    EXPECT_EQ(MapFlashSelection(session_, 100, 0), (FlashSelection{0, 100 * 128, 100, 156}));
    EXPECT_EQ(MapFlashSelection(session_, 256, 0), (FlashSelection{1, 0xF000, 0, 64}));
    // Block 1's sectors are 64 bytes on the A models, and the count list's 255 is cut to them.
    EXPECT_EQ(MapFlashSelection(session_, 256 + 10, 255), (FlashSelection{1, 0xF280, 10, 54}));

    // Every entry maps back to the address its label shows.
    session_.rangeDialogBusy = true;
    for (int type = 1; type <= 6; ++type) {
        Select(type);
        const auto list = BuildSectorList(session_, SectorListUse::RangeDialog);
        ASSERT_EQ(static_cast<int>(list.size()), session_.SectorCount(0) + session_.SectorCount(1));
        for (int i = 0; i < static_cast<int>(list.size()); ++i) {
            const FlashSelection sel = MapFlashSelection(session_, i, 1);
            ASSERT_EQ(sel.address, LabelAddress(list[static_cast<size_t>(i)]))
                << ModelNameForCode(type) << " entry " << i;
            EXPECT_EQ(sel.block, i < session_.SectorCount(0) ? 0 : 1);
            EXPECT_EQ(sel.count, 1);
            EXPECT_EQ(static_cast<int32_t>(sel.address),
                      session_.SectorAddress(sel.block, sel.firstSector));
        }
    }
}

TEST_F(SectorListsTest, ExternalSelectionsStayWithinTheWindowAddressAndNoneIsTheFirstEntry) {
    Select(kA16);
    EXPECT_EQ(MapFlashSelection(session_, -1, -1), (FlashSelection{0, 0, 0, 128}));
    EXPECT_EQ(MapExternalSelection(-1, -1, true), (ExternalSelection{0, 0, 16}));
    // The high window's "Sector 020" is index 4: the window address, not the flash address.
    EXPECT_EQ(MapExternalSelection(4, 0, true), (ExternalSelection{0x4000, 4, 12}));
    EXPECT_EQ(MapExternalSelection(4, 0, false), (ExternalSelection{0x4000, 4, 16}));
    EXPECT_EQ(MapExternalSelection(10, 6, true), (ExternalSelection{0xA000, 10, 6}));
}

}  // namespace
}  // namespace tessel
