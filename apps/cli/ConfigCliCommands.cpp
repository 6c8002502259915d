#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "Commands.h"
#include "Connection.h"
#include "Gang.h"
#include "device/CDeviceSession.h"
#include "protocol/ConfigBits.h"
#include "ui/ConfigCommands.h"

namespace tessel::cli {

namespace {

struct ConfigRun {
    ConnectOptions connect;
    GangPorts ports;  // lock: several boards side by side
    int option = -1;
    std::string remap;
};

const std::map<std::string, int> kRemapOptions = {
    {"1k", 1}, {"2k", 2}, {"4k", 3}, {"sc0", RemapMenuDialog::kSC0}, {"sc1", RemapMenuDialog::kSC1}};

std::string OptionName(int commandId, int option) {
    if (commandId != command::kMemoryRemap) return std::to_string(option);
    for (const auto& [name, value] : kRemapOptions)
        if (value == option) return name;
    return std::to_string(option);
}

// The menu the detected chip would show; null for a chip without one.
std::unique_ptr<OptionMenuDialog> MenuFor(int commandId, int chipType, Operator& op) {
    if (commandId == command::kMemoryRemap) return std::make_unique<RemapMenuDialog>(op, chipType);
    if (chipType == 1 || chipType == 2) return std::make_unique<LockMenuTypeADialog>(op);
    if (chipType >= 3 && chipType <= 6) return std::make_unique<LockMenuDialog>(op);
    return nullptr;
}

// An option the chip's menu does not offer is a usage error, found before anything is sent.
bool CheckOption(int commandId, int option, Connection& link) {
    const CDeviceSession& s = link.Window().Session();
    std::unique_ptr<OptionMenuDialog> menu = MenuFor(commandId, s.chipType, link.Op());
    if (menu && menu->ChooseOption(option)) return true;
    std::fprintf(stderr, "tessel: option %s is not offered for %s", OptionName(commandId, option).c_str(),
                 s.Chip().model);
    if (!menu) {
        std::fprintf(stderr, "\n");
        return false;
    }
    std::fprintf(stderr, "; it offers:\n");
    for (const auto& c : menu->choices)
        if (c.enabled) std::fprintf(stderr, "  %-4s %s\n", OptionName(commandId, c.option).c_str(), c.label.c_str());
    return false;
}

int RunConfig(ConfigRun& r, int commandId) {
    Connection link(r.connect);
    if (const int rc = link.ConnectReporting(); rc != kExitOk) return rc;
    // Whether the chip's state allows the command at all, before its menu option is looked at.
    if (const int rc = link.CheckRule(commandId, false); rc != kExitOk) return rc;
    if (commandId != command::kDoubleClock) {
        if (!CheckOption(commandId, r.option, link)) return kExitUsage;
        link.UseMenuOption(r.option);
    }
    MainDialog& w = link.Window();
    const bool ok = w.RunCommand(commandId);
    // After a change the chip has been detected again: the summary shows what it reports now.
    if (r.connect.lineSink) link.Print(w.SecurityLine());
    else link.View().PrintSummary();
    const CDeviceSession& s = link.Window().Session();
    if (IsHLFamily(s.Family()) && s.IsLinkUp()) {
        const std::string dc = std::string("Double Clock: ") + (s.flags.doubleClockOn ? "ON" : "OFF");
        if (r.connect.lineSink) link.Print(dc);
        else std::printf("%s\n", dc.c_str());
    }
    return ok ? kExitOk : kExitFailed;
}

std::string LockHelp() {
    std::string help = "Menu option. A-type chips (NX31A16, NX31A32):";
    for (int o = 1; const LockOption* l = FindLockOption(true, o); ++o)
        help += "\n  " + std::to_string(o) + "  " + l->label;
    help += "\nH/L chips:";
    for (int o = 1; const LockOption* l = FindLockOption(false, o); ++o)
        help += "\n  " + std::to_string(o) + "  " + l->label;
    return help;
}

}  // namespace

void AddConfigCommands(CLI::App& app, RunState& state) {
    {
        auto r = std::make_shared<ConfigRun>();
        CLI::App* cmd = app.add_subcommand(
            "lock", "Program security bits (one-time: they cannot be cleared); the chip is detected again");
        AddGangConnectOptions(cmd, r->connect, r->ports);
        cmd->add_option("option", r->option, LockHelp())->required()->check(CLI::Range(1, 6));
        cmd->callback([r, &state] {
            const std::string change = "security bits are programmed (one-time: they cannot be cleared)";
            state.exitCode = RunOnPorts(r->connect, r->ports, change, [r](const ConnectOptions& o) {
                ConfigRun board = *r;
                board.connect = o;
                return RunConfig(board, command::kLockChip);
            });
        });
    }
    {
        auto r = std::make_shared<ConfigRun>();
        CLI::App* cmd = app.add_subcommand(
            "remap",
            "Program remap bits (A-type chips, external memory mode) or SC0/SC1 (H/L chips); one-time");
        AddConnectOptions(cmd, r->connect);
        cmd->add_option("option", r->remap,
                        "1k, 2k or 4k: remap 1, 2 or 4 KByte (A16/32); sc0: PROG-SC0 (H/L32B, H/L64D); "
                        "sc1: PROG-SC1 (H/L32B)")
            ->required()
            ->check(CLI::IsMember({"1k", "2k", "4k", "sc0", "sc1"}));
        cmd->callback([r, &state] {
            r->option = kRemapOptions.at(r->remap);
            state.exitCode = RunConfig(*r, command::kMemoryRemap);
        });
    }
    {
        auto r = std::make_shared<ConfigRun>();
        CLI::App* cmd =
            app.add_subcommand("double-clock", "Set the double-clock bit of an H/L chip (one-time)");
        AddConnectOptions(cmd, r->connect);
        cmd->callback([r, &state] { state.exitCode = RunConfig(*r, command::kDoubleClock); });
    }
}

}  // namespace tessel::cli
