#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "device/CommandChecks.h"
#include "protocol/ConfigBits.h"
#include "support/FlashRig.h"

namespace tessel {
namespace {

using test::BoardOf;
using test::CountFrames;
using test::FlashRig;

constexpr char kLockDone[] = "Set Lock Completed!\nChip will be automatically redetected!";

// What the command put on the wire, detection's own frames left out.
std::vector<std::string> ConfigFrames(const std::vector<std::string>& log) {
    std::vector<std::string> out;
    for (const std::string& l : log) {
        const std::string code = l.substr(0, 2);
        if (code == "04" || code == "02" || code == "6B" || code == "67" || code == "6A" || code == "6C")
            out.push_back(l);
    }
    return out;
}

using Frames = std::vector<std::string>;

TEST(LockChip, EachVariantBurnsTheOptionsBitsAndTheDetectionShowsTheNewLevel) {
    struct Case {
        int chipType, memoryMode, option;
        Frames wire;
        uint8_t bits;
        const char* line;
    };
    const Case cases[] = {
        {2, kExternalMemory, 2, {"04 00", "04 01", "6B 6B"}, 0xC0, "SECURITY : CHIP IS LEVEL3 HARDLOCKED (FCST[7:5]:110)"},
        {3, kInternalMemory, 2, {"04 03 FF", "04 05 FF", "6B 6B"}, 0x60, "SECURITY : CHIP IS LEVEL3 HARDLOCKED (FCST[7:5]: 011)"},
        {5, kInternalMemory, 1, {"04 0F FF", "6B 6B"}, 0x80, "SECURITY : CHIP IS LEVEL2 SOFTLOCKED (FCST[7:5]:100)"},
        {1, kExternalMemory, 5, {"04 02", "6B 6B"}, 0x20,
         "SECURITY : CHIP IS LEVEL3 SOFTLOCKED BLK0 & HARDLOCKED BLK1 (FCST[7:5]:001)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "chip " << c.chipType << " option " << c.option);
        FlashRig r(BoardOf(c.chipType), c.memoryMode);
        ASSERT_TRUE(r.Detect());
        const size_t mark = r.board().CommandLog().size();
        r.menuOption = c.option;
        r.op.answers = {true};
        EXPECT_TRUE(r.Run(command::kLockChip));
        EXPECT_EQ(r.menusSeen, Frames{c.chipType <= 2 ? "LockMenuTypeADialog" : "LockMenuDialog"});
        // The question names what is about to burn before it burns.
        ASSERT_EQ(r.op.questions.size(), 1u);
        const LockOption* o = FindLockOption(c.chipType <= 2, c.option);
        EXPECT_EQ(r.op.questions[0].rfind(std::string(o->label) + " on " + LookupChip(c.chipType).model + ": programs security bit", 0), 0u)
            << r.op.questions[0];
        EXPECT_NE(r.op.questions[0].find("Do you really want to proceed?"), std::string::npos);
        EXPECT_TRUE(r.Said(kLockDone));
        EXPECT_EQ(ConfigFrames(r.CommandsSince(mark)), c.wire);
        EXPECT_EQ(r.board().SecurityBits(), c.bits);
        // Re-detected: the session holds what the chip now reports, and the quiet period is over.
        EXPECT_TRUE(r.session().IsLinkUp());
        EXPECT_EQ(r.session().flags.lockStatus.load(), c.bits);
        EXPECT_EQ(r.window.SecurityLine(), c.line);
        EXPECT_FALSE(r.session().flags.longOperation.load());
    }
}

TEST(LockChip, TheLevel4GuardSendsNoBitAndDoesNotClaimSuccess) {
    struct Case {
        int chipType, memoryMode;
        uint8_t security;
        int option;
        const char* refusal;
    };
    const Case cases[] = {
        // SB1 set plus SB2 and SB3 would be all three. (In external memory mode a chip with
        // any lock bit set takes no Lock Chip at all, so the guard is met in internal mode.)
        {3, kInternalMemory, 0x80, 2, "Can't set level4 lock!"},
        {5, kInternalMemory, 0x60, 1, "Can't set level4 lock!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "chip " << c.chipType << " mode " << c.memoryMode);
        FlashRig r(BoardOf(c.chipType, c.security), c.memoryMode);
        ASSERT_TRUE(r.Detect());
        const size_t mark = r.board().CommandLog().size();
        r.menuOption = c.option;
        r.op.answers = {true};
        EXPECT_FALSE(r.Run(command::kLockChip));
        EXPECT_TRUE(r.Said(c.refusal));
        EXPECT_FALSE(r.Said(kLockDone));
        r.Settle();
        EXPECT_EQ(ConfigFrames(r.CommandsSince(mark)), Frames{"6B 6B"});
        EXPECT_EQ(r.board().SecurityBits(), c.security);
        EXPECT_TRUE(r.session().IsLinkUp()) << "nothing changed, so the link is not reset";
    }
    // A locked chip in external memory mode, or an A-type chip in internal memory mode, is
    // refused by the command rules before the menu: not even the closing sequence is sent.
    for (const auto& [chip, mode, security, reason] :
         {std::tuple{2, kExternalMemory, 0x20, "Lock Chip is not available on NX31A32 in external memory mode at lock status 20h"},
          std::tuple{3, kExternalMemory, 0x80, "Lock Chip is not available on NX31H64D in external memory mode at lock status 80h"},
          std::tuple{1, kInternalMemory, 0x00, "Lock Chip is not available on NX31A16 in internal memory mode"}}) {
        FlashRig r(BoardOf(chip, static_cast<uint8_t>(security)), mode);
        ASSERT_TRUE(r.Detect());
        const size_t mark = r.board().CommandLog().size();
        r.menuOption = 1;
        r.op.answers = {true};
        EXPECT_FALSE(r.Run(command::kLockChip));
        EXPECT_TRUE(r.Said(reason)) << reason;
        EXPECT_TRUE(r.menusSeen.empty());
        r.Settle();
        EXPECT_TRUE(r.CommandsSince(mark).empty());
        EXPECT_EQ(r.board().SecurityBits(), security);
    }
    // The status the A-type chip refuses is allowed on an H/L chip.
    FlashRig r(BoardOf(3, 0x20));
    ASSERT_TRUE(r.Detect());
    r.menuOption = 4;
    r.op.answers = {true};
    EXPECT_TRUE(r.Run(command::kLockChip));
    EXPECT_EQ(r.board().SecurityBits(), 0x60);
}

TEST(LockChip, ARefusedWriteStopsTheOptionButTheSequenceIsStillClosed) {
    FlashRig r(BoardOf(3));
    ASSERT_TRUE(r.Detect());
    const size_t mark = r.board().CommandLog().size();
    r.menuOption = 2;  // SB2 then SB3
    r.op.answers = {true};
    r.RefuseWrite(2);  // the second byte of SB2's frame
    EXPECT_FALSE(r.Run(command::kLockChip));
    EXPECT_TRUE(r.Said("Set Lock Failed!"));
    EXPECT_FALSE(r.Said(kLockDone));
    r.Settle();
    // 04h alone is not a frame the loader acts on; SB3 was never sent.
    const Frames wire = ConfigFrames(r.CommandsSince(mark));
    EXPECT_EQ(std::count(wire.begin(), wire.end(), "04 05 FF"), 0);
    EXPECT_EQ(r.board().SecurityBits(), 0x00);
    EXPECT_TRUE(r.session().IsLinkUp());
}

TEST(LockChip, NoChoiceNoAnswerOrNoLinkBurnsNothing) {
    {
        // OK with no option clicked is refused by the menu itself, so the operator can only
        // choose or cancel.
        FlashRig r(BoardOf(3));
        ASSERT_TRUE(r.Detect());
        const size_t mark = r.board().CommandLog().size();
        EXPECT_FALSE(r.Run(command::kLockChip));
        EXPECT_TRUE(r.Said(OptionMenuDialog::kChooseFirst));
        EXPECT_TRUE(r.op.questions.empty());
        EXPECT_TRUE(ConfigFrames(r.CommandsSince(mark)).empty());
    }
    {
        FlashRig r(BoardOf(3));
        ASSERT_TRUE(r.Detect());
        const size_t mark = r.board().CommandLog().size();
        r.menuOption = 1;
        r.op.answers = {false};
        EXPECT_FALSE(r.Run(command::kLockChip));
        EXPECT_EQ(r.op.questions, Frames{"L2 Soft Lock Block 0, 1 (PROG-SB1) on NX31H64D: programs security bit SB1.\n"
                                         "One-time: once programmed, it can never be cleared.\n\n"
                                         "Do you really want to proceed?"});
        EXPECT_TRUE(ConfigFrames(r.CommandsSince(mark)).empty());
        EXPECT_EQ(r.board().SecurityBits(), 0);
    }
    {
        FlashRig r(BoardOf(2));
        r.menuOption = 1;
        EXPECT_FALSE(r.Run(command::kLockChip));
        EXPECT_TRUE(r.Said(kNoTargetBoard));
        EXPECT_TRUE(r.menusSeen.empty());
    }
}

TEST(OptionMenus, TheRemapMenuOffersWhatTheChipHas) {
    test::RecordingOperator op;
    struct Case {
        int chipType;
        std::vector<int> enabled;  // options
    };
    const Case cases[] = {{1, {1, 2, 3}}, {2, {1, 2, 3}}, {4, {0}}, {3, {0}}, {5, {0, 4}}, {6, {0, 4}}};
    for (const Case& c : cases) {
        RemapMenuDialog d(op, c.chipType);
        std::vector<int> on;
        for (const auto& choice : d.choices)
            if (choice.enabled) on.push_back(choice.option);
        std::sort(on.begin(), on.end());
        EXPECT_EQ(on, c.enabled) << "chip " << c.chipType;
    }
    RemapMenuDialog a(op, 2);
    EXPECT_FALSE(a.Click(1074)) << "SC0 is disabled on an A-type chip";
    EXPECT_FALSE(a.Chosen());
    EXPECT_EQ(a.PressOk(), OkOutcome::KeepOpen);
    EXPECT_TRUE(a.Click(1073));
    EXPECT_EQ(a.Option(), 3);
    EXPECT_EQ(a.PressOk(), OkOutcome::CloseOk);

    LockMenuTypeADialog lockA(op);
    EXPECT_FALSE(lockA.Click(1069)) << "the A-type menu has no sixth button";
    LockMenuDialog lockHL(op);
    EXPECT_TRUE(lockHL.Click(1069));
    EXPECT_EQ(lockHL.Option(), 6);
}

TEST(MemoryRemap, RemapAndConfigurationBitsGoOutAsTheChipAndModeNeed) {
    struct Case {
        int chipType, memoryMode, option;
        Frames wire;
        uint8_t bits;
        const char* message;
        bool linkAfter;
    };
    const Case cases[] = {
        {2, kExternalMemory, 3, {"02 00", "02 01", "6B 6B"}, 0x03,
         "Memory Remap Completed!\nChip will be automatically redetected!", true},
        {3, kExternalMemory, RemapMenuDialog::kSC0, {"67 67"}, 0x01,
         "Program SC0 Completed!\nChip will be automatically redetected!", true},
        {5, kInternalMemory, RemapMenuDialog::kSC0, {"04 09 5A"}, 0x01,
         "Program SC0 Completed!\nChip will be automatically redetected!", true},
        // These two hide the loader in internal memory mode: no detection follows, and with
        // nothing to read the bit back the command cannot report success.
        {3, kInternalMemory, RemapMenuDialog::kSC0, {"04 09 5A"}, 0x01,
         "SC0 programmed, not confirmed: ", false},
        {6, kInternalMemory, RemapMenuDialog::kSC1, {"04 09 AA"}, 0x02,
         "SC1 programmed, not confirmed: ", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "chip " << c.chipType << " option " << c.option);
        FlashRig r(BoardOf(c.chipType), c.memoryMode);
        ASSERT_TRUE(r.Detect());
        const size_t mark = r.board().CommandLog().size();
        r.menuOption = c.option;
        r.op.answers = {true};
        EXPECT_EQ(r.Run(command::kMemoryRemap), c.linkAfter);
        EXPECT_TRUE(r.Said(c.message) || r.op.messages.back().starts_with(c.message)) << r.op.messages.back();
        r.Settle();
        // The external-mode link reset sends 6Bh 6Bh of its own, but to a chip in reset.
        EXPECT_EQ(ConfigFrames(r.CommandsSince(mark)), c.wire);
        EXPECT_EQ(r.board().RemapBits(), c.bits);
        EXPECT_EQ(r.session().IsLinkUp(), c.linkAfter);
        EXPECT_FALSE(r.session().flags.longOperation.load());
    }
}

TEST(MemoryRemap, AnATypeChipInInternalModeOrARefusedByteChangesNothing) {
    {
        FlashRig r(BoardOf(2));
        ASSERT_TRUE(r.Detect());
        const size_t mark = r.board().CommandLog().size();
        r.menuOption = 1;
        r.op.answers = {true};
        EXPECT_FALSE(r.Run(command::kMemoryRemap));
        // The refusal says why rather than ending in silence.
        EXPECT_EQ(r.op.messages.back(), "Memory Remap is not available on NX31A32 in internal memory mode");
        EXPECT_TRUE(r.menusSeen.empty());
        EXPECT_TRUE(r.CommandsSince(mark).empty());
        EXPECT_TRUE(r.session().IsLinkUp());
    }
    {
        FlashRig r(BoardOf(5));
        ASSERT_TRUE(r.Detect());
        r.menuOption = RemapMenuDialog::kSC1;
        r.op.answers = {true};
        r.RefuseWrite(1);
        EXPECT_FALSE(r.Run(command::kMemoryRemap));
        EXPECT_TRUE(r.Said("Program SC1 Failed!"));
        r.Settle();
        EXPECT_EQ(r.board().RemapBits(), 0);
        EXPECT_TRUE(r.session().IsLinkUp());
    }
}

TEST(DoubleClock, SetsTheBitShowsThePaneAndLeavesATypeChipsAlone) {
    {
        FlashRig r(BoardOf(1));
        ASSERT_TRUE(r.Detect());
        const size_t mark = r.board().CommandLog().size();
        EXPECT_FALSE(r.Run(command::kDoubleClock));
        EXPECT_TRUE(r.Said("This feature is for MCU H/L32B and H/L64D only!"));
        EXPECT_TRUE(r.op.questions.empty());
        EXPECT_TRUE(r.CommandsSince(mark).empty());
        EXPECT_TRUE(r.session().IsLinkUp());
    }
    {
        FlashRig r(BoardOf(4));
        ASSERT_TRUE(r.Detect());
        r.window.TickPanes();
        EXPECT_EQ(r.window.DoubleClockPane(), "Double Clock OFF");
        const size_t mark = r.board().CommandLog().size();
        r.op.answers = {true};
        EXPECT_TRUE(r.Run(command::kDoubleClock));
        EXPECT_TRUE(r.Said("Double clock Completed!\nChip will be automatically redetected!"));
        EXPECT_EQ(ConfigFrames(r.CommandsSince(mark)), Frames{"04 08 55"});
        EXPECT_TRUE(r.board().DoubleClock());
        // The detection that follows reads the bit back from the chip's status.
        EXPECT_TRUE(r.session().IsLinkUp());
        EXPECT_TRUE(r.session().flags.doubleClockOn.load());
        EXPECT_EQ(r.window.DoubleClockPane(), "Double Clock ON");
    }
    {
        FlashRig r(BoardOf(6), kExternalMemory);
        ASSERT_TRUE(r.Detect());
        r.op.answers = {false};
        EXPECT_FALSE(r.Run(command::kDoubleClock));
        EXPECT_FALSE(r.board().DoubleClock());
        r.op.answers = {true};
        const size_t mark = r.board().CommandLog().size();
        EXPECT_TRUE(r.Run(command::kDoubleClock));
        EXPECT_EQ(ConfigFrames(r.CommandsSince(mark)).front(), "6A 6A");
        EXPECT_TRUE(r.board().DoubleClock());
    }
}

}  // namespace
}  // namespace tessel
