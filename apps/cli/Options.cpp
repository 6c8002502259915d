#include <cmath>
#include <string>
#include <vector>

#include "Commands.h"
#include "device/ChipCatalogue.h"

namespace tessel::cli {

namespace {

std::vector<std::string> ChipNames() {
    std::vector<std::string> names;
    for (const ChipInfo& chip : AllChips()) names.emplace_back(chip.model);
    return names;
}

}  // namespace

const CLI::Validator& CrystalCheck() {
    // A range check alone lets "nan" through: every comparison with it is false.
    static const CLI::Validator check =
        CLI::Validator(
            [](std::string& value) -> std::string {
                double mhz = 0;
                if (!CLI::detail::lexical_cast(value, mhz) || !std::isfinite(mhz))
                    return "the crystal frequency must be a number of MHz, not " + value;
                return std::string();
            },
            "MHz") &
        CLI::Range(1.0, 40.0);
    return check;
}

void AddCommonOptions(CLI::App* cmd, RunState& state, bool connect) {
    ConnectOptions& o = state.connect;
    if (connect) {
        cmd->add_option("-p,--port", o.port,
                        "Serial port: a device path (relative ones too), COMn, serial:NUMBER (a USB adapter's serial "
                        "number), or sim[:CHIP[:FIRMWARE]]; default: the one USB serial adapter present");
        cmd->add_option("--chip", o.chip, "Chip model (default: the stand-in board's, else NX31A32)")
            ->check(CLI::IsMember(ChipNames(), CLI::ignore_case));
        cmd->add_option("--mode", o.mode, "Memory mode: internal (EA#=1) or external (EA#=0)")
            ->check(CLI::IsMember({"internal", "external"}));
        cmd->add_option("--baud", o.baud, "Baud rate (default 0: the best rate for the crystal)")
            ->check(CLI::IsMember({0u, 600u, 1200u, 2400u, 4800u, 9600u, 19200u, 38400u}));
        cmd->add_option("--crystal", o.crystal, "Target crystal frequency in MHz (1 to 40)")->check(CrystalCheck());
        cmd->add_option("--firmware", o.firmware,
                        "Loader firmware to detect: 1.1F, 1.1E (offers the upgrade to 1.1F) or unknown")
            ->check(CLI::IsMember({"1.1F", "1.1E", "unknown"}));
        cmd->add_option("--trace-wire", o.traceWire, "Write every byte on the line, with its time, to FILE");
        cmd->add_option("--firmware-dir", o.firmwareDir,
                        "Look here first for the target images (stubs, loaders, monitor); `tessel firmware` lists "
                        "them");
    }
    cmd->add_flag("-y,--yes", o.yes, "Answer Yes to every question");
    cmd->add_flag("-v,--verbose", o.verbose, "Show debug traces and the loader's progress texts");
    cmd->add_flag("-q,--quiet", state.quiet, "Print only the data asked for, errors and the result line");
    cmd->add_flag("--json", state.json,
                  "Write one JSON object per line to stdout (see the README); human text goes to stderr");
}

}  // namespace tessel::cli
