#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Commands.h"
#include "Connection.h"
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
        else if (!data.empty()) std::fprintf(stderr, "tessel: block 0 was not changed\n");
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
}

}  // namespace tessel::cli
