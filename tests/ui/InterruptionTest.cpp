// The operator's stop, raised part-way through a command at a chosen point of its progress:
// plain transfers end between chunks and say how far they got; the procedures that borrow
// block 0 or open a window finish their step and put things back.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "support/FlashRig.h"
#include "commands/Commands.h"

namespace tessel {
namespace {

using namespace test;

// Raises the session's stop request the first time `when` holds for the window's progress,
// as a signal handler or the window's close button would.
class StopWhen : public MainDialogObserver {
public:
    StopWhen(MainDialog& w, std::function<bool(MainDialog&)> when) : w_(w), when_(std::move(when)) {
        w_.SetObserver(this);
    }
    ~StopWhen() override { w_.SetObserver(nullptr); }
    void OnChanged(Change what) override {
        if (what != Change::Progress || raised || !when_(w_)) return;
        w_.Session().flags.stop.Request();
        raised = true;
    }
    bool raised = false;

private:
    MainDialog& w_;
    std::function<bool(MainDialog&)> when_;
};

// Whether the stop's notes hold `part`; a failure shows them.
testing::AssertionResult Noted(FlashRig& r, const std::string& part) {
    const std::string notes = r.session().flags.stop.Notes();
    if (notes.find(part) != std::string::npos) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "the notes: " << notes;
}

TEST(Interruption, APlainDownloadOrReadStopsBetweenChunksAndAByteEditPutsItsFirstSectorBack) {
    DetectedRig r(BoardOf(2));
    const std::vector<uint8_t> data = Pattern(16 * 128, 3);
    StopWhen stop(r.window, [](MainDialog& w) { return w.ProgressLabel() == "Writing" && w.ProgressPosition() == 5; });
    EXPECT_EQ(r.Download(r.WriteFile("app.bin", data)).outcome, Outcome::Stopped);
    ASSERT_TRUE(stop.raised);
    EXPECT_EQ(CountFrames(r.LastCommands(), "0E"), 5u) << "not one chunk after the stop";
    const std::vector<uint8_t> flash = r.Block(0);
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 5 * 128, flash.begin()));
    EXPECT_TRUE(Blank(flash, 5 * 128, 16 * 128)) << "erased, not yet written";
    EXPECT_TRUE(Noted(r, "writing stopped after 5 of 16 sectors; block 0 holds a partial image"));

    // A read stops the same way and leaves the sectors it did not reach unread.
    r.session().flags.stop.Clear();
    StopWhen again(r.window, [](MainDialog& w) { return w.ProgressLabel() == "Reading" && w.ProgressPosition() == 2; });
    r.count = 8;
    EXPECT_FALSE(r.Run(command::kRead));
    EXPECT_TRUE(Noted(r, "reading stopped after 2 of"));

    // A byte edit across two sectors is all or nothing: stopped between them, the first goes back.
    r.session().flags.stop.Clear();
    const std::vector<uint8_t> code = r.Block(0);
    StopWhen edit(r.window, [](MainDialog& w) { return w.ProgressLabel() == "Writing"; });
    r.op.answers = {true};
    EXPECT_EQ(EditBlock0(r.window, {"03F8", "01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10"}).outcome, Outcome::Stopped);
    ASSERT_TRUE(edit.raised);
    EXPECT_EQ(r.Block(0), code);
    EXPECT_TRUE(r.Backups().empty());
    EXPECT_TRUE(Noted(r, "the first was put back as it was"));
}

// Block 1 is written through the stub that borrows block 0: wherever the stop comes, block 0
// ends as it was, no backup is left behind, and the report says what became of block 1. (A
// stop in the block-1 data: CliInterrupt.ABlock1DownloadStopsAndLeavesBlock0ByteForByte.)
TEST(Interruption, ABlock1DownloadPutsBlock0BackByteForByteWhereverItStops) {
    for (const bool whileSaving : {true, false}) {
        SCOPED_TRACE(whileSaving ? "while saving" : "while block 0 is put back");
        DetectedRig r(BoardOf(2));
        const std::vector<uint8_t> block0 = r.FillBlock(0, 9);
        const std::vector<uint8_t> block1 = r.Block(1);
        const std::vector<uint8_t> data = Pattern(20 * 64, 0x21);
        // 1: the stub has control, 2: block 1 is written, 3: the loader is back, 4: block 0 is restored.
        int phase = 0;
        StopWhen stop(r.window, [&](MainDialog& w) {
            if (whileSaving) return w.ProgressLabel() == "Reading";
            if (w.ProgressLabel() == (phase % 2 == 0 ? "Bank Switch" : "Writing")) ++phase;
            return phase == 4;
        });
        EXPECT_EQ(r.Download(r.WriteFile("b1.bin", data), 1, 16).Ok(), !whileSaving)
            << "only a finished write succeeds";
        ASSERT_TRUE(stop.raised);
        EXPECT_EQ(r.Block(0), block0);
        EXPECT_EQ(r.board().CurrentMode(), sim::Mode::Loader);
        EXPECT_TRUE(r.Backups().empty() && r.session().flags.stop.Backups().empty());
        const std::string notes = r.session().flags.stop.Notes();
        const std::vector<uint8_t> flash1 = r.Block(1);
        if (whileSaving) {
            EXPECT_TRUE(Noted(r, "nothing was changed"));
            EXPECT_EQ(CountFrames(r.LastCommands(), "0B"), 0u) << "nothing erased";
            EXPECT_EQ(flash1, block1);
        } else {
            EXPECT_EQ(notes, "block 1 was written and verified; block 0 was put back as it was");
            EXPECT_TRUE(std::equal(data.begin(), data.end(), flash1.begin() + 16 * 64));
        }
    }
}

// The A models' window borrows block 0 for the board's access stub: a stop while it opens
// gives block 0 back at once. (A stopped download in the window, and the return that gives
// block 0 back: CliInterrupt.ABlock1DownloadStopsAndLeavesBlock0ByteForByte.)
TEST(Interruption, AnExternalWindowOnAnAModelGivesBlock0BackWhenStopped) {
    DetectedRig r(BoardOf(2));
    const std::vector<uint8_t> block0 = r.FillBlock(0, 4);
    StopWhen stop(r.window, [](MainDialog& w) { return w.ProgressLabel() == "Writing"; });
    EXPECT_FALSE(r.Run(command::kExternalLow));
    EXPECT_FALSE(r.session().ExternalWindowOpen());
    EXPECT_EQ(CountFrames(r.LastCommands(), "66 66"), 0u) << "the board's program was never started";
    EXPECT_EQ(r.Block(0), block0);
    EXPECT_TRUE(r.Backups().empty());
    EXPECT_TRUE(Noted(r, "block 0 is as it was"));
}

}  // namespace
}  // namespace tessel
