#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Commands.h"
#include "Connection.h"
#include "Gang.h"
#include "calc/BaudCalc.h"
#include "device/CDeviceSession.h"
#include "commands/Commands.h"
#include "commands/OperatorCommands.h"

namespace tessel::cli {

namespace {

// One edit rewrites at most the 16 bytes its dialog shows.
constexpr size_t kMaxEditBytes = 16;

struct EditRun {
    ConnectOptions connect;
    FlashOptions flash;
    std::string address;
    std::vector<std::string> bytes;
};

int Edit(EditRun& r, RunState& state) {
    r.connect = state.connect;
    CommandResult& res = state.result;
    res.command = "edit";
    res.fields["address"] = r.address;
    Connection link(r.connect, state.events);
    if (const int rc = link.ConnectReporting(); rc != kExitOk) return rc;
    // Showing bytes changes nothing: only a rewrite needs the chip type named. (A wrong type
    // can only move the end of block 0 that the shown bytes are cut at.)
    if (const int rc = link.CheckRule(RuledCommand::ByteEdit, false, r.bytes.empty()); rc != kExitOk) return rc;
    if (!link.UseFlashOptions(r.flash, false)) return kExitUsage;
    // Where the bytes go is known once the chip is: outside block 0 is a refusal, not a
    // failure of the command.
    {
        const CDeviceSession& s = link.Board().Session();
        const uint32_t limit = Block0Limit(s.chipType);
        const uint32_t at = static_cast<uint32_t>(std::stoul(r.address, nullptr, 16));
        const uint32_t last = at + static_cast<uint32_t>(r.bytes.empty() ? 1 : r.bytes.size()) - 1;
        if (last >= limit) {
            char why[200];
            std::snprintf(why, sizeof why, "Memory address is invalid! (%04Xh%s lies outside block 0 of %s, 0000h-%04Xh)",
                          last, last == at ? "" : ", the last byte,", s.Chip().model, limit - 1);
            return link.Refuse("", why);
        }
    }
    EditRequest request{r.address, {}};
    for (const std::string& b : r.bytes) request.data += (request.data.empty() ? "" : " ") + b;
    const EditResult edit = EditBlock0(link.Board(), request);
    const bool ok = edit.Ok();
    const bool changed = edit.chipChanged;
    const std::string& shown = edit.shown;
    if (ok) link.Events().Output(r.address + ": " + shown);
    const size_t count = r.bytes.empty() ? (shown.size() + 1) / 3 : r.bytes.size();
    res.fields["bytes"] = count;
    if (ok)
        res.summary = (r.bytes.empty() ? "edit: read " : "edit: wrote ") + std::to_string(count) + " byte" +
                      (count == 1 ? "" : "s") + " at " + r.address + "h of block 0";
    else
        res.summary = std::string(r.bytes.empty()   ? "edit: nothing read"
                                  : changed        ? "edit: block 0 was rewritten but the new bytes were not confirmed"
                                                   : "edit: block 0 was not changed") +
                      (link.Op().LastMessage().empty() ? "" : ": " + link.Op().LastMessage());
    return ok ? kExitOk : kExitFailed;
}

int Run(RunState& state) {
    CommandResult& res = state.result;
    res.command = "run";
    Connection link(state.connect, state.events);
    if (const int rc = link.ConnectReporting(); rc != kExitOk) return rc;
    if (const int rc = link.CheckRule(RuledCommand::ExecuteUserCode, false); rc != kExitOk) return rc;
    const bool ok = RunUserProgram(link.Board()).Ok();
    res.summary = ok ? "user code started; the loader answers again after a reset"
                     : "user code not started: " + link.FailureReason();
    return ok ? kExitOk : kExitFailed;
}

struct MonitorRun {
    ConnectOptions connect;
    FlashOptions flash;
};

int Monitor(MonitorRun& r, RunState& state) {
    r.connect = state.connect;
    CommandResult& res = state.result;
    res.command = "monitor";
    Connection link(r.connect, state.events);
    if (const int rc = link.ConnectReporting(); rc != kExitOk) return rc;
    if (const int rc = link.CheckRule(RuledCommand::DownloadMonitor, false); rc != kExitOk) return rc;
    if (!link.UseFlashOptions(r.flash, false)) return kExitUsage;
    if (!LoadMonitor(link.Board()).Ok()) {
        res.summary = "monitor not written: " + link.FailureReason();
        return kExitFailed;
    }
    // The desktop program closes here; a script needs to be told what it has done.
    state.events.Notice("To get the boot loader back, run the conversion command script from the debugger as the "
                        "chip's User's Guide describes (see About Monitra in tessel-gui).");
    res.summary = "The boot loader is gone: the chip now starts the debug monitor, and tessel cannot detect it "
                  "any more.";
    return kExitOk;
}

// The loop-back test needs no boot loader, so the port is opened as it is, without a
// detection; the answer "the port could not be opened" is told apart from a wrong echo.
int CableTest(const ConnectOptions& given, EventStream& events, CommandResult& res) {
    res.command = "cable-test";
    ConnectOptions o = given;
    if (o.baud == 0) o.baud = 38400;
    if (o.port.empty()) {
        events.Error("--port is required");
        return kExitUsage;
    }
    Connection link(o, events);
    link.UsePort(o.baud);
    Target& w = link.Board();
    if (TestCable(w).Ok()) {
        res.summary = "cable test passed: the three bytes came back on " + o.port;
        return kExitOk;
    }
    const CSerialPort& port = w.Session().port;
    if (!port.IsOpen() && !port.LastOpenError().reason.empty()) {
        events.Error(port.LastOpenError().reason);
        res.summary = "cable test: nothing was sent, " + o.port + " could not be opened";
        return kExitPortError;
    }
    res.summary = "cable test failed: " + link.FailureReason();
    return kExitFailed;
}

}  // namespace

void AddOperatorCommands(CLI::App& app, RunState& state) {
    {
        auto r = std::make_shared<EditRun>();
        CLI::App* cmd = app.add_subcommand(
            "edit", "Show up to 16 bytes of block 0 at ADDRESS, or replace them with the hex bytes given "
                    "(the sector they fall into is rewritten)");
        AddCommonOptions(cmd, state, true);
        AddPasswordOptions(cmd, r->flash);
        cmd->add_option("address", r->address, "Four hex digits, e.g. 03E6")
            ->required()
            ->check(CLI::Validator(
                [](const std::string& value) {
                    const bool ok = value.size() == ByteEditDialog::kAddressChars &&
                                    value.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
                    return ok ? std::string() : "Address string should be in 4-digit Hex format! ('" + value + "')";
                },
                "ADDRESS"));
        // "100" must not become 10h and "1FF" 1Fh: each byte is checked whole while parsing.
        cmd->add_option("bytes", r->bytes, "New bytes as one or two hex digits each, e.g. 72 4F 5D")
            ->transform(CLI::Validator(
                [](std::string& value) {
                    const bool ok = !value.empty() && value.size() <= 2 &&
                                    value.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
                    if (!ok) return "'" + value + "' is no byte: give one or two hex digits";
                    if (value.size() == 1) value.insert(value.begin(), '0');
                    return std::string();
                },
                "HEX BYTE"));
        cmd->callback([r, &state] {
            if (r->bytes.size() > kMaxEditBytes) {
                state.events.Error(std::to_string(r->bytes.size()) + " bytes given; at most " +
                                   std::to_string(kMaxEditBytes));
                state.exitCode = kExitUsage;
                return;
            }
            state.exitCode = Edit(*r, state);
        });
    }
    {
        CLI::App* cmd = app.add_subcommand("run", "Start the user's program in block 0 (the loader stops answering)");
        AddCommonOptions(cmd, state, true);
        cmd->callback([&state] { state.exitCode = Run(state); });
    }
    {
        auto r = std::make_shared<MonitorRun>();
        CLI::App* cmd = app.add_subcommand(
            "monitor", "Replace the boot loader with the debug monitor (the loader is erased; tessel cannot "
                       "reach the chip afterwards)");
        AddCommonOptions(cmd, state, true);
        AddPasswordOptions(cmd, r->flash);
        cmd->callback([r, &state] { state.exitCode = Monitor(*r, state); });
    }
    {
        CLI::App* cmd = app.add_subcommand(
            "cable-test", "Test the serial cable by loop-back: remove the MCU, connect TXD and RXD, and the three "
                          "bytes sent must come back within 3 seconds (no boot loader is needed)");
        auto g = std::make_shared<GangPorts>();
        AddGangConnectOptions(cmd, state, *g);
        // No chip is reached, so the help lists only the line's own options; the others are
        // still taken (and checked) after the sub-command, as on every command line, so that one
        // set of options serves a whole script.
        for (const char* unused : {"--chip", "--mode", "--crystal", "--firmware", "--firmware-dir"})
            cmd->get_option(unused)->group("");
        cmd->get_option("--baud")->description("Baud rate (default 38400)")->default_str("");
        cmd->callback([g, &state] {
            state.exitCode = RunOnPorts(state, *g, "the MCU must be off every board, its TXD and RXD pins connected",
                                        CableTest);
        });
    }
}

}  // namespace tessel::cli
