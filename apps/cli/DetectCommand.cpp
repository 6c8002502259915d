#include <memory>

#include "Commands.h"
#include "Connection.h"

namespace tessel::cli {

void AddDetectCommand(CLI::App& app, RunState& state) {
    auto o = std::make_shared<ConnectOptions>();
    CLI::App* cmd = app.add_subcommand("detect", "Detect the target's boot loader and show the chip information");
    AddConnectOptions(cmd, *o);
    cmd->callback([o, &state] {
        Connection link(*o);
        state.exitCode = link.Connect();
        link.View().PrintSummary();
    });
}

}  // namespace tessel::cli
