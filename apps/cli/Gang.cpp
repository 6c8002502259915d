#include "Gang.h"


#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <iostream>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "ConsoleView.h"
#include "Interrupt.h"
#include "JsonView.h"
#include "platform/Console.h"
#include "platform/Paths.h"
#include "platform/PortList.h"
#include "platform/SerialDevice.h"
#include "platform/SafeFile.h"

namespace tessel::cli {

namespace {

// The terminal shared by the boards' threads. On a terminal each board keeps one line, redrawn
// in place; on a pipe each line is written as it comes, with the board's port in front.
class GangConsole {
public:
    GangConsole(const std::vector<std::string>& ports, bool tty) : ports_(ports), rows_(ports.size()), tty_(tty) {
        for (const auto& p : ports_) width_ = std::max(width_, p.size());
        if (!tty_) return;
        std::lock_guard<std::mutex> lock(mutex_);
        for (size_t i = 0; i < rows_.size(); ++i) std::fprintf(stderr, "%s\n", RowText(i).c_str());
        std::fflush(stderr);
    }

    void Line(size_t board, const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!tty_) {
            // Every line of a message carries the port, so that a log can be sorted by board.
            for (size_t at = 0; at <= text.size();) {
                size_t end = text.find('\n', at);
                if (end == std::string::npos) end = text.size();
                std::fprintf(stderr, "%-*s  %s\n", static_cast<int>(width_), ports_[board].c_str(),
                             text.substr(at, end - at).c_str());
                at = end + 1;
            }
            return;
        }
        std::string note = text;
        std::replace(note.begin(), note.end(), '\n', ' ');
        rows_[board].note = note;
        DrawLocked(board);
    }

    void Progress(size_t board, const std::string& label, int percent) {
        std::lock_guard<std::mutex> lock(mutex_);
        Row& row = rows_[board];
        const bool newLabel = label != row.label;
        row.label = label;
        row.percent = percent;
        if (tty_) DrawLocked(board);
        else if (newLabel && !label.empty())
            std::fprintf(stderr, "%-*s  %s\n", static_cast<int>(width_), ports_[board].c_str(), label.c_str());
    }

private:
    struct Row {
        std::string label;
        int percent = -1;
        std::string note;
    };

    std::string RowText(size_t i) const {
        const Row& r = rows_[i];
        char bar[64] = "";
        if (r.percent >= 0) {
            const int filled = r.percent * 20 / 100;
            std::snprintf(bar, sizeof bar, "[%.*s%*s] %3d%%", filled, "####################", 20 - filled, "",
                          r.percent);
        }
        char head[512];
        std::snprintf(head, sizeof head, "%-*s  %-10.10s %-27s ", static_cast<int>(width_), ports_[i].c_str(),
                      r.label.c_str(), bar);
        std::string text = head + r.note;
        // One screen line per board, or the lines below would move.
        if (text.size() > 118) text.resize(118);
        return text;
    }

    void DrawLocked(size_t i) {
        const size_t up = rows_.size() - i;
        std::fprintf(stderr, "\x1b[%zuA\r\x1b[2K%s\x1b[%zuB\r", up, RowText(i).c_str(), up);
        std::fflush(stderr);
    }

    std::mutex mutex_;
    std::vector<std::string> ports_;
    std::vector<Row> rows_;
    bool tty_;
    size_t width_ = 4;
};

const char* Meaning(int rc) {
    switch (rc) {
        case kExitOk: return "ok";
        case kExitUsage: return "failed: bad options";
        case kExitPortError: return "failed: port not opened";
        case kExitNoTarget: return "failed: no boot loader";
        default: return "failed";
    }
}

std::string Trimmed(const std::string& text) {
    std::string t = text;
    while (!t.empty() && (t.back() == '\n' || t.back() == ' ')) t.pop_back();
    return t;
}

// One board's events on its line of the shared console.
class BoardLineView : public EventView {
public:
    BoardLineView(GangConsole& console, size_t board, bool quiet) : console_(console), board_(board), quiet_(quiet) {}

    void PhaseStarted(const Phase& p) override { console_.Progress(board_, p.label, 0); }
    void PhaseProgress(const Phase& p) override { console_.Progress(board_, p.label, p.Percent()); }
    void PhaseEnded(const Phase& p) override {
        console_.Progress(board_, p.label, p.ok ? 100 : p.Percent());
        if (p.failure) console_.Line(board_, ConsoleView::FailureLine(*p.failure));
    }
    void Message(const std::string& text) override {
        if (!quiet_) console_.Line(board_, Trimmed(text));
    }
    void Question(const std::string& text, bool answer, AnswerSource source) override {
        if (quiet_) return;
        console_.Line(board_, Trimmed(text) + " [y/N] " +
                                  (source == AnswerSource::Option ? (answer ? "yes (--yes)" : "no") : "no (not asked)"));
    }
    void Notice(const std::string& text, int) override {
        if (!quiet_) console_.Line(board_, text);
    }
    void Error(const std::string& text) override { console_.Line(board_, "tessel: " + text); }
    void Trace(const std::string& text) override { console_.Line(board_, "trace: " + text); }
    void Chip(const ChipReport& c) override {
        if (c.show && !quiet_) console_.Line(board_, c.model + " " + c.firmware + ": " + c.security);
    }
    void Output(const std::string& text) override { console_.Line(board_, Trimmed(text)); }

private:
    GangConsole& console_;
    size_t board_;
    bool quiet_;
};

struct BoardResult {
    int rc = kExitFailed;
    CommandResult result;
    double seconds = 0;
};

}  // namespace

std::string DeviceIdentity(const std::string& port) {
    if (IsSchemeName(port, "sim")) return port;
    const std::string path = ResolvePortName(port);
    return ResolvedPath(path);
}

namespace {

// The chip the detection is run for, as the table names it.
std::string ChipFor(const ConnectOptions& o) {
    if (!o.chip.empty()) return o.chip;
    const size_t colon = o.port.find(':');
    if (IsSchemeName(o.port, "sim") && colon != std::string::npos) {
        const std::string rest = o.port.substr(colon + 1);
        return rest.substr(0, rest.find(':'));
    }
    return "NX31A32";
}

}  // namespace

void AddGangConnectOptions(CLI::App* cmd, RunState& state, GangPorts& g) {
    AddCommonOptions(cmd, state, true);
    cmd->remove_option(cmd->get_option("--port"));
    PortValues(cmd->add_option("-p,--port", g.ports,
                               "Serial port: a device path, COMn, serial:NUMBER (a USB adapter's serial number), "
                               "or sim[:CHIP[:FIRMWARE]]; give it more than once to program several boards side "
                               "by side; default: the one USB serial adapter present")
                   ->allow_extra_args(false)
                   ->type_size(1));
    cmd->add_option("--ports-from", g.portsFrom, "Read the ports from FILE, one a line (# starts a comment)");
    cmd->add_flag("--all-usb", g.allUsb, "Run on every USB serial adapter present (`tessel ports` lists them)");
}

constexpr size_t kPortListLimit = 64 * 1024;

bool CollectPorts(const GangPorts& g, const std::string& globalPort, EventStream& events,
                  std::vector<std::string>* out) {
    std::vector<std::string> ports = g.ports;
    if (ports.empty() && !globalPort.empty()) ports.push_back(globalPort);
    if (!g.portsFrom.empty()) {
        // A list of ports is short; a FIFO or /dev/zero given by mistake must not hang the run.
        std::string text, error;
        if (!ReadSmallFile(g.portsFrom, kPortListLimit, &text, &error)) {
            events.Error("cannot read the port list " + error);
            return false;
        }
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) {
            const size_t a = line.find_first_not_of(" \t\r");
            if (a == std::string::npos || line[a] == '#') continue;
            const size_t b = line.find_last_not_of(" \t\r");
            ports.push_back(line.substr(a, b - a + 1));
        }
    }
    if (g.allUsb) {
        const size_t before = ports.size();
        for (const PortEntry& p : ListSerialPorts())
            if (p.usb) ports.push_back(p.name);
        if (ports.size() == before) {
            events.Error("--all-usb: no USB serial adapter is present (`tessel ports` lists the serial devices)");
            return false;
        }
    }
    if (ports.empty() && !g.portsFrom.empty()) {
        events.Error("the port list " + g.portsFrom + " names no port");
        return false;
    }
    std::set<std::string> seen;
    for (const auto& p : ports) {
        if (!seen.insert(DeviceIdentity(p)).second) {
            events.Error("the port " + p + " is named twice");
            return false;
        }
    }
    *out = std::move(ports);
    return true;
}

int RunGang(RunState& state, const ConnectOptions& given, const std::vector<std::string>& ports,
            const std::string& change, const BoardJob& job) {
    ConnectOptions base = given;
    base.sideBySide = true;
    if (!base.traceWire.empty()) {
        state.events.Error("--trace-wire records one port; name one --port with it");
        return kExitUsage;
    }
    if (!change.empty() && !base.yes) {
        // One question before any board starts; while they run nothing is asked.
        if (!console::IsTerminal(console::Stream::Input)) {
            state.events.Error(std::to_string(ports.size()) + " boards are changed side by side: give --yes");
            return kExitUsage;
        }
        std::string question = std::to_string(ports.size()) + " boards (";
        for (size_t i = 0; i < ports.size(); ++i) question += (i ? ", " : "") + ports[i];
        question += "): " + change + ". Proceed on all of them?";
        std::fprintf(stderr, "%s [y/N] ", question.c_str());
        std::fflush(stderr);
        std::string answer;
        const bool yes =
            WaitForInputLine() && std::getline(std::cin, answer) && (answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes");
        state.events.Question(question, yes, AnswerSource::Terminal);
        if (!yes) {
            state.result.summary = "nothing was done on any board: declined";
            return kExitFailed;
        }
        base.yes = true;
    }

    GangConsole console(ports, console::CanRedraw(console::Stream::Error));
    // Standard output is shared by the boards' JSON views: one whole line at a time.
    std::mutex jsonLines;
    std::vector<BoardResult> results(ports.size());
    std::vector<std::thread> threads;
    threads.reserve(ports.size());
    for (size_t i = 0; i < ports.size(); ++i) {
        threads.emplace_back([&, i] {
            ConnectOptions o = base;
            o.port = ports[i];
            BoardResult& result = results[i];
            EventStream events;
            if (state.json) events.AddView(std::make_unique<JsonView>(stdout, ports[i], &jsonLines));
            events.AddView(std::make_unique<BoardLineView>(console, i, state.quiet));
            const auto t0 = std::chrono::steady_clock::now();
            try {
                result.rc = job(o, events, result.result);
            } catch (const std::exception& e) {
                result.rc = kExitFailed;
                events.Error(e.what());
            }
            result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            std::string& summary = result.result.summary;
            // A board that stopped before its command could say anything: why, in its own words.
            if (summary.empty() && result.rc != kExitOk)
                summary = Meaning(result.rc) + (events.LastError().empty() ? "" : ": " + events.LastError());
            console.Line(i, summary.empty() ? Meaning(result.rc) : summary);
        });
    }
    for (auto& t : threads) t.join();

    // The adapter's serial number tells the boards apart when the device names change with
    // every plug-in; "-" for a port that is no USB adapter or has none.
    std::vector<std::string> serials;
    size_t width = 4, serialWidth = 7;
    for (const auto& p : ports) {
        width = std::max(width, p.size());
        std::string serial = IsSchemeName(p, "sim") ? "" : AdapterSerialOf(p);
        if (serial.empty()) serial = "-";
        serialWidth = std::max(serialWidth, serial.size());
        serials.push_back(std::move(serial));
    }
    // With --json, standard output belongs to the JSON lines: the table is for people.
    std::FILE* table = state.json ? stderr : stdout;
    std::fprintf(table, "%-*s  %-*s  %-9s %-24s %8s\n", static_cast<int>(width), "PORT", static_cast<int>(serialWidth),
                 "ADAPTER", "CHIP", "RESULT", "TIME");
    std::vector<std::string> failed;
    nlohmann::json boards = nlohmann::json::array();
    CommandResult& overall = state.result;
    for (size_t i = 0; i < ports.size(); ++i) {
        ConnectOptions o = base;
        o.port = ports[i];
        const BoardResult& r = results[i];
        std::string why = r.rc != kExitOk && !r.result.summary.empty() ? "  " + r.result.summary : "";
        std::replace(why.begin(), why.end(), '\n', ' ');  // one row per board
        std::fprintf(table, "%-*s  %-*s  %-9s %-24s %6.1f s%s\n", static_cast<int>(width), ports[i].c_str(),
                     static_cast<int>(serialWidth), serials[i].c_str(), ChipFor(o).c_str(), Meaning(r.rc), r.seconds,
                     why.c_str());
        if (r.rc != kExitOk) failed.push_back(ports[i]);
        if (overall.command.empty()) overall.command = r.result.command;
        nlohmann::json board = r.result.fields;
        board["port"] = ports[i];
        if (serials[i] != "-") board["adapter_serial"] = serials[i];
        board["ok"] = r.rc == kExitOk;
        board["exit"] = r.rc;
        board["summary"] = r.result.summary;
        board["seconds"] = std::round(r.seconds * 1000) / 1000;
        if (!r.result.status.empty()) board["status"] = r.result.status;
        boards.push_back(std::move(board));
    }
    std::fflush(table);
    overall.fields["boards"] = std::move(boards);
    const std::string what = overall.command.empty() ? std::string("the command") : overall.command;
    if (failed.empty()) {
        overall.summary = what + ": ok on all " + std::to_string(ports.size()) + " boards";
        return kExitOk;
    }
    overall.summary = what + " failed on " + std::to_string(failed.size()) + " of " + std::to_string(ports.size()) +
                      " boards:";
    for (const auto& p : failed) overall.summary += " " + p;
    // Refused on every board: nothing was changed anywhere, which is what status 2 promises.
    const bool allRefused =
        std::all_of(results.begin(), results.end(), [](const BoardResult& r) { return r.rc == kExitUsage; });
    return allRefused ? kExitUsage : kExitFailed;
}

int RunOnPorts(RunState& state, const GangPorts& g, const std::string& change, const BoardJob& job) {
    std::vector<std::string> ports;
    if (!CollectPorts(g, state.connect.port, state.events, &ports)) return kExitUsage;
    if (ports.size() <= 1 && g.portsFrom.empty() && !g.allUsb) {
        ConnectOptions one = state.connect;
        if (!ports.empty()) one.port = ports.front();
        state.connect.port = one.port;
        return job(one, state.events, state.result);
    }
    return RunGang(state, state.connect, ports, change, job);
}

}  // namespace tessel::cli
