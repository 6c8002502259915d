#include "Connection.h"

#include <cstdio>

#include "calc/BaudCalc.h"
#include "device/ChipCatalogue.h"
#include "sim/SimBoard.h"
#include "ui/CommDialogs.h"
#include "ui/DetectCommands.h"

namespace tessel::cli {

namespace {
// "COM3" names the third entry of the dialogs' port list; anything else is a named port.
int ComNumber(const std::string& port) {
    if (port.size() < 4 || port.compare(0, 3, "COM") != 0) return 0;
    int n = 0;
    for (size_t i = 3; i < port.size(); ++i) {
        if (port[i] < '0' || port[i] > '9' || n > 256) return 0;
        n = n * 10 + (port[i] - '0');
    }
    return n >= 1 && n <= 256 ? n : 0;
}
}  // namespace

void AddConnectOptions(CLI::App* cmd, ConnectOptions& o) {
    cmd->add_option("--port", o.port, "Serial port: a device path, COMn, or sim[:CHIP[:FIRMWARE]]")->required();
    cmd->add_option("--chip", o.chip, "Chip model (NX31A16, NX31A32, NX31H64D, NX31L64D, NX31H32B, NX31L32B)");
    cmd->add_option("--mode", o.mode, "Memory mode: internal (EA#=1) or external (EA#=0)");
    cmd->add_option("--baud", o.baud, "Baud rate (default: the best rate for the crystal)");
    cmd->add_option("--crystal", o.crystal, "Target crystal frequency in MHz");
    cmd->add_option("--firmware", o.firmware,
                    "Loader firmware to detect: 1.1F, 1.1E (offers the upgrade to 1.1F) or unknown");
    cmd->add_option("--trace-wire", o.traceWire, "Write every byte on the line, with its time, to FILE");
    cmd->add_flag("--yes", o.yes, "Answer Yes to every question");
    cmd->add_flag("--verbose", o.verbose, "Show debug traces");
}

Connection::Connection(const ConnectOptions& o) : o_(o), store_(ConfigStore::Discarding()) {
    sim::RegisterSimScheme();
    op_.assumeYes = o_.yes;
    op_.verbose = o_.verbose;
    op_.fillDialog = [this](DialogModel& m) { return Fill(m); };
    window_ = std::make_unique<MainDialog>(&op_);
    view_ = std::make_unique<ConsoleView>(*window_);
    op_.beforeOutput = [this] { view_->EndLine(); };
    window_->Initialise(store_);
    DetectCommandEnv env;
    env.store = &store_;
    const std::string port = o_.port;
    if (!ComNumber(port)) env.namedPorts = [port] { return std::vector<std::string>{port}; };
    RegisterDetectCommands(*window_, std::move(env));
}

Connection::~Connection() {
    view_.reset();
    window_->Shutdown();
}

DialogResult Connection::Fill(DialogModel& model) {
    if (auto* chip = dynamic_cast<ChipSelectDialog*>(&model)) {
        chip->chipType = chipType_;
        chip->memoryMode = o_.mode == "internal" ? kInternalMemory : kExternalMemory;
    } else if (auto* setup = dynamic_cast<CommSetupDialog*>(&model)) {
        const int com = ComNumber(o_.port);
        setup->portSelection = com ? com - 1 : static_cast<int>(setup->ports.size()) - 1;
        setup->crystal = o_.crystal;
        setup->OnCompute();
        if (o_.baud) setup->rateSelection = positionForRate(o_.baud);
    } else {
        return DialogResult::Cancel;
    }
    // A dialog that stays open has said why; at a terminal nobody can edit it further.
    return model.PressOk() == OkOutcome::CloseOk ? DialogResult::Ok : DialogResult::Cancel;
}

int Connection::Connect() {
    std::string chip = o_.chip;
    if (chip.empty()) {
        // A 1.1F loader cannot tell its chip type, so the operator names it; for the
        // stand-in board the port name already does.
        sim::BoardConfig config;
        chip = sim::ParseSimName(o_.port, &config, nullptr) ? ModelNameForCode(config.chipType) : "NX31A32";
    }
    const auto code = ChipCodeForModel(chip);
    if (!code) {
        std::fprintf(stderr, "tessel: unknown chip '%s'\n", chip.c_str());
        return kExitUsage;
    }
    chipType_ = *code;
    if (o_.mode != "internal" && o_.mode != "external") {
        std::fprintf(stderr, "tessel: --mode is internal or external\n");
        return kExitUsage;
    }
    if (o_.crystal < 1.0 || o_.crystal > 40.0) {
        std::fprintf(stderr, "tessel: the crystal frequency must be between 1.0 and 40.0 MHz\n");
        return kExitUsage;
    }
    if (o_.baud && rateForPosition(positionForRate(o_.baud)) != o_.baud) {
        std::fprintf(stderr, "tessel: --baud must be one of 38400 19200 9600 4800 2400 1200 600\n");
        return kExitUsage;
    }
    // The set-up dialog would refuse it and stay open; here that is a bad option.
    const uint32_t best = computeBestRate(o_.crystal, kCommSetupCandidates, true).rate;
    if (o_.baud > best) {
        std::fprintf(stderr, "You can't choose a baudrate which is higher than the computed best baudrate!\n"
                             "(best for %.4f MHz: %u)\n", o_.crystal, best);
        return kExitUsage;
    }
    int commandId = 0;
    if (o_.firmware == "1.1F") commandId = command::kDetect11F;
    else if (o_.firmware == "1.1E") commandId = command::kDetect11E;
    else if (o_.firmware == "unknown") commandId = command::kDetectUnknown;
    else {
        std::fprintf(stderr, "tessel: --firmware is 1.1F, 1.1E or unknown\n");
        return kExitUsage;
    }
    CDeviceSession& session = window_->Session();
    if (!o_.traceWire.empty()) {
        std::string err;
        if (!session.port.StartWireTrace(o_.traceWire, &err)) {
            std::fprintf(stderr, "tessel: %s\n", err.c_str());
            return kExitUsage;
        }
    }
    // The 1.1E detections take the port from the session as the set-up dialog left it.
    const int com = ComNumber(o_.port);
    if (com) session.port.SetPortNumber(com);
    else session.port.SetPortName(o_.port);
    session.crystalMHz = o_.crystal;
    session.port.SetBaudRate(o_.baud ? o_.baud : best);

    window_->Route(commandId);
    if (!session.port.IsOpen()) return kExitPortError;
    if (!session.port.IsLinkUp()) return kExitNoTarget;
    return window_->Field(ChipField::FwVersion) == "v1.1F" ? kExitOk : kExitFailed;
}

}  // namespace tessel::cli
