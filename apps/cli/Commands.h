#pragma once
// Each sub-command of `tessel` registers its options on the application and runs from a
// callback; exit codes are collected here so that --help and the README agree.

#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Events.h"

namespace tessel {
struct ImageData;
}

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

// How the target is reached. One set for the whole run: the options may stand before the
// sub-command or after it.
struct ConnectOptions {
    std::string port;
    std::string chip;  // default: the stand-in board's chip, else NX31A32
    std::string mode = "internal";
    uint32_t baud = 0;  // 0: the best rate for the crystal
    double crystal = 11.0592;
    std::string firmware;  // "": 1.1F, or what a stand-in board's name says
    std::string traceWire;
    std::string firmwareDir;  // looked in first for the target images
    bool yes = false;
    bool verbose = false;
    // One of several boards programmed side by side: nothing is asked at the terminal.
    bool sideBySide = false;
};

// Where the chosen sub-command leaves its result.
struct RunState {
    int exitCode = kExitOk;
    ConnectOptions connect;
    bool quiet = false;
    bool json = false;
    EventStream events;
    // The output files of the commands, for "-": standard output then carries the file, and
    // the text that would go there goes to stderr.
    std::vector<const std::string*> outputFiles;
    bool DataOnStdout() const {
        for (const std::string* f : outputFiles)
            if (*f == "-") return true;
        return false;
    }
    // Filled by the command; sent with the exit code as the run's last event.
    CommandResult result;
};

// A check that the option's value is one of `values`, which the shell completion then offers;
// `ignoreCase` takes any spelling and stores the one listed.
CLI::Option* OneOf(CLI::Option* opt, std::vector<std::string> values, bool ignoreCase = false);
// The values OneOf gave the option; null for an option with free values. A port option gets
// the one value "@ports": the ports present, found when completing.
const std::vector<std::string>* ChoicesOf(const CLI::Option* opt);
CLI::Option* PortValues(CLI::Option* opt);

// A whole number from `low` to `high`, refused as "--count must be 1 to 256" (with `extra`
// after it, e.g. what 0 means).
CLI::Validator Between(long long low, long long high, const std::string& extra = "");

// Help shows no default the option would refuse: none for a required option, a list, or a
// value outside the option's checks. Run once every command is defined.
void TidyDefaults(CLI::App& app);

// After a failed parse: a word where a command was due, answered with the nearest command
// ("unknown command 'dowload'; did you mean 'download'?"); empty when there was none.
std::string UnknownCommandText(const CLI::App& app);
// `word` where `at` (spelt `path`) wants one of its commands.
std::string UnknownCommandText(const CLI::App& at, const std::string& path, const std::string& word);
// After a failed parse: an option no level of the chosen command knows, answered with the
// nearest one ("tessel download: unknown option --verfy; did you mean --verify?"); empty when
// there was none.
std::string UnknownOptionText(const CLI::App& app);
// Help on a terminal as wide as it is (80 columns when it does not say), broken between words.
void SetHelpFormatter(CLI::App& app);
// The parser's errors as one sentence each ("--count must be 1 to 256").
void SetFailureMessage(CLI::App& app);

// A file the command will write: refused while the command line is read, before any port is
// opened, when it could not be written (a missing or read-only folder, a folder or a link in
// its place). With `standardOutput`, "-" is standard output.
CLI::Validator OutputFile(bool standardOutput);

// The crystal check shared by every option that takes a frequency: a number, and one the
// loaders' baud-rate search knows (1 to 40 MHz).
const CLI::Validator& CrystalCheck();

// -y, -v, -q and --json; with `connect`, also -p and the other ways to reach the target.
// Given on the application and on each sub-command, all bound to the same state.
void AddCommonOptions(CLI::App* cmd, RunState& state, bool connect);

void AddBaudCommand(CLI::App& app, RunState& state);
void AddInfoCommands(CLI::App& app, RunState& state);
void AddDetectCommand(CLI::App& app, RunState& state);
void AddFlashCommands(CLI::App& app, RunState& state);
void AddConfigCommands(CLI::App& app, RunState& state);
void AddPasswordCommands(CLI::App& app, RunState& state);
void AddOperatorCommands(CLI::App& app, RunState& state);
// The station and its ledger need SQLite and libpq, which the Windows build does not have.
void AddStationCommand(CLI::App& app, RunState& state);
void AddLedgerCommands(CLI::App& app, RunState& state);
// The verdict on chained records (a station's log, a ledger's export) named `what`: exit 0 when
// the chain is whole and every serial number was given once and closed, 1 naming the first
// record that is not.
int CheckRecords(const std::string& what, const std::string& text, CommandResult& res);

// Reads an image file as download, compare, upgrade-bsl and convert take it: "" when it may be
// used, otherwise why not. A file that is plainly no firmware can still be forced with "bin".
std::string ReadImageForCommand(const std::string& path, const std::string& format, ImageData* data);

// One board's download as `tessel download` runs it (detection, the plan asked of the rule
// book, erase, program, the steps after), from block 0's first sector.
struct BoardDownload {
    std::string file;
    std::string format = "auto";
    bool verify = false;
    bool run = false;
    bool changedOnly = false;
    int lockOption = 0;
    // Runs once the board answered and its plan was allowed, before the first byte that
    // changes it; false, with why, writes nothing.
    std::function<bool(std::string*)> beforeWrite;
};
int RunBoardDownload(const BoardDownload& d, const ConnectOptions& o, EventStream& events, CommandResult& res);
// `tessel help COMMAND...`: listed as a command; main turns it into COMMAND... --help before
// the parser sees it, so that no option of COMMAND is asked for.
void AddHelpCommand(CLI::App& app);
// A hidden --completion-table that lists every command and option, for the build to generate
// the shell completion from, and a hidden --completion-ports for the completion to list the
// ports present; added last, when every command is defined.
void AddCompletionTable(CLI::App& app);

}  // namespace tessel::cli
