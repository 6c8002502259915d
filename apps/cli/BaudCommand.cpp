#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Commands.h"
#include "calc/BaudCalc.h"

namespace tessel::cli {

namespace {

struct BaudOptions {
    double crystal = 11.0592;
    uint32_t nextBelow = 0;
    bool ext = false;
};

int RunBaud(const BaudOptions& o, RunState& state) {
    CommandResult& res = state.result;
    res.command = "baud";
    BaudChoice choice;
    if (o.ext) {
        if (o.nextBelow) {
            state.events.Error("--next-below is not offered for the external memory calculation");
            return kExitUsage;
        }
        choice = computeBestRate(o.crystal, kExtMemCandidates, false);
    } else if (o.nextBelow) {
        const auto next = computeNextRate(o.crystal, kCommSetupCandidates, o.nextBelow);
        if (!next) {
            char buf[120];
            std::snprintf(buf, sizeof buf, "baud: no standard rate below %u for a %.4f MHz crystal", o.nextBelow,
                          o.crystal);
            res.summary = buf;
            return kExitFailed;
        }
        choice = *next;
    } else {
        choice = computeBestRate(o.crystal, kCommSetupCandidates, true);
    }
    const int32_t produced = rateForReload(o.crystal, choice.reload);
    const double off = rateErrorPercent(choice.rate, produced);
    char buf[400];
    std::snprintf(buf, sizeof buf, "baud rate    %u\nRCAP2 reload %d (%s)\nproduced     %d (%.2f %% off)", choice.rate,
                  choice.reload, formatReload(choice.reload).c_str(), produced, off);
    std::string text = buf;
    // The fast rates a 1.1F loader's auto-baud may follow, where this crystal makes them.
    const std::vector<uint32_t> beyond = o.ext || o.nextBelow ? std::vector<uint32_t>{} : beyondListRates(o.crystal);
    if (!beyond.empty()) {
        text += "\nbeyond the loader's documented list:";
        for (const uint32_t rate : beyond)
            text += " " + std::to_string(rate) + " (reload " + formatReload(fitRate(o.crystal, rate)->reload) + ")";
    }
    state.events.Output(text);
    std::snprintf(buf, sizeof buf, "baud: %u baud for a %.4f MHz crystal, reload %s, %.2f %% off", choice.rate,
                  o.crystal, formatReload(choice.reload).c_str(), off);
    res.summary = buf;
    res.fields["baud"] = choice.rate;
    res.fields["reload"] = choice.reload;
    res.fields["crystal"] = o.crystal;
    return kExitOk;
}

}  // namespace

void AddBaudCommand(CLI::App& app, RunState& state) {
    auto opts = std::make_shared<BaudOptions>();
    CLI::App* cmd = app.add_subcommand(
        "baud", "Best standard baud rate and Timer-2 reload value for a target crystal");
    AddCommonOptions(cmd, state, false);
    // The dialogs accept crystals from 1 to 40 MHz; outside that the search has no answer.
    cmd->add_option("--crystal", opts->crystal, "Target crystal frequency in MHz (1.0 to 40.0)")
        ->required()
        ->check(CrystalCheck());
    cmd->add_option("--next-below", opts->nextBelow,
                    "The fastest usable standard rate below this one");
    cmd->add_flag("--ext", opts->ext,
                  "Search for a target in external memory mode (down to 300 baud, no 2.005 MHz rule)");
    cmd->callback([opts, &state] { state.exitCode = RunBaud(*opts, state); });
}

}  // namespace tessel::cli
