// tessel ledger: a station's ledger checked, written out as the JSON-lines log, or filled
// from the state file and log that a station kept before it had a ledger.

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <string_view>

#include "Commands.h"
#include "ledger/Ledger.h"
#include "platform/Console.h"
#include "platform/Paths.h"
#include "platform/SafeFile.h"

namespace tessel::cli {

namespace {

using ledger::Json;
using ledger::Ledger;

constexpr size_t kLogLimit = size_t{256} << 20;

struct LedgerOptions {
    std::string ledger;
    std::string file;   // export: where the log goes
    std::string state;  // import: the old state file
    std::string log;    // import: the old log
};

// The old state file: "next N" and a line end. Why not, or "".
std::string ParseState(const std::string& text, uint64_t* next) {
    const std::string_view head = "next ";
    const std::string_view digits = text.size() > head.size() + 1 && text.back() == '\n' && text.starts_with(head)
                                        ? std::string_view(text).substr(head.size(), text.size() - head.size() - 1)
                                        : std::string_view();
    if (digits.empty() || digits.size() > 20 || digits.find_first_not_of("0123456789") != std::string_view::npos ||
        (digits.size() > 1 && digits[0] == '0'))
        return "it does not hold \"next N\"";
    if (std::from_chars(digits.data(), digits.data() + digits.size(), *next).ec != std::errc() ||
        *next > 0x100000000ull)
        return "its number is beyond every serial number";
    return "";
}

// The ledger's records as the text of a log; false with res filled when it cannot be read.
bool ReadLedger(const LedgerOptions& o, const char* command, std::string* text, CommandResult& res, int* rc) {
    res.command = std::string("ledger ") + command;
    std::string why;
    std::error_code ec;
    // A ledger to read is not made here: a wrong name would check as an empty one.
    std::unique_ptr<Ledger> ledger;
    if (ledger::IsServerLedger(o.ledger) || std::filesystem::exists(o.ledger, ec))
        ledger = Ledger::Open(o.ledger, &why);
    else
        why = "the ledger " + o.ledger + ": there is no such file";
    std::vector<std::string> lines;
    if (!ledger || !ledger->Lines(&lines, &why)) {
        res.summary = std::string("ledger ") + command + ": " + why;
        *rc = kExitUsage;
        return false;
    }
    res.fields["ledger"] = ledger->Name();
    for (const std::string& line : lines) *text += line + "\n";
    return true;
}

int Check(const LedgerOptions& o, CommandResult& res) {
    std::string text;
    int rc = kExitOk;
    if (!ReadLedger(o, "check", &text, res, &rc)) return rc;
    return CheckRecords("ledger " + res.fields["ledger"].get<std::string>(), text, res);
}

int Export(const LedgerOptions& o, CommandResult& res) {
    std::string text;
    int rc = kExitOk;
    if (!ReadLedger(o, "export", &text, res, &rc)) return rc;
    std::string why;
    if (!WriteFileSafely(o.file, text, &why)) {
        res.summary = "ledger export: " + why;
        return kExitFailed;
    }
    res.fields["file"] = o.file;
    res.summary = "ledger export: " + std::to_string(std::count(text.begin(), text.end(), '\n')) + " records to " + o.file;
    return kExitOk;
}

int Import(const LedgerOptions& o, CommandResult& res) {
    res.command = "ledger import";
    std::string state, log, why;
    uint64_t next = 0;
    if (!ReadSmallFile(o.state, 64, &state, &why) || !ReadSmallFile(o.log, kLogLimit, &log, &why)) {
        res.summary = "ledger import: nothing was done: " + why;
        return kExitUsage;
    }
    if (why = ParseState(state, &next); !why.empty()) {
        res.summary = "ledger import: nothing was done: " + o.state + ": " + why;
        return kExitUsage;
    }
    // Only a log that checks is taken in: the ledger then vouches for the same chain.
    const ledger::LogWalk walk = ledger::WalkLog(log);
    if (walk.broken || walk.records == 0) {
        res.summary = "ledger import: nothing was done: " + o.log + ": " +
                      (walk.records ? "record " + std::to_string(walk.broken) + ": " + walk.why : "empty");
        return kExitUsage;
    }
    std::vector<std::string> lines;
    for (size_t at = 0; at < log.size();) {
        const size_t end = log.find('\n', at);
        lines.push_back(log.substr(at, end - at));
        at = end + 1;
    }
    // The state file and the log may disagree; the ledger goes on past both.
    if (walk.anySerial) next = std::max(next, walk.maxSerial + 1);
    std::unique_ptr<Ledger> ledger = Ledger::Open(o.ledger, &why);
    if (!ledger || !ledger->Import(lines, next, &why)) {
        res.summary = "ledger import: nothing was done: " + why;
        return kExitUsage;
    }
    res.fields["ledger"] = ledger->Name();
    res.fields["records"] = lines.size();
    res.fields["next_serial"] = next;
    // The station that kept them has stopped: what it left open is closed as unknown.
    for (const auto& [serial, record] : walk.open) {
        std::string line;
        const Json unknown = {{"time", ""}, {"host", console::HostName()}, {"result", "unknown"}, {"serial", serial},
                              {"reason", "reserved in record " + std::to_string(record) +
                                             " of the imported log by a run that ended before its board's outcome"}};
        if (!ledger->Append(unknown, &line, &why)) {
            res.summary = "ledger import: " + why;
            return kExitFailed;
        }
    }
    res.summary = "ledger import: " + std::to_string(lines.size()) + " records into " + ledger->Name() +
                  ", serial numbers go on from " + std::to_string(next);
    return kExitOk;
}

}  // namespace

void AddLedgerCommands(CLI::App& app, RunState& state) {
    auto o = std::make_shared<LedgerOptions>();
    o->ledger = UserStateDir() + "/station.sqlite";
    CLI::App* cmd = app.add_subcommand("ledger", "A station's ledger of serial numbers and boards: check it, "
                                                 "export it as a JSON-lines log, or import an older station's files");
    cmd->require_subcommand(1);
    auto ledgerOption = [&](CLI::App* sub) {
        sub->add_option("--ledger", o->ledger, "The ledger: an SQLite file or a postgresql:// URI");
    };
    CLI::App* check = cmd->add_subcommand(
        "check", "Check the ledger: its chain of records whole, every serial number given once and closed (exit 0), "
                 "or the first record that is not (exit 1)");
    ledgerOption(check);
    check->callback([o, &state] { state.exitCode = Check(*o, state.result); });
    CLI::App* exp = cmd->add_subcommand(
        "export", "Write the ledger's records to FILE as the JSON-lines log that tessel station --check-log checks");
    ledgerOption(exp);
    exp->add_option("file", o->file, "The log to write")->required();
    exp->callback([o, &state] { state.exitCode = Export(*o, state.result); });
    CLI::App* imp = cmd->add_subcommand(
        "import", "Take a station's state file and log into a new ledger, so that its history and numbers go on");
    imp->add_option("state", o->state, "The station's state file (\"next N\")")->required();
    imp->add_option("log", o->log, "The station's log, which must check whole")->required();
    ledgerOption(imp);
    imp->callback([o, &state] { state.exitCode = Import(*o, state.result); });
}

}  // namespace tessel::cli
