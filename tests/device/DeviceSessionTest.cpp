#include "device/CDeviceSession.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/Clock.h"
#include "support/RecordingOperator.h"

namespace tessel {
namespace {

class DeviceSessionTest : public testing::Test {
protected:
    test::RecordingOperator op_;
    VirtualClock clock_;
    CDeviceSession session_{&op_, clock_};

    void Select(int chipType) {
        session_.chipType = chipType;
        session_.RefreshGeometry();
    }
};

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
    EXPECT_EQ(session_.SectorSize(1), 128);
    EXPECT_EQ(session_.BlockSize(1), 8192);
    EXPECT_EQ(session_.ListedSectorCount(1), 64);
    EXPECT_EQ(session_.StartAddress(1), 0x0000);

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

    // A type outside the table takes the last row's geometry, and no loader.
    Select(9);
    EXPECT_EQ(session_.SectorCount(0), 512);
    EXPECT_EQ(session_.SectorSize(1), 64);
    EXPECT_EQ(session_.StartAddress(1), 0xF000);
    EXPECT_FALSE(session_.InBslWindow(1, 0xF000));

    // Block selection follows the session's chip and memory mode.
    Select(6);
    EXPECT_TRUE(session_.NeedsBlockSelect());
    session_.memoryMode = kExternalMemory;
    EXPECT_FALSE(session_.NeedsBlockSelect());
    Select(4);
    EXPECT_TRUE(session_.NeedsBlockSelect());
}

TEST_F(DeviceSessionTest, ImagesAreBlockSizePlus16ErasedAndReallocationErasesWhatAReadLeft) {
    for (int type = 1; type <= 6; ++type) {
        Select(type);
        session_.AllocateImages();
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

    // What a read left is erased by the next allocation, which follows the new geometry.
    Select(3);
    session_.AllocateImages();
    session_.BlockImage(0)[0x100] = 0x12;
    session_.BlockImage(1)[0] = 0x34;
    session_.ExternalImage()[0xFFFF] = 0x56;

    Select(1);
    session_.AllocateImages();
    EXPECT_EQ(session_.BlockImage(0).size(), 16384u + 16);
    EXPECT_EQ(session_.BlockImage(1).size(), 4096u + 16);
    EXPECT_EQ(session_.BlockImage(0)[0x100], 0xFF);
    EXPECT_EQ(session_.BlockImage(1)[0], 0xFF);
    EXPECT_EQ(session_.ExternalImage()[0xFFFF], 0xFF);
}

TEST_F(DeviceSessionTest, SectorAddressesCountFromTheBlockStartAndTheLoaderEndsWhereItsFamilySays) {
    Select(2);
    EXPECT_EQ(session_.SectorAddress(0, 255), 0x7F80);
    EXPECT_EQ(session_.SectorAddress(1, 63), 0xFFC0);
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

TEST(SessionFlags, LockStatusKeepsBits7To5AndBit7HardLocksBlock0) {
    SessionFlags flags;
    flags.StoreLockStatus(0x7F);
    EXPECT_EQ(flags.lockStatus, 0x60);
    flags.StoreLockStatus(0x1F);
    EXPECT_EQ(flags.lockStatus, 0x00);
    for (int lock = 0x00; lock <= 0xE0; lock += 0x20) {
        EXPECT_EQ(IsBlock0HardLocked(lock), lock >= 0x80) << std::hex << lock;
        flags.lockStatus = lock;
        EXPECT_EQ(flags.Block0HardLocked(), lock >= 0x80) << std::hex << lock;
    }
}

// The operator's stop: holds and releases nest, and the backups read as one text.
TEST(StopRequest, HoldsAndReleasesNestAndBackupsAreReadableAsOneText) {
    StopRequest s;
    EXPECT_FALSE(s.Due());
    s.Request();
    EXPECT_TRUE(s.Due());
    {
        StopRequest::Hold outer(s);
        EXPECT_FALSE(s.Due());
        EXPECT_TRUE(s.Requested());
        EXPECT_FALSE(s.DueInBootArea());
        {
            StopRequest::Release inner(s);
            EXPECT_TRUE(s.Due());
            EXPECT_TRUE(s.DueInBootArea());
            StopRequest::Hold again(s);
            EXPECT_FALSE(s.Due());
        }
        EXPECT_FALSE(s.Due()) << "the outer hold is back";
    }
    EXPECT_TRUE(s.Due());
    EXPECT_FALSE(s.DueInBootArea()) << "a loader's image is written whole unless let through";
    s.KeepBackup("/a.hex");
    s.KeepBackup("/b.hex");
    s.KeepBackup("/a.hex");
    EXPECT_STREQ(s.BackupText(), "/a.hex, /b.hex");
    s.DropBackup("/a.hex");
    EXPECT_STREQ(s.BackupText(), "/b.hex");
    s.Note("one");
    s.Note("two");
    EXPECT_EQ(s.Notes(), "one; two");
    s.Clear();
    EXPECT_FALSE(s.Requested());
    EXPECT_EQ(s.Notes(), "");
    EXPECT_STREQ(s.BackupText(), "/b.hex") << "a live backup outlasts the command";
}

}  // namespace
}  // namespace tessel
