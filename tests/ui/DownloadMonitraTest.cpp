#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <optional>

#include "firmware/Firmware.h"
#include "support/FlashRig.h"

namespace tessel {
namespace {

using namespace test;

// Where each family's monitor must land, written out from the chip's memory map rather than
// taken from the code under test: block 1's first address is the monitor's on every family.
struct Family {
    int chip;
    FirmwareId part1;
    uint32_t address1;                // first address of the monitor in block 1
    int sectors1;                     // block-1 sectors erased for it
    uint32_t sector1;                 // block-1 sector size
    std::optional<FirmwareId> part0;  // the A models' block-0 part
    uint32_t address0 = 0;
};

std::string Frame(uint8_t code, uint32_t address, uint8_t data) {
    char b[16];
    std::snprintf(b, sizeof b, "%02X %02X %02X %02X", code, (address >> 8) & 0xFF, address & 0xFF, data);
    return b;
}

size_t IndexOf(const std::vector<std::string>& log, const std::string& line) {
    return static_cast<size_t>(std::find(log.begin(), log.end(), line) - log.begin());
}

// A detected board with the user's code in block 0 and no password; Run() answers the
// question Yes, and LastCommands() gives what it sent.
struct Monitra : DetectedRig {
    explicit Monitra(int chip) : DetectedRig(BoardOf(chip)), code(FillBlock(0, 5)), loaderArea(Block(1)) {}
    bool Run() { return RunYes(command::kDownloadMonitra); }
    std::vector<uint8_t> code, loaderArea;
};

class DownloadMonitra : public testing::TestWithParam<Family> {};

TEST_P(DownloadMonitra, WritesTheMonitorWhereTheLoaderWasAndTheToolEnds) {
    const Family& f = GetParam();
    Monitra m(f.chip);
    EXPECT_TRUE(m.Run());
    EXPECT_EQ(m.op.questions.back(),
              "Do you really want to download Monitra?\nBSL in Block1 will be erased.\nProceed to download?");
    EXPECT_TRUE(m.Said("Downloading Monitra Completed!\nPlease close the current application\nand open Keil to "
                         "start debugging your\ncode. Please refer to User's Guide on\nhow to convert back to BSL."));
    EXPECT_TRUE(m.window.CloseRequested());
    EXPECT_TRUE(m.session().flags.longOperation.load()) << "nobody but the stub answers any more";

    // The wire: the block-1 erase of every monitor sector, then its program frames, all after
    // the one switch into the stub; no switch back.
    const std::vector<std::string> log = m.LastCommands();
    const size_t switchIn = IndexOf(log, "03 20 27 10");
    ASSERT_LT(switchIn, log.size());
    EXPECT_EQ(CountFrames(log, "03"), 1u) << "no bank switch back to a loader that is gone";
    size_t at = switchIn;
    for (int k = 0; k < f.sectors1; ++k) {
        const size_t i = IndexOf(log, Frame(0x0B, f.address1 + k * f.sector1, 0x01));
        ASSERT_LT(i, log.size()) << "sector " << k;
        EXPECT_GT(i, at) << "sector " << k << " erased in order, after the switch";
        at = i;
    }
    EXPECT_EQ(CountFrames(log, "0B"), f.sectors1 + (f.part0 ? 4u + 32u : 3u)) << "nothing else erased";
    const FirmwareImage& image = Firmware(f.part1);
    size_t programmed = 0;
    for (uint32_t off = 0; off < image.size; off += f.sector1) {
        const bool blank = std::all_of(image.data + off, image.data + off + f.sector1, [](uint8_t b) { return b == 0xFF; });
        const std::string frame = Frame(0x09, f.address1 + off, static_cast<uint8_t>(f.sector1));
        EXPECT_EQ(CountFrames(log, frame), blank ? 0u : 1u) << frame;
        programmed += blank ? 0 : 1;
    }
    EXPECT_EQ(CountFrames(log, "09"), programmed);
    EXPECT_EQ(programmed, f.part0 ? 15u : 32u) << "an A model's last 64 bytes are blank and are not sent";

    // The chip: the monitor in block 1, on the A models its part in block 0 as well, and
    // block 0 otherwise untouched outside the stub's areas.
    const std::vector<uint8_t> b1 = m.Block(1);
    EXPECT_TRUE(std::equal(image.data, image.data + image.size, b1.begin()));
    const std::vector<uint8_t> b0 = m.Block(0);
    if (f.part0) {
        const FirmwareImage& part0 = Firmware(*f.part0);
        EXPECT_TRUE(std::equal(part0.data, part0.data + part0.size, b0.begin() + f.address0));
        EXPECT_TRUE(std::all_of(b0.begin(), b0.begin() + 128, [](uint8_t b) { return b == 0xFF; }));
    } else {
        EXPECT_TRUE(std::equal(b0.begin(), b0.begin() + 0x2000, m.code.begin()));
    }
    EXPECT_TRUE(std::equal(b0.begin() + 0x2180, b0.begin() + (f.part0 ? f.address0 : b0.size()),
                           m.code.begin() + 0x2180));
    // What was overwritten in block 0 is on disk.
    EXPECT_EQ(m.Backups().size(), 1u);

    // Reset: the monitor starts instead of a loader, so nothing answers a detection.
    m.window.Route(command::kResetLink);
    EXPECT_FALSE(m.Detect());
    EXPECT_EQ(m.board().CurrentFirmware(), sim::Firmware::Monitor);
}

TEST_P(DownloadMonitra, AFaultAtTheBlock1ProgramStepIsTheEighthCodeOfTheStatusLine) {
    const Family& f = GetParam();
    Monitra m(f.chip);
    m.board().SetFaults({.ignoreCommand = 0x09});  // the stub takes the program frames but writes nothing
    EXPECT_FALSE(m.Run());
    EXPECT_TRUE(m.Said("Downloading Monitra Failed!"));
    EXPECT_EQ(m.window.Field(ChipField::IapStatus), "rc=0,0,0,0,0,0,0,-1. Failed!, 7");
    EXPECT_EQ(CountFrames(m.LastCommands(), Frame(0x0B, f.address1, 0x01)), 12u) << "erase and program tried 12 times together";
    EXPECT_FALSE(m.window.CloseRequested());
    EXPECT_TRUE(m.session().flags.errorReported.load());
    EXPECT_TRUE(m.LastSaid("may already be erased"));
    EXPECT_TRUE(m.LastSaid(m.Backups().at(0))) << "names the saved block 0";
}

INSTANTIATE_TEST_SUITE_P(
    EachFamily, DownloadMonitra,
    testing::Values(Family{2, FirmwareId::MonitorA32Block1, 0xF000, 16, 64, FirmwareId::MonitorA32Block0, 0x7000},
                    Family{3, FirmwareId::MonitorHL64D, 0x0000, 32, 128, std::nullopt},
                    Family{6, FirmwareId::MonitorHL32B, 0xE000, 32, 128, std::nullopt}),
    [](const testing::TestParamInfo<Family>& i) { return "Chip" + std::to_string(i.param.chip); });

TEST(DownloadMonitraSafety, AStepFailingBeforeTheSwitchLeavesTheLoaderToAnswerAgain) {
    Monitra m(2);
    m.board().SetFaults({.ignoreCommand = 0x0E});  // the stub never gets into block 0
    EXPECT_FALSE(m.Run());
    // Steps never tried keep their own code, apart from the failed one.
    EXPECT_EQ(m.window.Field(ChipField::IapStatus), "rc=0,0,-1,-2,-2,-2,-2,-2. Failed!, 2");
    EXPECT_EQ(CountFrames(m.LastCommands(), "03"), 0u) << "no jump into a stub that is not there";
    EXPECT_TRUE(m.LastSaid("was not touched"));
    m.board().SetFaults({});
    m.window.Route(command::kResetLink);
    EXPECT_TRUE(m.Detect()) << "the loader still answers";
    EXPECT_EQ(m.Block(1), m.loaderArea);
}

// The refusals by memory mode and lock are rows of the handlers' own table.
TEST(DownloadMonitraSafety, RefusalsSendNothingThatChangesTheChip) {
    const auto changes = [](const std::vector<std::string>& log) {
        return CountFrames(log, "0B") + CountFrames(log, "0E") + CountFrames(log, "03") + CountFrames(log, "09");
    };
    // Answered No: the gate has verified the password, nothing else.
    DetectedRig no(BoardOf(1));
    EXPECT_FALSE(no.RunYes(command::kDownloadMonitra, {false}));
    EXPECT_EQ(changes(no.LastCommands()), 0u);
    EXPECT_TRUE(no.Backups().empty());
    EXPECT_FALSE(no.session().flags.longOperation.load());

    // A port that is not the stand-in board never gets a stand-in image: refused before the question.
    struct RealLooking : VirtualLineHandle {
        using VirtualLineHandle::VirtualLineHandle;
        bool IsStandInLine() const override { return false; }
    };
    FlashRig r(BoardOf(5));
    r.session().port.SetDeviceFactory([&](OpenError*) { return std::make_unique<RealLooking>(r.link.line); });
    ASSERT_TRUE(r.Detect());
    EXPECT_FALSE(r.RunYes(command::kDownloadMonitra));
    EXPECT_TRUE(r.op.questions.empty());
    EXPECT_TRUE(r.LastSaid(StandInRefusalHint()));
    EXPECT_EQ(changes(r.LastCommands()), 0u);
}

}  // namespace
}  // namespace tessel
