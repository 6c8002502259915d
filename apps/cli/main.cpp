#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "Commands.h"
#include "Interrupt.h"
#include "ConsoleView.h"
#include "JsonView.h"
#include "platform/PortList.h"

namespace {

using namespace tessel::cli;

// The name a result carries when the command did not give one: "password change".
std::string ChosenCommand(CLI::App& app) {
    std::string name;
    for (CLI::App* sub = &app; sub;) {
        const auto chosen = sub->get_subcommands();
        if (chosen.empty()) break;
        sub = chosen.front();
        name += (name.empty() ? "" : " ") + sub->get_name();
    }
    return name;
}

// A failure that stopped before the command could say anything of its own; `error` is the
// last error said, if any.
std::string Fallback(const std::string& command, int exit, const std::string& port, const std::string& error) {
    switch (exit) {
        case kExitUsage: return command + ": nothing was done" + (error.empty() ? " (bad options)" : ": " + error);
        case kExitPortError: return command + ": nothing was done, " + port + " could not be opened";
        case kExitNoTarget: return command + ": nothing was done, no boot loader answered on " + port;
        case kExitFailed: return command + " failed" + (error.empty() ? "" : ": " + error);
        default: return std::string();
    }
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"tessel: in-application programming of Norvik51 microcontrollers through "
                 "their boot-strap loader"};
    app.set_version_flag("--version", std::string("tessel ") + TESSEL_VERSION);
    // Usage lines name the program, not the path it was started from: the man page shows them.
    app.name("tessel");
    app.require_subcommand(1);
    app.option_defaults()->always_capture_default();
    app.footer(
        "Options that reach the target (-p, --chip, --mode, --baud, --crystal, --firmware, --trace-wire, "
        "--firmware-dir) and "
        "-y, -v, -q, --json may stand before the sub-command or after it.\n"
        "Exit status: 0 success; 1 the command failed (the target or the file refused, a compare differed, "
        "a question was answered No, a wrong password); "
        "2 bad options; 3 the port could not be opened or its device went away (unplugged); 4 no boot loader "
        "answered.");
    RunState state;
    AddCommonOptions(&app, state, true);
    AddBaudCommand(app, state);
    AddInfoCommands(app, state);
    AddDetectCommand(app, state);
    AddFlashCommands(app, state);
    AddConfigCommands(app, state);
    AddPasswordCommands(app, state);
    AddOperatorCommands(app, state);
    AddCompletionTable(app);
    InstallInterruptHandlers();
    // Port listings, serial:NUMBER and --all-usb read this tree instead of /dev and /sys.
    if (const char* tree = std::getenv("TESSEL_DEVICE_TREE")) tessel::SetDeviceTreeRoot(tree);
    // Every value has been checked by now, and no command has run yet.
    app.parse_complete_callback([&state] {
        if (state.json) state.events.AddView(std::make_unique<JsonView>(stdout));
        state.events.AddView(std::make_unique<ConsoleView>(state.quiet, state.connect.verbose, state.json));
    });
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        if (rc == 0) return 0;
        bool json = false;
        for (int i = 1; i < argc; ++i) json = json || std::string(argv[i]) == "--json";
        if (json) {
            CommandResult r;
            r.command = ChosenCommand(app);
            r.exit = kExitUsage;
            r.summary = e.what();
            JsonView(stdout).Result(r);
        }
        return kExitUsage;
    }
    CommandResult r = state.result;
    if (r.command.empty()) r.command = ChosenCommand(app);
    r.exit = state.exitCode;
    // An interrupted command has run its recovery by now; the result says it was stopped.
    if (InterruptSignal() != 0) {
        r.exit = InterruptExitCode(InterruptSignal());
        r.summary = InterruptionLine();
    } else if (PortWentAway()) {
        r.exit = kExitPortError;
    }
    r.ok = r.exit == kExitOk;
    if (r.summary.empty()) r.summary = Fallback(r.command, r.exit, state.connect.port, state.events.LastError());
    state.events.Result(r);
    return r.exit;
}
