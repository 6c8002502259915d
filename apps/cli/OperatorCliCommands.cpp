#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Commands.h"
#include "Connection.h"
#include "Gang.h"
#include "calc/BaudCalc.h"
#include "ui/OperatorCommands.h"

namespace tessel::cli {

namespace {

struct EditRun {
    ConnectOptions connect;
    FlashOptions flash;
    std::string address;
    std::vector<std::string> bytes;
};

int Edit(EditRun& r) {
    Connection link(r.connect);
    if (const int rc = link.ConnectReporting(); rc != kExitOk) return rc;
    if (!link.UseFlashOptions(r.flash, false)) return kExitUsage;
    bool ok = false;
    link.customFill = [&](DialogModel& m) {
        auto* d = dynamic_cast<ByteEditDialog*>(&m);
        if (!d) return DialogResult::Cancel;
        d->addressText = r.address;
        std::string data;
        for (const std::string& b : r.bytes) data += (data.empty() ? "" : " ") + b;
        d->newData = data;
        ok = data.empty() ? d->OnDisplayData() : d->OnReplaceData();
        link.View().EndLine();
        if (ok) std::printf("%s: %s\n", r.address.c_str(), d->shownData.c_str());
        else if (!data.empty() && !d->chipChanged) std::fprintf(stderr, "tessel: block 0 was not changed\n");
        return DialogResult::Ok;
    };
    MainDialog& w = link.Window();
    const bool ran = w.RunCommand(command::kEditBlock0);
    return ok && ran ? kExitOk : kExitFailed;
}

int Run(const ConnectOptions& o) {
    Connection link(o);
    if (const int rc = link.ConnectReporting(); rc != kExitOk) return rc;
    MainDialog& w = link.Window();
    return w.RunCommand(command::kExecuteUserCode) ? kExitOk : kExitFailed;
}

struct MonitorRun {
    ConnectOptions connect;
    FlashOptions flash;
};

int Monitor(MonitorRun& r) {
    Connection link(r.connect);
    if (const int rc = link.ConnectReporting(); rc != kExitOk) return rc;
    if (!link.UseFlashOptions(r.flash, false)) return kExitUsage;
    if (!link.Window().RunCommand(command::kDownloadMonitra)) return kExitFailed;
    link.View().EndLine();
    // The desktop program closes here; a script needs to be told what it has done.
    std::printf("The boot loader is gone: the chip now starts the debug monitor, and tessel cannot detect it "
                "any more.\nTo get the boot loader back, run the conversion command script from the debugger "
                "as the chip's User's Guide describes (see About Monitra in tessel-gui).\n");
    return kExitOk;
}

// The loop-back test needs no boot loader, so the port is opened as it is, without a
// detection; the answer "the port could not be opened" is told apart from a wrong echo.
int CableTest(const ConnectOptions& o) {
    if (rateForPosition(positionForRate(o.baud)) != o.baud) {
        std::fprintf(stderr, "tessel: --baud must be one of 38400 19200 9600 4800 2400 1200 600\n");
        return kExitUsage;
    }
    Connection link(o);
    link.UsePort(o.baud);
    MainDialog& w = link.Window();
    if (w.RunCommand(command::kSerialTest)) return kExitOk;
    const CSerialPort& port = w.Session().port;
    if (!port.IsOpen() && !port.LastOpenError().reason.empty()) {
        if (o.lineSink) o.lineSink("tessel: " + port.LastOpenError().reason);
        else std::fprintf(stderr, "tessel: %s\n", port.LastOpenError().reason.c_str());
        return kExitPortError;
    }
    return kExitFailed;
}

}  // namespace

void AddOperatorCommands(CLI::App& app, RunState& state) {
    {
        auto r = std::make_shared<EditRun>();
        CLI::App* cmd = app.add_subcommand(
            "edit", "Show up to 16 bytes of block 0 at ADDRESS, or replace them with the hex bytes given "
                    "(the sector they fall into is rewritten)");
        AddConnectOptions(cmd, r->connect);
        cmd->add_option("--password-file", r->flash.passwordFile, "Read the loader password from the first line of FILE");
        cmd->add_option("address", r->address, "Four hex digits, e.g. 03E6")->required();
        cmd->add_option("bytes", r->bytes, "New bytes as two hex digits each, e.g. 72 4F 5D");
        cmd->callback([r, &state] { state.exitCode = Edit(*r); });
    }
    {
        auto o = std::make_shared<ConnectOptions>();
        CLI::App* cmd = app.add_subcommand("run", "Start the user's program in block 0 (the loader stops answering)");
        AddConnectOptions(cmd, *o);
        cmd->callback([o, &state] { state.exitCode = Run(*o); });
    }
    {
        auto r = std::make_shared<MonitorRun>();
        CLI::App* cmd = app.add_subcommand(
            "monitor", "Replace the boot loader with the debug monitor (the loader is erased; tessel cannot "
                       "reach the chip afterwards)");
        AddConnectOptions(cmd, r->connect);
        cmd->add_option("--password-file", r->flash.passwordFile, "Read the loader password from the first line of FILE");
        cmd->add_option("--password-env", r->flash.passwordEnv,
                        "Take the password from this environment variable if it is set (default TESSEL_PASSWORD)");
        cmd->callback([r, &state] { state.exitCode = Monitor(*r); });
    }
    {
        auto o = std::make_shared<ConnectOptions>();
        o->baud = 38400;
        CLI::App* cmd = app.add_subcommand(
            "cable-test", "Test the serial cable by loop-back: remove the MCU, connect TXD and RXD, and the three "
                          "bytes sent must come back within 3 seconds (no boot loader is needed)");
        auto g = std::make_shared<GangPorts>();
        cmd->add_option("--port", g->ports,
                        "Serial port: a device path, COMn, or sim[:CHIP[:FIRMWARE]]; give it more than once to "
                        "test several cables side by side")
            ->allow_extra_args(false)
            ->type_size(1);
        cmd->add_option("--ports-from", g->portsFrom, "Read the ports from FILE, one a line (# starts a comment)");
        cmd->add_option("--baud", o->baud, "Baud rate (default 38400)");
        cmd->add_flag("--yes", o->yes, "Answer Yes to the question");
        cmd->callback([o, g, &state] {
            state.exitCode = RunOnPorts(*o, *g, "the MCU must be off every board, its TXD and RXD pins connected",
                                        CableTest);
        });
    }
}

}  // namespace tessel::cli
