#include "commands/ConfigCommands.h"

#include <memory>
#include <optional>

#include "commands/DetectCommands.h"
#include "device/CDeviceSession.h"
#include "device/ChipCatalogue.h"
#include "device/CommandChecks.h"
#include "protocol/ConfigBits.h"
#include "transfer/ChipCheck.h"
#include "transfer/ImageLoaders.h"
#include "commands/Commands.h"
#include "commands/Target.h"

namespace tessel {

namespace {

constexpr char kProceedQuestion[] = "Do you really want to proceed?";
constexpr char kRedetected[] = "\nChip will be automatically redetected!";
constexpr char kNotDetectable[] = "\nChip can't be detected in internal memory mode!";

// The loader's last byte needs this long to be acted on before the link is reset.
constexpr uint32_t kConfigSettleMs = 20;


// The confirmation of a one-time change names what is about to burn, on which chip, before
// the question itself.
// Where the chip's answers cannot tell the chip from one of another family, the operator is
// the one who can: `alike` says so.
std::string OneTimeQuestion(const std::string& what, const std::string& bits, const char* model,
                            const char* question, std::string alike) {
    if (!alike.empty()) {
        // Appended, not "\n" + ...: GCC 12 warns wrongly of an overlap there.
        std::string line = "\n";
        line += AsSentence(alike + ": make sure the chip is " + model);
        alike = std::move(line);
    }
    return what + " on " + model + ": programs " + bits + ".\nOne-time: once programmed, it can never be cleared." +
           alike + "\n\n" + question;
}

std::string BitNames(const LockOption& o) {
    std::string out;
    for (uint8_t bit : o.bits) {
        if (bit == 0) break;
        if (!out.empty()) out += ", ";
        out += bit == security::kSB1 ? "SB1" : bit == security::kSB2 ? "SB2" : "SB3";
    }
    return (o.bits[1] ? "security bits " : "security bit ") + out;
}

std::string RemapBits(RemapChoice choice) {
    switch (choice) {
        case RemapChoice::Remap1K: return "remap bit RB0";
        case RemapChoice::Remap2K: return "remap bit RB1";
        case RemapChoice::Remap4K: return "remap bits RB0, RB1";
        case RemapChoice::SC0: return "configuration bit SC0";
        case RemapChoice::SC1: return "configuration bit SC1";
    }
    return "no bit";
}

std::vector<OptionMenuDialog::Choice> LockChoices(std::span<const LockOption> menu) {
    std::vector<OptionMenuDialog::Choice> out;
    for (const LockOption& o : menu) out.push_back({1063 + o.option, o.option, o.label});
    return out;
}

class ConfigCommands {
public:
    explicit ConfigCommands(Target& w) : w_(w) {}

    CDeviceSession& S() { return w_.Session(); }
    Operator& Op() { return w_.Op(); }
    LinkContext Link() { return LinkContext{S(), w_, nullptr}; }

    // A cleared status line, then a session and a link; false once the reason has been said.
    bool Ready() {
        w_.SetIapStatus("");
        w_.Refresh();
        return CheckCommandPreconditions(&S(), &Op(), CheckScope::ChipErase) == CheckOutcome::Proceed;
    }

    // The end of every change: the periodic link check keeps quiet, then the link is reset so
    // that the detection reads the new bits. The reset purges the output queue, so the
    // sequence's last bytes must have left first.
    void Announce() {
        LinkContext link = Link();
        DrainLine(link);
        quiet_->Begin();
        ResetLinkNow(w_);
    }

    // The loader answers none of the bit sequences: only the detection that follows reads
    // the bits back, so only then is the change reported done, or not confirmed.
    bool Confirm(bool confirmed, const std::string& done, const std::string& what) {
        if (confirmed) {
            Op().Inform(done);
            return true;
        }
        unconfirmed_ = true;
        S().flags.errorReported = true;
        Op().Fail(Fault::Unconfirmed, what + " not confirmed!\nThe detection after it did not read the new bits back from the chip; "
                   "they may or may not be programmed.");
        return false;
    }

    // Clears the long-operation flag and detects again; with the link still up the
    // detection returns at once.
    void Redetect() {
        quiet_->End();
        DetectWithSettings(w_);
    }

    // The menu's answer, or the option a request gives: a request for an option the menu does
    // not offer this chip is no answer at all.
    bool Choose(OptionMenuDialog& menu, std::optional<int> given) {
        if (given) return menu.ChooseOption(*given);
        return Op().RunDialog(menu) == DialogResult::Ok;
    }

    // The commands with their result line, in the command line's words.
    bool Lock(std::optional<int> given = std::nullopt) {
        Begin("");
        return Guarded([&] { return Told(LockChip(given)); });
    }
    bool Remap(std::optional<int> given = std::nullopt) {
        Begin("");
        return Guarded([&] { return Told(MemoryRemap(given)); });
    }
    bool Clock() {
        Begin("the double-clock bit");
        return Guarded([&] { return Told(DoubleClock()); });
    }

    bool LockChip(std::optional<int> given = std::nullopt) {
        if (!w_.Allows(RuledCommand::LockChip) || !Ready()) return false;
        uint8_t mask = 0;
        const bool sent = LockChipBody(&mask, given);
        Redetect();
        if (!sent) return false;
        const CDeviceSession& s = S();
        return Confirm(s.IsLinkUp() && (s.flags.lockStatus & mask) == mask, std::string("Set Lock Completed!") + kRedetected,
                       "Set Lock");
    }

    bool LockChipBody(uint8_t* mask, std::optional<int> given) {
        CDeviceSession& s = S();
        const int type = s.chipType;
        if (!IsKnownChipType(type)) return false;
        const bool typeA = IsTypeA(type);
        std::unique_ptr<OptionMenuDialog> dialog;
        if (typeA) dialog = std::make_unique<LockMenuTypeADialog>(Op());
        else dialog = std::make_unique<LockMenuDialog>(Op());
        if (!Choose(*dialog, given)) return false;
        what_ = "lock option " + std::to_string(dialog->Option());
        const int status = s.flags.lockStatus;
        const LockOption* chosen = FindLockOption(s.Chip().lockMenu, dialog->Option());
        if (!chosen) {
            Op().Fail("Set Lock Failed!");
            return false;
        }
        if (!ChipBearsOutType()) return false;
        if (!Ask(OneTimeQuestion(chosen->label, BitNames(*chosen), s.Chip().model, kProceedQuestion, alike_)))
            return false;
        LinkContext link = Link();
        const int result = ProgramLockBits(link, Op(), LockVariantFor(type, s.memoryMode), chosen, status);
        if (result == lock::kFailed) {
            Op().Fail("Set Lock Failed!");
            return false;
        }
        // A refusal has said why and sent no bit: nothing changed that a detection must read.
        if (result == lock::kRefused) return false;
        *mask = chosen->mask;
        Announce();
        return true;
    }

    bool MemoryRemap(std::optional<int> given = std::nullopt) {
        if (!w_.Allows(RuledCommand::MemoryRemap) || !Ready()) return false;
        CDeviceSession& s = S();
        const int type = s.chipType;
        RemapMenuDialog dialog(Op(), type);
        if (!Choose(dialog, given)) return false;
        const RemapOption* chosen = FindRemapOption(dialog.Option());
        // The dialog offers only the menu's options.
        if (!chosen) return false;
        what_ = std::string("remap option ") + chosen->name;
        if (!ChipBearsOutType()) {
            Redetect();
            return false;
        }
        if (!Ask(OneTimeQuestion(chosen->label, RemapBits(chosen->choice), s.Chip().model, kProceedQuestion, alike_)))
            return false;
        const bool internal = s.memoryMode == kInternalMemory;
        bool done = false;
        bool detect = true;
        if (IsHLChip(type) && (chosen->choice == RemapChoice::SC0 || chosen->choice == RemapChoice::SC1)) {
            const bool sc1 = chosen->choice == RemapChoice::SC1;
            if (!OffersRemap(s.Chip(), chosen->choice)) {
                Redetect();
                return false;
            }
            const std::string before = s.remapText;
            if (!ProgramConfig(sc1, internal)) {
                Redetect();
                return false;
            }
            const std::string name = sc1 ? "SC1" : "SC0";
            if (internal && (sc1 || s.Chip().sc0HidesLoader)) {
                // The loader hides itself once the bit is set and answers none of the bit's
                // frames: nothing can say that the bit took.
                quiet_->End();
                s.flags.errorReported = true;
                unconfirmed_ = true;
                Op().Warn(Fault::Unconfirmed,
                          name + " programmed, not confirmed: the boot loader answers none of the bit's frames and "
                          "hides itself in internal memory mode once the bit is set, so the bit cannot be read "
                          "back." + kNotDetectable);
                return false;
            }
            Redetect();
            const std::string expected = RemapText(s.Family(), static_cast<unsigned>(RemapBitsHL(before) |
                                                                                     (sc1 ? 0x02 : 0x01)));
            return Confirm(s.IsLinkUp() && RemapBitsHL(before) >= 0 && s.remapText == expected,
                           "Program " + name + " Completed!" + kRedetected, "Program " + name);
        } else if (IsTypeA(type) && !internal) {
            const int before = RemapBitsA(s.remapText);
            LinkContext link = Link();
            const bool sent = ProgramRemapBits(link, *chosen) == 0;
            if (sent) Announce();
            else Op().Fail("Memory Remap Failed!");
            Redetect();
            if (!sent) return false;
            const int after = RemapBitsA(s.remapText);
            return Confirm(s.IsLinkUp() && before >= 0 && after == (before | chosen->remapBits),
                           std::string("Memory Remap Completed!") + kRedetected, "Memory Remap");
        }
        if (detect) Redetect();
        else quiet_->End();
        return done;
    }

    // The H/L configuration bits as the detection shows them; both bits set and SC1 alone
    // read the same, taken as SC1 alone. -1 for a text it does not give.
    static int RemapBitsHL(const std::string& text) {
        for (unsigned bits = 0; bits < 3; ++bits)
            if (text == RemapText(ChipFamily::HL32B, bits)) return static_cast<int>(bits);
        return -1;
    }

    // The A-type remap bits as the detection shows them; -1 for a text it does not give.
    static int RemapBitsA(const std::string& text) {
        for (unsigned bits = 0; bits < 4; ++bits)
            if (text == RemapText(ChipFamily::A, bits)) return static_cast<int>(bits);
        return -1;
    }

    bool ProgramConfig(bool sc1, bool internal) {
        const std::string name = sc1 ? "SC1" : "SC0";
        LinkContext link = Link();
        bool sent;
        if (internal) sent = SendBytes(link, {0x04, 0x09, static_cast<uint8_t>(sc1 ? 0xAA : 0x5A)});
        else if (sc1) sent = SendBytes(link, {0x6C, 0x6C});
        else sent = SendBytes(link, {0x67, 0x67});
        if (!sent) {
            Op().Fail("Program " + name + " Failed!");
            return false;
        }
        quiet_->Begin();
        DrainLine(link);
        S().port.GetClock().SleepMs(kConfigSettleMs);
        Announce();
        return true;
    }

    bool DoubleClock() {
        CDeviceSession& s = S();
        if (IsTypeA(s.chipType)) {
            w_.Refuse("This feature is for MCU H/L32B and H/L64D only!");
            return false;
        }
        // Without a link the bytes would go to a target in an unknown state, or nowhere.
        if (!w_.Allows(RuledCommand::DoubleClock)) return false;
        bool done = false;
        if (ChipBearsOutType() && Ask(OneTimeQuestion("Double Clock", "the double-clock bit", s.Chip().model,
                                                      "Do you really want to set double clock?", alike_))) {
            LinkContext link = Link();
            bool sent = false;
            if (s.memoryMode == kInternalMemory) sent = SendBytes(link, {0x04, 0x08, 0x55});
            else if (s.memoryMode == kExternalMemory) sent = SendBytes(link, {0x6A, 0x6A});
            if (!sent) {
                Op().Fail("Double clock Failed!");
            } else {
                quiet_->Begin();
                DrainLine(link);
                s.port.GetClock().SleepMs(kConfigSettleMs);
                w_.TickPanes();
                DrainLine(link);
                ResetLinkNow(w_);
                done = true;
            }
        }
        Redetect();
        if (!done) return false;
        // Only the status the detection reads back says that the bit took.
        return Confirm(s.IsLinkUp() && s.flags.doubleClockOn, std::string("Double clock Completed!") + kRedetected,
                       "Double clock");
    }

private:
    // From the bits' frames to the detection that reads them back the periodic check keeps
    // away; the guard ends with the command whatever way it ends.
    template <typename Run>
    bool Guarded(Run run) {
        LongOperation quiet(S().flags, LongOperation::kLater);
        quiet_ = &quiet;
        const bool ok = run();
        quiet_ = nullptr;
        return ok;
    }
    void Begin(const std::string& what) {
        what_ = what;
        refusal_.clear();
        alike_.clear();
        declined_ = unconfirmed_ = false;
    }
    // A bit burnt on a chip of another type than the one chosen is another bit: the chip's
    // answers are held against the type before the question.
    bool ChipBearsOutType() {
        LinkContext link = Link();
        const ChipCheck check = CheckChipType(link, ChipCheckFor::Bits);
        if (!check.Ok()) {
            refusal_ = check.why;
            Op().Fail(ChipCheckRefusal(check, "Nothing was programmed."));
            return false;
        }
        alike_ = AlikeNote(S().chipType, check);
        return true;
    }
    bool Ask(const std::string& question) {
        if (Op().AskYesNo(question)) return true;
        declined_ = true;
        w_.NoteDeclined();
        return false;
    }
    // Nothing is said for a command that ended before an option was chosen: its box said why.
    bool Told(bool ok) {
        if (what_.empty()) return ok;
        if (ok) w_.SetResult(what_ + " programmed; the chip now reports " + w_.SecurityLine() +
                             (alike_.empty() ? "" : " (" + alike_ + ")"));
        else if (!refusal_.empty()) w_.SetResult(what_ + " refused: " + refusal_ + "; nothing was programmed");
        else if (declined_) w_.SetResult(what_ + " declined: nothing was programmed");
        else if (unconfirmed_) w_.SetResult(what_ + " sent, not confirmed");
        else w_.SetResult(what_ + " not programmed");
        return ok;
    }
    Target& w_;
    LongOperation* quiet_ = nullptr;  // the guard of the command under way
    std::string what_;
    bool declined_ = false;
    bool unconfirmed_ = false;
    std::string refusal_;  // why the chip's answers refused the chip type
    std::string alike_;    // which types of another family the chip's answers cannot rule out
};

}  // namespace

bool OptionMenuDialog::Click(int buttonId) {
    for (const Choice& c : choices) {
        if (c.buttonId != buttonId) continue;
        if (!c.enabled) return false;
        option_ = c.option;
        chosen_ = true;
        return true;
    }
    return false;
}

bool OptionMenuDialog::ChooseOption(int option) {
    for (const Choice& c : choices)
        if (c.option == option) return Click(c.buttonId);
    return false;
}

OkOutcome OptionMenuDialog::PressOk() {
    if (chosen_) return OkOutcome::CloseOk;
    op_.Warn(kChooseFirst);
    return OkOutcome::KeepOpen;
}

LockMenuTypeADialog::LockMenuTypeADialog(Operator& op) : OptionMenuDialog(op) {
    choices = LockChoices(LockMenu(ChipFamily::A));
}

LockMenuDialog::LockMenuDialog(Operator& op) : OptionMenuDialog(op) { choices = LockChoices(LockMenu(ChipFamily::HL64D)); }

RemapMenuDialog::RemapMenuDialog(Operator& op, int chipType) : OptionMenuDialog(op) {
    for (const RemapOption& o : RemapMenu())
        choices.push_back({o.buttonId, o.option, o.label, OffersRemap(LookupChip(chipType), o.choice)});
}

CommandResult ProgramLock(Target& target, LockChoice choice) {
    ConfigCommands c(target);
    // A choice the chip's menu does not have is no answer, as an option it does not offer is.
    const LockOption* option = FindLockChoice(target.Session().Chip().lockMenu, choice);
    return target.RunCommand([&] { return c.Lock(option ? option->option : -1); });
}

CommandResult RemapMemory(Target& target, RemapChoice choice) {
    ConfigCommands c(target);
    return target.RunCommand([&] { return c.Remap(RemapOptionOf(choice).option); });
}

CommandResult ToggleDoubleClock(Target& target) {
    ConfigCommands c(target);
    return target.RunCommand([&] { return c.Clock(); });
}

Actions ConfigActions(Target& target) {
    Actions out;
    auto c = std::make_shared<ConfigCommands>(target);
    Target* w = &target;
    out.emplace_back(Action::LockChip, [c, w] { w->SetCommandSucceeded(c->Lock()); });
    out.emplace_back(Action::MemoryRemap, [c, w] { w->SetCommandSucceeded(c->Remap()); });
    out.emplace_back(Action::DoubleClock, [c, w] { w->SetCommandSucceeded(c->Clock()); });
    return out;
}

}  // namespace tessel
