#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "Commands.h"
#include "Interrupt.h"
#include "ConsoleView.h"
#include "JsonView.h"
#include "platform/PortList.h"
#include "commands/MessageAdvice.h"

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
    // A backup left behind means something it protects was erased: "nothing was done" would
    // be untrue whatever ended the command.
    if (!RecordedBackups().empty() && exit != kExitOk)
        return command + " stopped part-way after changing the chip" +
               (exit == kExitPortError ? ", " + port + " went away" : std::string()) +
               (error.empty() ? "" : ": " + error);
    switch (exit) {
        case kExitUsage: return command + ": nothing was done" + (error.empty() ? " (bad options)" : ": " + error);
        case kExitPortError:
            return command + ": nothing was done, " + port + " could not be opened" + (error.empty() ? "" : ": " + error);
        case kExitNoTarget: return command + ": nothing was done, no boot loader answered on " + port;
        case kExitFailed: return command + " failed" + (error.empty() ? "" : ": " + error);
        default: return std::string();
    }
}

// `tessel help download ...` as `tessel download ... --help`; false, after saying so, when a
// word names no command.
bool HelpAsOption(const CLI::App& app, std::vector<std::string>& args) {
    args.erase(args.begin());
    // Each word must name a command, or the help would be the one of the level above.
    const CLI::App* at = &app;
    std::string path = app.get_name();
    for (const std::string& word : args) {
        const CLI::App* sub = nullptr;
        for (const CLI::App* s : at->get_subcommands([](const CLI::App*) { return true; }))
            if (s->get_name() == word) sub = s;
        if (!sub) {
            std::fprintf(stderr, "%s\n", UnknownCommandText(*at, path, word).c_str());
            return false;
        }
        at = sub;
        path += " " + word;
    }
    args.push_back("--help");
    return true;
}

// What a refused command line ends with: the parser's message or ours, once, on the JSON
// stream too where one was asked for; the exit status.
int ParseFailed(CLI::App& app, const CLI::ParseError& e, int argc, char** argv) {
    std::string unknown = e.get_exit_code() == 0 ? std::string() : UnknownCommandText(app);
    if (unknown.empty() && e.get_exit_code() != 0) unknown = UnknownOptionText(app);
    int rc = 0;
    if (unknown.empty()) {
        rc = app.exit(e);
    } else {
        std::fprintf(stderr, "%s\n", unknown.c_str());
        rc = kExitUsage;
    }
    if (rc == 0) return 0;
    bool json = false;
    for (int i = 1; i < argc; ++i) json = json || std::string(argv[i]) == "--json";
    if (json) {
        CommandResult r;
        r.command = ChosenCommand(app);
        r.exit = kExitUsage;
        r.summary = unknown.empty() ? e.what() : unknown;
        JsonView(stdout).Result(r);
    }
    return kExitUsage;
}

// The command's one result, on every view: its line, its fields, the backups it left and
// what became of the output; the exit status.
int Finish(CLI::App& app, RunState& state) {
    CommandResult r = state.result;
    if (r.command.empty()) r.command = ChosenCommand(app);
    r.exit = state.exitCode;
    // An interrupted command has run its recovery by now; the result says it was stopped.
    if (InterruptSignal() != 0) {
        r.summary = InterruptionLine(r.exit == kExitOk ? r.summary : std::string());
        r.exit = InterruptExitCode(InterruptSignal());
    } else if (PortWentAway()) {
        r.exit = kExitPortError;
    }
    r.ok = r.exit == kExitOk;
    if (r.summary.empty()) r.summary = Fallback(r.command, r.exit, state.connect.port, state.events.LastError());
    // Every file that holds operator data not on the chip is named by the result, in its
    // text and as a list.
    if (const std::vector<std::string> backups = RecordedBackups(); !backups.empty()) {
        r.fields["backups"] = backups;
        std::vector<std::string> unnamed;
        for (const std::string& b : backups)
            if (r.summary.find(b) == std::string::npos) unnamed.push_back(b);
        if (!unnamed.empty()) r.summary += tessel::BackupsClause(unnamed);
    }
    state.events.Result(r);
    // Output that did not arrive (a reader that went away, a full disk) is the last thing said.
    if (const std::string lost = LostWrites(); !lost.empty()) {
        std::fprintf(stderr, "tessel: %s\n", lost.c_str());
        if (r.exit == kExitOk) return kExitFailed;
    }
    return r.exit;
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
    SetFailureMessage(app);
    SetHelpFormatter(app);
    RunState state;
    AddCommonOptions(&app, state, true);
    AddBaudCommand(app, state);
    AddInfoCommands(app, state);
    AddDetectCommand(app, state);
    AddFlashCommands(app, state);
    AddConfigCommands(app, state);
    AddPasswordCommands(app, state);
    AddOperatorCommands(app, state);
#ifndef _WIN32
    AddStationCommand(app, state);
    AddLedgerCommands(app, state);
#endif
    AddHelpCommand(app);
    AddCompletionTable(app);
    TidyDefaults(app);
    // Set last, so that the sub-commands do not inherit it: their help is about themselves.
    app.footer(
        "Options that reach the target (-p, --chip, --mode, -b/--baud, --crystal, --firmware, --trace-wire, "
        "--firmware-dir) and -y, -v, -q, --json may stand before the sub-command or after it. "
        "Exit status: 0 success, 1 the command ran and failed or a question was answered No, 2 refused with "
        "nothing changed (bad value, unusable file, a rule or a guard), 3 port not opened or gone, 4 no boot "
        "loader answered. "
        "`tessel help COMMAND` shows a command's options; man tessel gives the exit status, the files, the "
        "environment, examples and the JSON events.");
    InstallInterruptHandlers();
    // Port listings, serial:NUMBER and --all-usb read this tree instead of /dev and /sys.
    if (const char* tree = std::getenv("TESSEL_DEVICE_TREE")) tessel::SetDeviceTreeRoot(tree);
    // Every value has been checked by now, and no command has run yet.
    app.parse_complete_callback([&state] {
        const bool data = state.DataOnStdout();
        if (state.json && data)
            throw CLI::ValidationError("--json", "standard output cannot carry both the events and the file (-)");
        if (state.json) state.events.AddView(std::make_unique<JsonView>(stdout));
        state.events.AddView(std::make_unique<ConsoleView>(state.quiet, state.connect.verbose, state.json || data));
    });
    // `tessel help download` is `tessel download --help`; `tessel help --help` is about help.
    std::vector<std::string> args(argv + 1, argv + argc);
    const bool aboutHelp = std::find(args.begin(), args.end(), "--help") != args.end() ||
                           std::find(args.begin(), args.end(), "-h") != args.end();
    if (!args.empty() && args.front() == "help" && !aboutHelp && !HelpAsOption(app, args)) return kExitUsage;
    std::reverse(args.begin(), args.end());
    try {
        app.parse(args);
    } catch (const CLI::ParseError& e) {
        return ParseFailed(app, e, argc, argv);
    }
    return Finish(app, state);
}
