#include "Gang.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>
#include <set>
#include <thread>

#include "platform/PortList.h"
#include "platform/SerialDevice.h"

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

struct BoardResult {
    int rc = kExitFailed;
    std::string lastLine;
    double seconds = 0;
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

// Two names of one device would be two sessions on one line.
std::string DeviceIdentity(const std::string& port) {
    if (IsSchemeName(port, "sim")) return port;
    const std::string path = ResolvePortName(port);
    char real[PATH_MAX];
    return realpath(path.c_str(), real) ? std::string(real) : path;
}

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

void AddGangConnectOptions(CLI::App* cmd, ConnectOptions& o, GangPorts& g) {
    AddConnectOptions(cmd, o);
    cmd->remove_option(cmd->get_option("--port"));
    cmd->add_option("--port", g.ports,
                    "Serial port: a device path, COMn, or sim[:CHIP[:FIRMWARE]]; give it more than once to "
                    "program several boards side by side")
        ->allow_extra_args(false)
        ->type_size(1);
    cmd->add_option("--ports-from", g.portsFrom, "Read the ports from FILE, one a line (# starts a comment)");
    cmd->add_flag("--all-usb", g.allUsb, "Run on every USB serial adapter present (`tessel ports` lists them)");
}

bool CollectPorts(const GangPorts& g, std::vector<std::string>* out) {
    std::vector<std::string> ports = g.ports;
    if (!g.portsFrom.empty()) {
        std::ifstream in(g.portsFrom);
        if (!in) {
            std::fprintf(stderr, "tessel: cannot read the port list %s\n", g.portsFrom.c_str());
            return false;
        }
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
            std::fprintf(stderr, "tessel: --all-usb: no USB serial adapter is present (`tessel ports` lists the serial "
                                 "devices)\n");
            return false;
        }
    }
    if (ports.empty()) {
        std::fprintf(stderr, "tessel: --port (or --ports-from, or --all-usb) is required\n");
        return false;
    }
    std::set<std::string> seen;
    for (const auto& p : ports) {
        if (!seen.insert(DeviceIdentity(p)).second) {
            std::fprintf(stderr, "tessel: the port %s is named twice\n", p.c_str());
            return false;
        }
    }
    *out = std::move(ports);
    return true;
}

int RunGang(const ConnectOptions& given, const std::vector<std::string>& ports, const std::string& change,
            const std::function<int(const ConnectOptions&)>& job) {
    ConnectOptions base = given;
    if (!base.traceWire.empty()) {
        std::fprintf(stderr, "tessel: --trace-wire records one port; name one --port with it\n");
        return kExitUsage;
    }
    if (!change.empty() && !base.yes) {
        // One question before any board starts; while they run nothing is asked.
        if (!isatty(STDIN_FILENO)) {
            std::fprintf(stderr, "tessel: %zu boards are changed side by side: give --yes\n", ports.size());
            return kExitUsage;
        }
        std::fprintf(stderr, "%zu boards (", ports.size());
        for (size_t i = 0; i < ports.size(); ++i) std::fprintf(stderr, "%s%s", i ? ", " : "", ports[i].c_str());
        std::fprintf(stderr, "): %s. Proceed on all of them? [y/N] ", change.c_str());
        std::fflush(stderr);
        std::string answer;
        if (!std::getline(std::cin, answer) || (answer != "y" && answer != "Y" && answer != "yes" && answer != "Yes"))
            return kExitFailed;
        base.yes = true;
    }

    GangConsole console(ports, isatty(STDERR_FILENO) != 0);
    std::vector<BoardResult> results(ports.size());
    std::vector<std::thread> threads;
    threads.reserve(ports.size());
    for (size_t i = 0; i < ports.size(); ++i) {
        threads.emplace_back([&, i] {
            ConnectOptions o = base;
            o.port = ports[i];
            BoardResult& result = results[i];
            o.lineSink = [&console, &result, i](const std::string& line) {
                result.lastLine = line;
                console.Line(i, line);
            };
            o.progressSink = [&console, i](const std::string& label, int percent) {
                console.Progress(i, label, percent);
            };
            const auto t0 = std::chrono::steady_clock::now();
            try {
                result.rc = job(o);
            } catch (const std::exception& e) {
                result.rc = kExitFailed;
                console.Line(i, std::string("tessel: ") + e.what());
            }
            result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            console.Line(i, Meaning(result.rc));
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
    std::printf("%-*s  %-*s  %-9s %-24s %8s\n", static_cast<int>(width), "PORT", static_cast<int>(serialWidth),
                "ADAPTER", "CHIP", "RESULT", "TIME");
    std::vector<std::string> failed;
    for (size_t i = 0; i < ports.size(); ++i) {
        ConnectOptions o = base;
        o.port = ports[i];
        const BoardResult& r = results[i];
        const std::string why = r.rc != kExitOk && !r.lastLine.empty() ? "  " + r.lastLine : "";
        std::printf("%-*s  %-*s  %-9s %-24s %6.1f s%s\n", static_cast<int>(width), ports[i].c_str(),
                    static_cast<int>(serialWidth), serials[i].c_str(), ChipFor(o).c_str(), Meaning(r.rc), r.seconds,
                    why.c_str());
        if (r.rc != kExitOk) failed.push_back(ports[i]);
    }
    std::fflush(stdout);
    if (failed.empty()) return kExitOk;
    std::fprintf(stderr, "tessel: failed on %zu of %zu boards:", failed.size(), ports.size());
    for (const auto& p : failed) std::fprintf(stderr, " %s", p.c_str());
    std::fprintf(stderr, "\n");
    return kExitFailed;
}

int RunOnPorts(ConnectOptions& base, const GangPorts& g, const std::string& change,
               const std::function<int(const ConnectOptions&)>& job) {
    std::vector<std::string> ports;
    if (!CollectPorts(g, &ports)) return kExitUsage;
    if (ports.size() == 1 && g.portsFrom.empty() && !g.allUsb) {
        base.port = ports.front();
        return job(base);
    }
    return RunGang(base, ports, change, job);
}

}  // namespace tessel::cli
