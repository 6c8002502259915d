#include <gtest/gtest.h>

#include <algorithm>

#include "device/CommandChecks.h"
#include "protocol/ConfigBits.h"
#include "support/FlashRig.h"

namespace tessel {
namespace {

using namespace test;

// What the command put on the wire, detection's own frames left out.
std::vector<std::string> ConfigFrames(const std::vector<std::string>& log) {
    static const std::vector<std::string> kCodes = {"04", "02", "6B", "67", "6A", "6C"};
    std::vector<std::string> out;
    for (const std::string& l : log)
        if (std::find(kCodes.begin(), kCodes.end(), l.substr(0, 2)) != kCodes.end()) out.push_back(l);
    return out;
}

using Frames = std::vector<std::string>;

TEST(LockChip, EachVariantBurnsTheOptionsBitsAndTheDetectionShowsTheNewLevel) {
    struct Case {
        int chipType, memoryMode, option;
        Frames wire;
        uint8_t bits;
        const char* line;
        uint8_t security = 0;  // already programmed
    };
    const Case cases[] = {
        {2, kExternalMemory, 2, {"04 00", "04 01", "6B 6B"}, 0xC0, "SECURITY : CHIP IS LEVEL3 HARDLOCKED (FCST[7:5]:110)"},
        {3, kInternalMemory, 2, {"04 03 FF", "04 05 FF", "6B 6B"}, 0x60, "SECURITY : CHIP IS LEVEL3 HARDLOCKED (FCST[7:5]: 011)"},
        {5, kInternalMemory, 1, {"04 0F FF", "6B 6B"}, 0x80, "SECURITY : CHIP IS LEVEL2 SOFTLOCKED (FCST[7:5]:100)"},
        {1, kExternalMemory, 5, {"04 02", "6B 6B"}, 0x20,
         "SECURITY : CHIP IS LEVEL3 SOFTLOCKED BLK0 & HARDLOCKED BLK1 (FCST[7:5]:001)"},
        // The status the A-type chip refuses is allowed on an H/L chip.
        {3, kInternalMemory, 4, {"04 03 FF", "6B 6B"}, 0x60, "SECURITY : CHIP IS LEVEL3 HARDLOCKED (FCST[7:5]: 011)",
         0x20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "chip " << c.chipType << " option " << c.option);
        DetectedRig r(BoardOf(c.chipType, c.security), c.memoryMode);
        r.menuOption = c.option;
        EXPECT_TRUE(r.RunYes(command::kLockChip));
        EXPECT_EQ(r.menusSeen, Frames{c.chipType <= 2 ? "LockMenuTypeADialog" : "LockMenuDialog"});
        // The question names what is about to burn before it burns.
        ASSERT_EQ(r.op.questions.size(), 1u);
        const LockOption* o = FindLockOption(LookupChip(c.chipType).lockMenu, c.option);
        EXPECT_TRUE(r.op.questions[0].starts_with(std::string(o->label) + " on " + LookupChip(c.chipType).model +
                                                  ": programs security bit"))
            << r.op.questions[0];
        EXPECT_TRUE(r.Said("Set Lock Completed!\nChip will be automatically redetected!"));
        EXPECT_EQ(ConfigFrames(r.LastCommands()), c.wire);
        EXPECT_EQ(r.board().SecurityBits(), c.bits);
        // Re-detected: the session holds what the chip now reports, and the quiet period is over.
        EXPECT_EQ(r.session().flags.lockStatus.load(), c.bits);
        EXPECT_EQ(r.window.SecurityLine(), c.line);
        EXPECT_FALSE(r.session().flags.longOperation.load());
    }
}

// Every way Lock Chip ends without burning what was asked, each saying why; the chip's bits
// stay as they were. The states where the rule book refuses it are checked, with Memory
// Remap's, by HandlerRules.EveryCellTheRuleBookForbidsSendsNothing.
TEST(LockChip, NothingBurnsWithoutALinkAnAllowedStateAChoiceAYesOrALegalLevel) {
    struct Case {
        const char* why;
        int chip, mode;
        uint8_t security;
        int option;             // -1: OK pressed with nothing chosen
        bool linked, yes;
        uint64_t refuseWrite;   // this write call of the command is refused; 0: none
        std::string says;       // the message, or the question when it is declined
        Frames wire;            // the configuration frames sent
        bool menu = true;       // false: refused before the menu, with nothing at all sent
    };
    const Case cases[] = {
        // SB1 set plus SB2 and SB3 would be all three. (In external memory mode a chip with
        // any lock bit set takes no Lock Chip at all, so the guard is met in internal mode.)
        {"level 4", 3, kInternalMemory, 0x80, 2, true, true, 0, "Can't set level4 lock!", {"6B 6B"}},
        // The second byte of SB2's frame refused (after the six of the chip-type check: the
        // block-0 select and a read): the 04h alone is no frame the loader acts on, SB3 is
        // never sent, but the sequence is still closed.
        {"refused write", 3, kInternalMemory, 0, 2, true, true, 8, "Set Lock Failed!", {"04 6B 6B"}},
        // The menu itself refuses OK without a choice, so the operator can only choose or cancel.
        {"no choice", 3, kInternalMemory, 0, -1, true, true, 0, OptionMenuDialog::kChooseFirst, {}},
        {"declined", 3, kInternalMemory, 0, 1, true, false, 0,
         "L2 Soft Lock Block 0, 1 (PROG-SB1) on NX31H64D: programs security bit SB1.\n"
         "One-time: once programmed, it can never be cleared.\n\nDo you really want to proceed?", {}},
        {"no link", 2, kInternalMemory, 0, 1, false, true, 0, kNoTargetBoard, {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.why << ", chip " << c.chip);
        FlashRig r(BoardOf(c.chip, c.security), c.mode);
        ASSERT_TRUE(!c.linked || r.Detect());
        r.menuOption = c.option;
        if (c.refuseWrite) r.RefuseWrite(c.refuseWrite);
        EXPECT_FALSE(r.RunYes(command::kLockChip, {c.yes}));
        // A refused write and a missing link are faults; every other case is a refusal the
        // operator can act on.
        const MessageKind kind = c.refuseWrite || !c.linked ? MessageKind::Error : MessageKind::Warning;
        EXPECT_TRUE(c.yes ? r.Said(c.says, kind) : r.op.questions == Frames{c.says}) << c.says;
        EXPECT_TRUE(r.op.questions.empty() || (c.menu && c.option >= 0)) << "asked before the menu's choice";
        EXPECT_EQ(ConfigFrames(r.LastCommands()), c.wire);
        EXPECT_TRUE(c.menu || r.LastCommands().empty()) << "sent before the menu";
        EXPECT_EQ(r.menusSeen.empty(), !c.menu);
        EXPECT_EQ(r.board().SecurityBits(), c.security);
        EXPECT_EQ(r.session().IsLinkUp(), c.linked) << "nothing changed, so the link is not reset";
    }
}

TEST(OptionMenus, TheRemapMenuOffersWhatTheChipHas) {
    test::RecordingOperator op;
    struct Case { int chipType; std::vector<int> enabled; };
    for (const Case& c : {Case{1, {1, 2, 3}}, {2, {1, 2, 3}}, {4, {0}}, {3, {0}}, {5, {0, 4}}, {6, {0, 4}}}) {
        std::vector<int> on;
        for (const auto& choice : RemapMenuDialog(op, c.chipType).choices)
            if (choice.enabled) on.push_back(choice.option);
        std::sort(on.begin(), on.end());
        EXPECT_EQ(on, c.enabled) << "chip " << c.chipType;
    }
    // The window greys SC0 out on an A-type chip (DialogsGui); a click that reaches it anyway is refused.
    EXPECT_FALSE(RemapMenuDialog(op, 2).Click(1074));
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
        bool ok = linkAfter;  // reported success
        uint64_t refuseWrite = 0;
    };
    const Case cases[] = {
        {2, kExternalMemory, 3, {"02 00", "02 01", "6B 6B"}, 0x03,
         "Memory Remap Completed!\nChip will be automatically redetected!", true},
        {3, kExternalMemory, RemapOptionOf(RemapChoice::SC0).option, {"67 67"}, 0x01,
         "Program SC0 Completed!\nChip will be automatically redetected!", true},
        {5, kInternalMemory, RemapOptionOf(RemapChoice::SC0).option, {"04 09 5A"}, 0x01,
         "Program SC0 Completed!\nChip will be automatically redetected!", true},
        // These two hide the loader in internal memory mode: no detection follows, and with
        // nothing to read the bit back the command cannot report success.
        {3, kInternalMemory, RemapOptionOf(RemapChoice::SC0).option, {"04 09 5A"}, 0x01,
         "SC0 programmed, not confirmed: ", false},
        {6, kInternalMemory, RemapOptionOf(RemapChoice::SC1).option, {"04 09 AA"}, 0x02,
         "SC1 programmed, not confirmed: ", false},
        // The first write after the chip-type check's ten (a select and two reads) refused:
        // nothing is programmed and the link stays.
        {5, kInternalMemory, RemapOptionOf(RemapChoice::SC1).option, {}, 0, "Program SC1 Failed!", true, false, 11},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "chip " << c.chipType << " option " << c.option);
        DetectedRig r(BoardOf(c.chipType), c.memoryMode);
        r.menuOption = c.option;
        if (c.refuseWrite) r.RefuseWrite(c.refuseWrite);
        r.op.ClearFault();
        EXPECT_EQ(r.RunYes(command::kMemoryRemap), c.ok);
        EXPECT_EQ(r.op.FirstFault() == Fault::Unconfirmed, !c.linkAfter) << "sent, and nothing could read it back";
        EXPECT_TRUE(r.Said(c.message) || r.op.messages.back().starts_with(c.message)) << r.op.messages.back();
        // The external-mode link reset sends 6Bh 6Bh of its own, but to a chip in reset.
        EXPECT_EQ(ConfigFrames(r.LastCommands()), c.wire);
        EXPECT_EQ(r.board().RemapBits(), c.bits);
        EXPECT_EQ(r.session().IsLinkUp(), c.linkAfter);
        EXPECT_FALSE(r.session().flags.longOperation.load());
    }
}

// An A-type chip's refusal is a row of HandlerRules.TheOtherCommandsRefuseInTheirOwnWordsAndSendNothing.
TEST(DoubleClock, SetsTheBitAndShowsThePane) {
    for (const int mode : {kInternalMemory, kExternalMemory}) {
        DetectedRig r(BoardOf(mode == kInternalMemory ? 4 : 6), mode);
        r.window.TickPanes();
        EXPECT_EQ(r.window.DoubleClockPane(), "Double Clock OFF");
        EXPECT_FALSE(r.RunYes(command::kDoubleClock, {false}));
        EXPECT_TRUE(r.RunYes(command::kDoubleClock));
        EXPECT_TRUE(r.Said("Double clock Completed!\nChip will be automatically redetected!"));
        EXPECT_EQ(ConfigFrames(r.LastCommands()).front(), mode == kInternalMemory ? "04 08 55" : "6A 6A");
        EXPECT_TRUE(r.board().DoubleClock());
        // The detection that follows reads the bit back from the chip's status.
        EXPECT_EQ(r.window.DoubleClockPane(), "Double Clock ON");
    }
}

// The level-4 guard on its own, as the command line's plan asks it before the first byte: on
// the A types SB2 with SB3 (60h) is level 4 already; elsewhere only all three bits are.
TEST(Level4Guard, EachVariantKnowsItsOwnLevel4) {
    const struct { LockVariant variant; bool typeA; int option, status; bool refused; } rows[] = {
        {LockVariant::A, true, 4, 0x20, true},           // SB2 onto SB3: 60h
        {LockVariant::A, true, 5, 0x40, true},           // SB3 onto SB2: 60h
        {LockVariant::A, true, 4, 0x00, false},
        {LockVariant::Internal, false, 5, 0xC0, true},   // E0h
        {LockVariant::Internal, false, 4, 0x20, false},  // 60h is no level 4 on the H/L chips
    };
    for (const auto& r : rows)
        EXPECT_EQ(Level4Refusal(r.variant, *FindLockOption(LockMenu(r.typeA ? ChipFamily::A : ChipFamily::HL64D), r.option),
                                r.status) != nullptr, r.refused)
            << r.option << " at " << r.status;
}

}  // namespace
}  // namespace tessel
