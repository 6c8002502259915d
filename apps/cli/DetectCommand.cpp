#include <cstdio>
#include <memory>

#include "Commands.h"
#include "ConsoleView.h"
#include "TerminalOperator.h"
#include "calc/BaudCalc.h"
#include "device/CDeviceSession.h"
#include "device/ChipCatalogue.h"
#include "protocol/Detection.h"
#include "sim/SimBoard.h"

namespace tessel::cli {

namespace {

struct DetectOptions {
    std::string port = "sim";
    std::string chip;  // default: the stand-in board's chip, else NX31A32
    std::string mode = "internal";
    uint32_t baud = 0;  // 0: the best rate for the crystal
    double crystal = 11.0592;
    std::string firmware = "1.1F";
    std::string traceWire;
    bool yes = false;
    bool verbose = false;
};

int RunDetect(DetectOptions o) {
    if (o.chip.empty()) {
        // A 1.1F loader cannot tell its chip type, so the operator names it; for the
        // stand-in board the port name already does.
        sim::BoardConfig config;
        o.chip = sim::ParseSimName(o.port, &config, nullptr) ? ModelNameForCode(config.chipType) : "NX31A32";
    }
    const auto code = ChipCodeForModel(o.chip);
    if (!code) {
        std::fprintf(stderr, "tessel detect: unknown chip '%s'\n", o.chip.c_str());
        return kExitUsage;
    }
    if (o.mode != "internal" && o.mode != "external") {
        std::fprintf(stderr, "tessel detect: --mode is internal or external\n");
        return kExitUsage;
    }
    if (o.crystal < 1.0 || o.crystal > 40.0) {
        std::fprintf(stderr, "tessel detect: the crystal frequency must be between 1.0 and 40.0 MHz\n");
        return kExitUsage;
    }
    if (o.firmware != "1.1F" && o.firmware != "unknown") {
        std::fprintf(stderr, "tessel detect: --firmware %s is not supported by this version\n", o.firmware.c_str());
        return kExitUsage;
    }
    // The set-up dialog refuses a rate above the best one the crystal can produce.
    const BaudChoice best = computeBestRate(o.crystal, kCommSetupCandidates, true);
    const uint32_t baud = o.baud ? o.baud : best.rate;
    if (baud > best.rate) {
        std::fprintf(stderr, "You can't choose a baudrate which is higher than the computed best baudrate!\n"
                             "(best for %.4f MHz: %u)\n", o.crystal, best.rate);
        return kExitUsage;
    }

    sim::RegisterSimScheme();
    TerminalOperator op;
    op.assumeYes = o.yes;
    op.verbose = o.verbose;
    ConsoleView view;
    CDeviceSession session(&op);
    session.chipType = *code;
    session.memoryMode = o.mode == "internal" ? kInternalMemory : kExternalMemory;
    session.crystalMHz = o.crystal;
    session.port.SetPortName(o.port);
    session.port.SetBaudRate(baud);
    if (!o.traceWire.empty()) {
        std::string err;
        if (!session.port.StartWireTrace(o.traceWire, &err)) {
            std::fprintf(stderr, "tessel detect: %s\n", err.c_str());
            return kExitUsage;
        }
    }
    DetectionContext ctx{session, view, op};
    if (o.firmware == "unknown") DetectUnknown(ctx);
    else Detect11F(ctx);
    view.PrintSummary();
    if (!session.port.IsOpen()) return kExitPortError;
    if (!session.port.IsLinkUp()) return kExitNoTarget;
    return view.Field(ChipField::FwVersion) == "v1.1F" ? kExitOk : kExitFailed;
}

}  // namespace

void AddDetectCommand(CLI::App& app, RunState& state) {
    auto o = std::make_shared<DetectOptions>();
    CLI::App* cmd = app.add_subcommand("detect", "Detect the target's boot loader and show the chip information");
    cmd->add_option("--port", o->port, "Serial port: a device path, COMn, or sim[:CHIP[:FIRMWARE]]")->required();
    cmd->add_option("--chip", o->chip, "Chip model (NX31A16, NX31A32, NX31H64D, NX31L64D, NX31H32B, NX31L32B)");
    cmd->add_option("--mode", o->mode, "Memory mode: internal (EA#=1) or external (EA#=0)");
    cmd->add_option("--baud", o->baud, "Baud rate (default: the best rate for the crystal)");
    cmd->add_option("--crystal", o->crystal, "Target crystal frequency in MHz");
    cmd->add_option("--firmware", o->firmware, "Loader firmware to detect: 1.1F or unknown");
    cmd->add_option("--trace-wire", o->traceWire, "Write every byte on the line, with its time, to FILE");
    cmd->add_flag("--yes", o->yes, "Answer Yes to every question");
    cmd->add_flag("--verbose", o->verbose, "Show debug traces");
    cmd->callback([o, &state] { state.exitCode = RunDetect(*o); });
}

}  // namespace tessel::cli
