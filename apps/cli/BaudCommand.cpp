#include <cstdio>
#include <memory>

#include "Commands.h"
#include "calc/BaudCalc.h"

namespace tessel::cli {

namespace {

struct BaudOptions {
    double crystal = 11.0592;
    uint32_t nextBelow = 0;
    bool ext = false;
};

int RunBaud(const BaudOptions& o) {
    // The dialogs accept crystals from 1 to 40 MHz; outside that the search has no answer.
    if (o.crystal < 1.0 || o.crystal > 40.0) {
        std::fprintf(stderr, "tessel baud: the crystal frequency must be between 1.0 and 40.0 MHz\n");
        return kExitUsage;
    }
    BaudChoice choice;
    if (o.ext) {
        if (o.nextBelow) {
            std::fprintf(stderr, "tessel baud: --next-below is not offered for the external memory calculation\n");
            return kExitUsage;
        }
        choice = computeBestRate(o.crystal, kExtMemCandidates, false);
    } else if (o.nextBelow) {
        const auto next = computeNextRate(o.crystal, kCommSetupCandidates, o.nextBelow);
        if (!next) {
            std::fprintf(stderr, "tessel baud: no standard rate below %u for a %.4f MHz crystal\n",
                         o.nextBelow, o.crystal);
            return kExitFailed;
        }
        choice = *next;
    } else {
        choice = computeBestRate(o.crystal, kCommSetupCandidates, true);
    }
    const int32_t produced = rateForReload(o.crystal, choice.reload);
    std::printf("baud rate    %u\n", choice.rate);
    std::printf("RCAP2 reload %d (%s)\n", choice.reload, formatReload(choice.reload).c_str());
    std::printf("produced     %d (%.2f %% off)\n", produced, rateErrorPercent(choice.rate, produced));
    return kExitOk;
}

}  // namespace

void AddBaudCommand(CLI::App& app, RunState& state) {
    auto opts = std::make_shared<BaudOptions>();
    CLI::App* cmd = app.add_subcommand(
        "baud", "Best standard baud rate and Timer-2 reload value for a target crystal");
    cmd->add_option("--crystal", opts->crystal, "Target crystal frequency in MHz (1.0 to 40.0)")
        ->required();
    cmd->add_option("--next-below", opts->nextBelow,
                    "The fastest usable standard rate below this one (the Next Baud button)");
    cmd->add_flag("--ext", opts->ext,
                  "Search as the external-memory dialog does (down to 300 baud, no 2.005 MHz rule)");
    cmd->callback([opts, &state] { state.exitCode = RunBaud(*opts); });
}

}  // namespace tessel::cli
