#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "device/CommandChecks.h"
#include "support/FlashRig.h"
#include "commands/Commands.h"

namespace tessel {
namespace {

using namespace test;

// The commands as functions: each request is what the dialogs would have asked, each outcome
// says how the command ended, and the board holds what the outcome says it does.
TEST(CommandApi, EachOutcomeIsWhatTheBoardShows) {
    DetectedRig r;
    const std::vector<uint8_t> before = r.FillBlock(0, 3);

    // A range that runs past the block is cut at its end, as the dialogs' lists cut it.
    const CommandResult read = ReadSectors(r.window, {0, 254, 9});
    EXPECT_EQ(read.outcome, Outcome::Done);
    EXPECT_EQ(read.summary, "read 2 sectors at 7F00h-7FFFh, 2 not blank");

    // No to the question that names the loss: nothing erased, and said so.
    r.op.answers = {false};
    const CommandResult no = EraseSectorRange(r.window, {0, 2, 2});
    EXPECT_EQ(no.outcome, Outcome::Declined);
    EXPECT_EQ(no.summary, "erase declined: nothing was erased");
    EXPECT_EQ(r.Block(0), before);
    r.op.answers = {true};
    EXPECT_EQ(EraseSectorRange(r.window, {0, 2, 2}).outcome, Outcome::Done);
    EXPECT_TRUE(Blank(r.Block(0), 0x100, 0x200));
    EXPECT_FALSE(Blank(r.Block(0), 0x200, 0x280));

    // A mismatch is a failure that names the first address; a file that matches is done.
    const std::vector<uint8_t> head(before.begin() + 0x300, before.begin() + 0x380);
    const std::string same = r.WriteFile("same.bin", head);
    EXPECT_EQ(CompareImage(r.window, {same, ImageFormat::Auto, 0, 6}).outcome, Outcome::Done);
    const CommandResult differs = CompareImage(r.window, {same, ImageFormat::Auto, 0, 5});
    EXPECT_EQ(differs.outcome, Outcome::Failed);
    ASSERT_TRUE(differs.failure);
    EXPECT_EQ(differs.failure->step, "compare");
    EXPECT_EQ(differs.failure->address, 0x280u);
    EXPECT_EQ(differs.failure->got, before[0x280]);

    // The rule book refuses before a byte goes out, and its reason travels with the outcome.
    r.window.Session().chipTypeAssumed = true;
    const CommandResult refused = r.Download(same);
    EXPECT_EQ(refused.outcome, Outcome::Refused);
    EXPECT_EQ(refused.reason, kChipTypeNotReported);
    EXPECT_TRUE(r.LastCommands().empty());
    EXPECT_EQ(std::string(OutcomeName(refused.outcome)), "refused");
}

// What went wrong travels with the outcome as the code that saw it named it: a port that
// cannot be had is the port's fault, not the target's silence.
TEST(CommandApi, AFailureCarriesTheFaultItsCodeNamed) {
    RecordingOperator op;
    Target target(&op);
    const TempFolder dir;
    target.Session().port.SetPortName(dir + "/no-such-port");
    // Before any detection the rule book refuses, and says why.
    const CommandResult early = ReadSectors(target, {0, 0, 1});
    EXPECT_EQ(std::make_pair(early.outcome, early.reason), std::make_pair(Outcome::Refused, std::string(kNoTargetBoard)));
    const CommandResult r = DetectChip(target, {LoaderFirmware::V11F, 2, kInternalMemory});
    EXPECT_EQ(r.outcome, Outcome::Failed);
    EXPECT_EQ(r.fault, Fault::Port);
}

// The password gate asks the window's source instead of a dialog, once per attempt, and a
// source that gives nothing ends the command before anything is written.
TEST(CommandApi, ThePasswordGateAsksItsSourcePerAttempt) {
    DetectedRig r(BoardOf(2, 0, "abc"));
    std::vector<int> asked;
    std::vector<std::optional<std::string>> texts = {"wrong", "abc"};
    r.window.SetPasswordSource([&](int attempt) -> std::optional<std::string> {
        asked.push_back(attempt);
        if (texts.empty()) return std::nullopt;
        std::optional<std::string> t = texts.front();
        texts.erase(texts.begin());
        return t;
    });
    EXPECT_EQ(ReadSectors(r.window, {0, 0, 1}).outcome, Outcome::Done);
    EXPECT_EQ(asked, (std::vector<int>{1, 2}));
    EXPECT_TRUE(r.window.Session().flags.passwordVerified);

    r.window.Session().flags.passwordVerified = false;
    asked.clear();
    const CommandResult none = ReadSectors(r.window, {0, 0, 1});
    EXPECT_EQ(none.outcome, Outcome::Failed);
    EXPECT_EQ(asked, (std::vector<int>{1}));
}

// Set/Reset from a request: the new text per attempt, and the A-type chips' soft lock with it
// when the request asks for it.
TEST(CommandApi, APasswordSetRequestCarriesItsLockOption) {
    for (const bool lock : {false, true}) {
        DetectedRig r(BoardOf(1));
        r.op.answers = {true, true};
        EXPECT_EQ(SetPassword(r.window, Entries({{"", "new", "new"}}, lock)).outcome, Outcome::Done) << lock;
        EXPECT_EQ(r.board().Password(), "new");
        EXPECT_EQ((r.board().SecurityBits() & 0x40) != 0, lock) << "SB2";
    }
}

}  // namespace
}  // namespace tessel
