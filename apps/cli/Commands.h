#pragma once
// Each sub-command of `tessel` registers its options on the application and runs from a
// callback; exit codes are collected here so that --help and the README agree.

#include <CLI/CLI.hpp>

namespace tessel::cli {

enum ExitCode : int {
    kExitOk = 0,
    kExitFailed = 1,       // the command ran and the target or the file said no
    kExitUsage = 2,        // bad options or values
    kExitPortError = 3,    // the port could not be opened, or its device went away
    kExitNoTarget = 4,     // no boot loader answered
};

// True once a port used by this run has vanished (an adapter unplugged): whatever the
// command made of it, the exit status says so.
bool PortWentAway();
void NotePortWentAway();

// Where the chosen sub-command leaves its result.
struct RunState {
    int exitCode = kExitOk;
};

void AddBaudCommand(CLI::App& app, RunState& state);
void AddInfoCommands(CLI::App& app, RunState& state);
void AddDetectCommand(CLI::App& app, RunState& state);
void AddFlashCommands(CLI::App& app, RunState& state);
void AddConfigCommands(CLI::App& app, RunState& state);
void AddPasswordCommands(CLI::App& app, RunState& state);
void AddOperatorCommands(CLI::App& app, RunState& state);
// A hidden --completion-table that lists every command and option, for the build to generate
// the shell completion from; added last, when every command is defined.
void AddCompletionTable(CLI::App& app);

}  // namespace tessel::cli
