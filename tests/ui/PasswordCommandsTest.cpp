#include <gtest/gtest.h>

#include <algorithm>

#include "protocol/Password.h"
#include "support/FlashRig.h"
#include "commands/Commands.h"

namespace tessel {
namespace {

using namespace test;

// The change dialog's path: the longest password, block 0 put back, and the gate then wants it.
TEST(ChangePassword, KeepsBlock0AndTheNextGatedCommandNeedsTheNewPassword) {
    DetectedRig r(BoardOf(2, 0, "old"));
    const std::vector<uint8_t> code = r.FillBlock(0);
    const std::string longest(kMaxPasswordLength, 'k');
    r.entries = {{"old", longest, longest}};
    EXPECT_TRUE(r.Run(command::kChangePassword));
    EXPECT_TRUE(r.Said("Password Change Completed!"));
    EXPECT_EQ(CountFrames(r.LastCommands(), "07 F0 40 1F"), 1u) << "the length byte of the password frame";
    EXPECT_EQ(r.board().Password(), longest);
    EXPECT_EQ(r.Block(0), code) << "block 0 was put back";
    EXPECT_TRUE(r.Backups().empty()) << "a verified restore removes its backup";
    EXPECT_FALSE(r.session().flags.passwordVerified.load());

    r.passwords = {"old", longest};
    r.count = 1;
    EXPECT_TRUE(r.Run(command::kRead)) << "the new password opens the gate";
    EXPECT_TRUE(r.Said(kPasswordIncorrect)) << "the old one no longer does";

    // An empty new password removes it: no password frame goes out.
    const size_t mark = r.board().CommandLog().size();
    EXPECT_TRUE(ChangePassword(r.window, Entries({{longest, "", ""}})).Ok());
    r.Settle();
    EXPECT_EQ(r.board().Password(), "");
    EXPECT_EQ(CountFrames(r.CommandsSince(mark), "07"), 0u);
}

// On an H/L chip at lock status 80h, which still lets it be rewritten (on an A-type chip it is a
// hard lock: HandlerRules.EveryCellTheRuleBookForbidsSendsNothing).
TEST(ChangePassword, BadEntriesAndAWrongOldPasswordSendNothingThatErases) {
    DetectedRig r(BoardOf(3, 0x80, "old"));
    const std::vector<uint8_t> code = r.FillBlock(0);
    const std::string tooLong(kMaxPasswordLength + 1, 'x');
    const size_t mark = r.board().CommandLog().size();
    EXPECT_FALSE(ChangePassword(r.window, Entries({{"old", tooLong, tooLong}, {"old", "new", "New"}, {"wrong", "new", "new"}})).Ok());
    for (const char* said : {"The length of password shouldn't exceed 31 characters!", "Password you entered is inconsistent!",
                             kPasswordIncorrect, "Password Change Failed!"})
        EXPECT_TRUE(r.Said(said)) << said;
    const auto log = r.CommandsSince(mark);
    EXPECT_EQ(CountFrames(log, "0B"), 0u);
    EXPECT_EQ(CountFrames(log, "08"), 1u) << "only the complete third entry was checked";
    EXPECT_EQ(r.board().Password(), "old");
    EXPECT_EQ(r.Block(0), code);
    EXPECT_TRUE(ChangePassword(r.window, Entries({{"old", "a", "a"}})).Ok());
}

// A board that stops answering at any point of the change is given up after one check, not
// after a time-out for every try of every step; whatever it left is said (what becomes of
// block 0 meanwhile is the fault matrix's to check).
TEST(ChangePassword, ASilentBoardIsGivenUpWithinSecondsOnTheVirtualClock) {
    uint64_t clean = 0;
    {
        DetectedRig r(BoardOf(2, 0, "old"));
        const uint64_t r0 = r.board().BytesReceived();
        ASSERT_TRUE(ChangePassword(r.window, Entries({{"old", "new", "new"}})).Ok());
        clean = r.board().BytesReceived() - r0;
    }
    for (uint64_t at : {uint64_t{30}, clean / 4, clean / 2, clean * 3 / 4, clean - 40}) {
        SCOPED_TRACE(at);
        DetectedRig r(BoardOf(2, 0, "old"));
        r.board().SetFaults({.silentFromByte = r.board().BytesReceived() + at});
        const uint64_t started = r.clock.TickMs();
        EXPECT_FALSE(ChangePassword(r.window, Entries({{"old", "new", "new"}})).Ok());
        EXPECT_LT(r.clock.TickMs() - started, 15000u);
        const std::string now = r.board().Password();
        EXPECT_TRUE(now == "old" || now == "new" || r.LastSaid("no password now")) << r.op.messages.back();
    }
}

TEST(ChangePassword, AByteGarbledWhileBlock0IsSavedIsNeverWrittenBack) {
    DetectedRig r(BoardOf(2, 0, "old"));
    const std::vector<uint8_t> code = r.FillBlock(0);
    // The old password's C0h, then the save of block 0's first area: its 40th byte is garbled.
    r.board().SetFaults({.corruptReplyByte = r.board().BytesSent() + 1 + 40});
    const bool ok = ChangePassword(r.window, Entries({{"old", "new", "new"}})).Ok();
    EXPECT_EQ(r.Block(0), code) << "the garbled copy must not reach the chip";
    EXPECT_TRUE(ok) << "a second pair of reads agrees, so the change goes through";
    EXPECT_EQ(r.board().Password(), "new");
    EXPECT_TRUE(r.Backups().empty());

    // A password write that is never confirmed is reported step by step.
    r.board().SetFaults({.refuseCommand = 0x07});  // the stub never confirms the password write
    const size_t mark = r.board().CommandLog().size();
    EXPECT_FALSE(ChangePassword(r.window, Entries({{"new", "newer", "newer"}})).Ok());
    EXPECT_TRUE(r.Said("Password Change Failed!"));
    // Tried twelve times, and the steps after it still ran: back to the loader, block 0 restored.
    EXPECT_EQ(CountFrames(r.CommandsSince(mark), "07"), 12u);
    EXPECT_EQ(r.window.Field(ChipField::IapStatus), "rc=0,0,0,0,0,0,0,0,-1,0,0,0, 0. Failed!");
    EXPECT_EQ(r.Block(0), code);
    EXPECT_TRUE(r.session().flags.errorReported.load());
    // The sector was erased and the write never confirmed: the last word says so.
    EXPECT_TRUE(r.LastSaid("the chip may have no password now"));
    EXPECT_TRUE(r.LastSaid("Password Set/Reset"));
}

// The set dialog's path: a mistyped entry opens it again, the lock option goes with the second.
TEST(SetResetPassword, ErasesBlock0SetsThePasswordAndTheATypeSoftLock) {
    FlashRig r(BoardOf(1, 0, "forgotten"));
    r.board().SetBlock(0, Pattern(16384));
    ASSERT_TRUE(r.Detect());
    r.entries = {{"", "abc", "abd"}, {"", "fresh", "fresh", true}};
    EXPECT_TRUE(r.RunYes(command::kSetResetPassword, {true, true}));
    EXPECT_TRUE(r.Said("Password you entered is inconsistent!"));
    EXPECT_EQ(r.op.questions.front(), "Data in block 0 will be erased entirely.\nProceed to set/reset password?");
    EXPECT_TRUE(r.Said("Password Set/Reset Succeed!\nSet lock completed, please reset chip!"));
    EXPECT_EQ(r.Block(0), std::vector<uint8_t>(16384, 0xFF)) << "erased, and the stub removed again";
    EXPECT_EQ(r.board().Password(), "fresh");
    EXPECT_EQ(r.board().SecurityBits(), 0x40);
}

TEST(SetResetPassword, TheLockOptionIsATypeOnlyAndASilentEraseIsTriedElevenTimes) {
    PasswordSetDialog hlDialog(4);
    hlDialog.OnLockOption();
    EXPECT_FALSE(hlDialog.lockOption);

    DetectedRig r(BoardOf(6, 0, "x"));
    const std::vector<uint8_t> code = r.FillBlock(0);
    r.board().SetFaults({.silentFromByte = r.board().BytesReceived() + 3});  // after the block-0 select
    r.entries = {{"", "y", "y", true}};
    EXPECT_FALSE(r.RunYes(command::kSetResetPassword));
    EXPECT_TRUE(r.Said("Set/Reset Password Failed!"));
    const auto log = r.LastCommands();
    EXPECT_EQ(CountFrames(log, "64"), 11u);
    EXPECT_EQ(CountFrames(log, "65"), 0u);
    EXPECT_EQ(r.Block(0), code);
    EXPECT_EQ(r.board().Password(), "x");
}

}  // namespace
}  // namespace tessel
