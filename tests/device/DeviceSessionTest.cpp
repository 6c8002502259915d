#include "device/CDeviceSession.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/SessionFixture.h"

namespace tessel {
namespace {

using DeviceSessionTest = test::SessionTest;

TEST_F(DeviceSessionTest, StartsAsTheSelectionDialogsDefault) {
    EXPECT_EQ(session_.ChipType(), 2);
    EXPECT_EQ(session_.MemoryMode(), kInternalMemory);
    EXPECT_DOUBLE_EQ(session_.CrystalMHz(), 11.0592);
    EXPECT_EQ(session_.port.GetPortNumber(), 1);
    EXPECT_EQ(session_.port.GetBaudRate(), 38400u);
    // Nothing is taken as known before a detection: no link, no password given, no window open.
    EXPECT_FALSE(session_.IsLinkUp());
    EXPECT_FALSE(session_.ExternalWindowOpen());
    EXPECT_FALSE(session_.flags.passwordVerified);
    EXPECT_EQ(session_.flags.lockStatus, 0);
}

TEST_F(DeviceSessionTest, GeometryFollowsChipTypeOnlyOnRefreshAndAnIllegalBlockIsEmpty) {
    session_.chipType = 3;
    EXPECT_EQ(session_.SectorCount(0), 256) << "not refreshed yet";
    session_.RefreshGeometry();
    EXPECT_EQ(session_.SectorCount(0), 512);

    for (int block : {-1, 2, 7}) {
        EXPECT_EQ(session_.SectorCount(block), 0);
        EXPECT_EQ(session_.SectorSize(block), 0);
        EXPECT_EQ(session_.BlockSize(block), 0);
        EXPECT_EQ(session_.ListedSectorCount(block), 0);
        EXPECT_EQ(session_.StartAddress(block), 0);
    }
    session_.AllocateImages();
    EXPECT_TRUE(session_.BlockImage(2).empty());
    EXPECT_TRUE(session_.BlockImage(-1).empty());

    // Block selection follows the session's chip and memory mode.
    Select(6);
    EXPECT_TRUE(session_.NeedsBlockSelect());
    session_.memoryMode = kExternalMemory;
    EXPECT_FALSE(session_.NeedsBlockSelect());
}

TEST_F(DeviceSessionTest, ImagesAreBlockSizePlus16ErasedAndReallocationErasesWhatAReadLeft) {
    for (int type = 1; type <= 6; ++type) {
        Select(type);
        for (int block = 0; block < 2; ++block) {
            const auto image = session_.BlockImage(block);
            const auto size = static_cast<size_t>(session_.BlockSize(block));
            ASSERT_EQ(image.size(), size + 16) << "type " << type << " block " << block;
            EXPECT_TRUE(std::all_of(image.begin(), image.begin() + static_cast<long>(size),
                                    [](uint8_t b) { return b == 0xFF; }))
                << "type " << type << " block " << block;
        }
        const auto ext = session_.ExternalImage();
        ASSERT_EQ(ext.size(), 65580u);
        EXPECT_TRUE(std::all_of(ext.begin(), ext.end(), [](uint8_t b) { return b == 0xFF; }));
    }

    // What a read left is erased by the next allocation (a selection makes one), for another
    // chip as well.
    Select(3);
    session_.BlockImage(0)[0x100] = 0x12;
    session_.BlockImage(1)[0] = 0x34;
    session_.ExternalImage()[0xFFFF] = 0x56;

    Select(1);
    EXPECT_EQ(session_.BlockImage(0)[0x100], 0xFF);
    EXPECT_EQ(session_.BlockImage(1)[0], 0xFF);
    EXPECT_EQ(session_.ExternalImage()[0xFFFF], 0xFF);
}

TEST_F(DeviceSessionTest, SectorAddressesCountFromTheBlockStartAndTheLoaderEndsWhereItsFamilySays) {
    struct Case {
        int type;
        int lastBslSector;
        int32_t firstUserAddress;
    } cases[] = {{1, 15, 0xF400}, {2, 15, 0xF400}, {3, 8, 0x0480}, {4, 8, 0x0480}, {5, 8, 0xE480}, {6, 8, 0xE480}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        Select(c.type);
        EXPECT_TRUE(session_.InBslWindow(1, session_.SectorAddress(1, c.lastBslSector)));
        EXPECT_EQ(session_.SectorAddress(1, c.lastBslSector + 1), c.firstUserAddress);
        EXPECT_FALSE(session_.InBslWindow(1, c.firstUserAddress));
        // The same address in block 0 is the operator's own flash.
        EXPECT_FALSE(session_.InBslWindow(0, session_.SectorAddress(1, 0)));
    }

    // The combined list numbers block 0 first.
    Select(2);
    EXPECT_EQ(session_.CombinedSectorCount(), 256 + 64);
    const struct {
        int type, index;
        SectorRef sector;
    } combined[] = {{2, 0, {0, 0}}, {2, 255, {0, 255}}, {2, 256, {1, 0}}, {2, 319, {1, 63}}, {3, 521, {1, 9}}};
    for (const auto& c : combined) {
        Select(c.type);
        EXPECT_EQ(session_.CombinedSectorIndex(c.sector.block, c.sector.index), c.index);
        EXPECT_EQ(session_.SectorFromCombined(c.index), c.sector);
    }
}

}  // namespace
}  // namespace tessel
