#include <memory>

#include "Commands.h"
#include "Connection.h"

namespace tessel::cli {

void AddDetectCommand(CLI::App& app, RunState& state) {
    CLI::App* cmd = app.add_subcommand("detect", "Detect the target's boot loader and show the chip information");
    AddCommonOptions(cmd, state, true);
    cmd->callback([&state] {
        CommandResult& res = state.result;
        res.command = "detect";
        Connection link(state.connect, state.events);
        link.ShowDetectedChip();
        state.exitCode = link.ConnectReporting();
        if (state.exitCode != kExitOk && state.exitCode != kExitFailed) return;
        MainDialog& w = link.Window();
        res.fields["model"] = w.Field(ChipField::ChipType);
        res.fields["firmware"] = w.Field(ChipField::FwVersion);
        res.fields["baud"] = w.Session().port.GetBaudRate();
        res.status = w.Field(ChipField::IapStatus);
        res.summary = "detected " + w.Field(ChipField::ChipType) + " with loader " + w.Field(ChipField::FwVersion) +
                      " on " + state.connect.port + " at " + std::to_string(w.Session().port.GetBaudRate()) +
                      " baud";
    });
}

}  // namespace tessel::cli
