#include <cstdio>

#include "Commands.h"
#include "platform/PortList.h"

namespace tessel::cli {

namespace {

int RunPorts() {
    const auto ports = ListSerialPorts();
    for (const auto& p : ports) std::printf("%-48s %s\n", p.name.c_str(), p.description.c_str());
    std::printf("%-48s %s\n", "sim[:CHIP[:FIRMWARE]]", "the stand-in board, in-process (e.g. sim:NX31H64D)");
    if (ports.empty()) std::fprintf(stderr, "no serial devices found\n");
    return kExitOk;
}

}  // namespace

void AddInfoCommands(CLI::App& app, RunState& state) {
    app.add_subcommand("ports", "List the serial ports present and the stand-in board")
        ->callback([&state] { state.exitCode = RunPorts(); });
}

}  // namespace tessel::cli
