#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Commands.h"
#include "Connection.h"
#include "Gang.h"
#include "device/CDeviceSession.h"
#include "device/CommandChecks.h"
#include "protocol/ConfigBits.h"
#include "commands/Commands.h"
#include "commands/ConfigCommands.h"

namespace tessel::cli {

namespace {

struct ConfigRun {
    ConnectOptions connect;
    int option = -1;
    std::string remap;
};


// The commands of one-time bits.
enum class BitCommand { Lock, Remap, DoubleClock };

std::string OptionName(BitMenu menu, int option) {
    const RemapOption* remap = menu == BitMenu::Remap ? FindRemapOption(option) : nullptr;
    return remap ? remap->name : std::to_string(option);
}

// The menu the detected chip would show; null for a chip without one.
std::unique_ptr<OptionMenuDialog> MenuFor(BitMenu menu, int chipType, Operator& op) {
    if (menu == BitMenu::Remap) return std::make_unique<RemapMenuDialog>(op, chipType);
    if (IsTypeA(chipType)) return std::make_unique<LockMenuTypeADialog>(op);
    if (IsHLChip(chipType)) return std::make_unique<LockMenuDialog>(op);
    return nullptr;
}

}  // namespace

// An option the chip's menu does not offer is a usage error, found before anything is sent.
bool CheckMenuOption(BitMenu which, int option, Connection& link) {
    const CDeviceSession& s = link.Board().Session();
    std::unique_ptr<OptionMenuDialog> menu = MenuFor(which, s.chipType, link.Op());
    if (menu && menu->ChooseOption(option)) {
        if (which != BitMenu::Lock) return true;
        // The loader's menu would burn nothing and call it done; here it is a refusal, said
        // before the first byte of a download that would otherwise run ahead of it.
        const int lock = s.flags.lockStatus;
        const LockOption* chosen = FindLockOption(s.Chip().lockMenu, option);
        const char* refusal = chosen ? Level4Refusal(LockVariantFor(s.chipType, s.memoryMode), *chosen, lock) : nullptr;
        if (!refusal) return true;
        link.Events().Error(std::string(refusal) + " (lock option " + std::to_string(option) + " at lock status " +
                            LockStatusText(lock) + " would make " + s.Chip().model + " level 4)");
        return false;
    }
    std::string text = "option " + OptionName(which, option) + " is not offered for " + s.Chip().model;
    if (menu) {
        text += "; it offers:";
        for (const auto& c : menu->choices) {
            if (!c.enabled) continue;
            char line[160];
            std::snprintf(line, sizeof line, "\n  %-4s %s", OptionName(which, c.option).c_str(), c.label.c_str());
            text += line;
        }
    }
    link.Events().Error(text);
    return false;
}

namespace {

const char* CommandName(BitCommand command) {
    if (command == BitCommand::Lock) return "lock";
    if (command == BitCommand::Remap) return "remap";
    return "double-clock";
}

int RunConfig(ConfigRun& r, EventStream& events, CommandResult& res, BitCommand command) {
    res.command = CommandName(command);
    Connection link(r.connect, events);
    if (const int rc = link.ConnectReporting(); rc != kExitOk) return rc;
    // Whether the chip's state allows the command at all, before its menu option is looked at.
    const RuledCommand rule = command == BitCommand::Lock    ? RuledCommand::LockChip
                              : command == BitCommand::Remap ? RuledCommand::MemoryRemap
                                                             : RuledCommand::DoubleClock;
    if (const int rc = link.CheckRule(rule, false); rc != kExitOk) return rc;
    const BitMenu menu = command == BitCommand::Remap ? BitMenu::Remap : BitMenu::Lock;
    const std::string what = command == BitCommand::DoubleClock
                                 ? std::string("the double-clock bit")
                                 : std::string(res.command) + " option " + OptionName(menu, r.option);
    if (command != BitCommand::DoubleClock) {
        res.fields["option"] = OptionName(menu, r.option);
        if (!CheckMenuOption(menu, r.option, link)) return kExitUsage;
    }
    std::string alike;
    if (const int rc = link.CheckChipType(ChipCheckFor::Bits, &alike); rc != kExitOk) return rc;
    Target& w = link.Board();
    // The option was checked against the chip's menu above.
    const LockOption* lock = FindLockOption(w.Session().Chip().lockMenu, r.option);
    const RemapOption* remap = FindRemapOption(r.option);
    tessel::CommandResult done;
    if (command == BitCommand::Lock) done = lock ? ProgramLock(w, lock->choice) : done;
    else if (command == BitCommand::Remap) done = remap ? RemapMemory(w, remap->choice) : done;
    else done = ToggleDoubleClock(w);
    const bool ok = done.Ok();
    // After a change the chip has been detected again: the summary shows what it reports now.
    link.ReportChip(true);
    res.fields["security"] = w.SecurityLine();
    if (ok) res.summary = what + " programmed; the chip now reports " + w.SecurityLine() +
                          (alike.empty() ? "" : " (" + alike + ")");
    else if (events.Declined()) res.summary = what + " declined: nothing was programmed";
    else if (done.fault == Fault::Unconfirmed)
        // The bits went out: saying they were not programmed would be as wrong as saying they were.
        res.summary = what + " sent, not confirmed: " + link.FailureReason();
    else res.summary = what + " not programmed: " + link.FailureReason();
    return ok ? kExitOk : kExitFailed;
}

}  // namespace

std::vector<std::string> LockOptionNumbers() {
    std::vector<std::string> numbers;
    for (int o = 1; FindLockOption(LockMenu(ChipFamily::A), o) || FindLockOption(LockMenu(ChipFamily::HL64D), o); ++o)
        numbers.push_back(std::to_string(o));
    return numbers;
}

std::string LockOptionsHelp() {
    std::string help = "Menu option. A-type chips (NX31A16, NX31A32):";
    for (const LockOption& l : LockMenu(ChipFamily::A)) help += "\n  " + std::to_string(l.option) + "  " + l.label;
    help += "\nH/L chips:";
    for (const LockOption& l : LockMenu(ChipFamily::HL64D)) help += "\n  " + std::to_string(l.option) + "  " + l.label;
    return help;
}

void AddConfigCommands(CLI::App& app, RunState& state) {
    {
        auto r = std::make_shared<ConfigRun>();
        CLI::App* cmd = app.add_subcommand(
            "lock", "Program security bits (one-time: they cannot be cleared); the chip is detected again");
        auto g = std::make_shared<GangPorts>();
        AddGangConnectOptions(cmd, state, *g);
        OneOf(cmd->add_option("option", r->option, LockOptionsHelp())->required(), LockOptionNumbers());
        cmd->callback([r, g, &state] {
            const std::string change = "security bits are programmed (one-time: they cannot be cleared)";
            state.exitCode = RunOnPorts(state, *g, change,
                                        [r](const ConnectOptions& o, EventStream& events, CommandResult& res) {
                                            ConfigRun board = *r;
                                            board.connect = o;
                                            return RunConfig(board, events, res, BitCommand::Lock);
                                        });
        });
    }
    {
        auto r = std::make_shared<ConfigRun>();
        CLI::App* cmd = app.add_subcommand(
            "remap",
            "Program remap bits (A-type chips, external memory mode) or SC0/SC1 (H/L chips); one-time");
        AddCommonOptions(cmd, state, true);
        std::vector<std::string> names;
        for (const RemapOption& o : RemapMenu()) names.push_back(o.name);
        OneOf(cmd->add_option("option", r->remap,
                              "1k, 2k or 4k: remap 1, 2 or 4 KByte (A16/32); sc0: PROG-SC0 (H/L32B, H/L64D); "
                              "sc1: PROG-SC1 (H/L32B)")
                  ->required(),
              names);
        cmd->callback([r, &state] {
            for (const RemapOption& o : RemapMenu())
                if (r->remap == o.name) r->option = o.option;
            r->connect = state.connect;
            state.exitCode = RunConfig(*r, state.events, state.result, BitCommand::Remap);
        });
    }
    {
        auto r = std::make_shared<ConfigRun>();
        CLI::App* cmd =
            app.add_subcommand("double-clock", "Set the double-clock bit of an H/L chip (one-time)");
        AddCommonOptions(cmd, state, true);
        cmd->callback([r, &state] {
            r->connect = state.connect;
            state.exitCode = RunConfig(*r, state.events, state.result, BitCommand::DoubleClock);
        });
    }
}

}  // namespace tessel::cli
