#include <memory>

#include "Commands.h"
#include "Connection.h"
#include "device/CDeviceSession.h"

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
        Target& w = link.Board();
        if (const std::string& failure = w.Session().upgradeFailure; !failure.empty()) {
            res.summary = "upgrade of the boot loader to 1.1F failed: " + failure;
            return;
        }
        res.fields["model"] = w.Field(ChipField::ChipType);
        res.fields["model_source"] = link.ModelSource();
        res.fields["firmware"] = w.Field(ChipField::FwVersion);
        res.fields["baud"] = w.Session().port.GetBaudRate();
        res.status = w.Field(ChipField::IapStatus);
        const std::string fw = w.Field(ChipField::FwVersion);
        if (state.exitCode != kExitOk) {
            // A loader of another version answered: the command failed, and says what it found.
            std::string why;
            if (fw == "v1.1E" && state.events.Declined())
                why = "the upgrade of the 1.1E loader to 1.1F was declined; the loader was not touched";
            else
                why = "the loader answered with " +
                      std::string(fw == "v1.1?" ? "version 1.1?" : fw == "v1.1E" ? "version 1.1E" : "an unknown version") +
                      "; expected 1.1F" + (fw == "v1.1E" ? " (--firmware 1.1E offers the upgrade)" : "");
            res.summary = "detection on " + state.connect.port + " failed: " + why;
            res.fields["reason"] = why;
            return;
        }
        res.summary = "detected " + link.ModelText() + " with loader " + fw + " on " +
                      state.connect.port + " at " + std::to_string(w.Session().port.GetBaudRate()) + " baud";
    });
}

}  // namespace tessel::cli
