#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "Commands.h"
#include "device/ChipCatalogue.h"
#include "platform/Console.h"
#include "platform/SafeFile.h"

namespace tessel::cli {

namespace {

std::vector<std::string> ChipNames() {
    std::vector<std::string> names;
    for (const ChipInfo& chip : AllChips()) names.emplace_back(chip.model);
    return names;
}

}  // namespace

namespace {

std::map<const CLI::Option*, std::vector<std::string>>& Choices() {
    static std::map<const CLI::Option*, std::vector<std::string>> choices;
    return choices;
}

// Letters to change, add or drop to turn one word into the other.
size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

std::vector<const CLI::App*> NamedSubcommands(const CLI::App& app) {
    std::vector<const CLI::App*> out;
    for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; }))
        if (!sub->get_name().empty() && !sub->get_group().empty()) out.push_back(sub);
    return out;
}

}  // namespace

CLI::Option* OneOf(CLI::Option* opt, std::vector<std::string> values, bool ignoreCase) {
    if (ignoreCase) opt->check(CLI::IsMember(values, CLI::ignore_case));
    else opt->check(CLI::IsMember(values));
    Choices()[opt] = std::move(values);
    return opt;
}

CLI::Option* PortValues(CLI::Option* opt) {
    Choices()[opt] = {"@ports"};
    return opt;
}

const std::vector<std::string>* ChoicesOf(const CLI::Option* opt) {
    const auto it = Choices().find(opt);
    return it == Choices().end() ? nullptr : &it->second;
}

CLI::Validator Between(long long low, long long high, const std::string& extra) {
    const std::string text = "must be " + std::to_string(low) + " to " + std::to_string(high) + extra;
    return CLI::Validator(
        [low, high, text](std::string& value) -> std::string {
            long long n = 0;
            if (!CLI::detail::lexical_cast(value, n) || n < low || n > high) return text;
            return std::string();
        },
        std::to_string(low) + " to " + std::to_string(high));
}

void TidyDefaults(CLI::App& app) {
    for (CLI::Option* opt : app.get_options()) {
        std::string shown = opt->get_default_str();
        if (shown.empty()) continue;
        bool refused = opt->get_required() || opt->get_items_expected_max() > 1 || shown.front() == '[';
        for (int i = 0; !refused; ++i) {
            CLI::Validator* check = nullptr;
            try {
                check = opt->get_validator(i);
            } catch (const CLI::OptionNotFound&) {
                break;
            }
            std::string value = shown;
            refused = !(*check)(value).empty();
        }
        if (refused) opt->default_str("");
    }
    for (CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; })) TidyDefaults(*sub);
}

std::string UnknownCommandText(const CLI::App& app) {
    const CLI::App* at = &app;
    std::string path = app.get_name();
    while (!at->get_subcommands().empty()) {
        at = at->get_subcommands().front();
        path += " " + at->get_name();
    }
    const auto commands = NamedSubcommands(*at);
    if (commands.empty()) return std::string();
    std::string word;
    for (const std::string& arg : at->remaining()) {
        if (!arg.empty() && arg[0] != '-') {
            word = arg;
            break;
        }
    }
    if (word.empty()) return std::string();
    return UnknownCommandText(*at, path, word);
}

std::string UnknownCommandText(const CLI::App& at, const std::string& path, const std::string& word) {
    const auto commands = NamedSubcommands(at);
    std::string nearest;
    size_t best = word.size() / 3 + 2;  // farther than this is no typing slip
    for (const CLI::App* sub : commands) {
        const size_t d = EditDistance(word, sub->get_name());
        if (d < best) {
            best = d;
            nearest = sub->get_name();
        }
    }
    std::string text = path + ": unknown command '" + word + "'";
    return text + (nearest.empty() ? "; " + path + " --help lists the commands" : "; did you mean '" + nearest + "'?");
}

std::string UnknownOptionText(const CLI::App& app) {
    const CLI::App* at = &app;
    std::string path = app.get_name();
    while (!at->get_subcommands().empty()) {
        at = at->get_subcommands().front();
        path += " " + at->get_name();
    }
    std::string word;
    for (const std::string& arg : at->remaining()) {
        if (arg.size() > 1 && arg[0] == '-' && arg != "--") {
            word = arg.substr(0, arg.find('='));
            break;
        }
    }
    if (word.empty()) return std::string();
    // The options that stand before the command count too: they may be given after it.
    std::string nearest;
    size_t best = word.size() / 3 + 2;  // farther than this is no typing slip
    for (const CLI::App* level = at; level; level = level->get_parent()) {
        for (const CLI::Option* opt : level->get_options()) {
            for (const std::string& name : opt->get_lnames()) {
                const size_t d = EditDistance(word, "--" + name);
                if (d < best) {
                    best = d;
                    nearest = "--" + name;
                }
            }
        }
    }
    const std::string text = path + ": unknown option " + word;
    return text + (nearest.empty() ? "; " + path + " --help lists the options" : "; did you mean " + nearest + "?");
}

namespace {

// Lines longer than `width` broken at a blank, never inside a word; a continued line starts
// where its description did (the option column), or at the margin for a paragraph.
std::string WrapHelp(const std::string& help, size_t width, size_t column) {
    std::string out;
    size_t start = 0;
    while (start < help.size()) {
        size_t end = help.find('\n', start);
        if (end == std::string::npos) end = help.size();
        std::string line = help.substr(start, end - start);
        const bool described = !line.empty() && line[0] == ' ' && line.size() > column;
        const size_t indent = described ? (width >= 2 * column ? column : width / 3) : 0;
        while (line.size() > width) {
            size_t cut = line.rfind(' ', width);
            // Only the blanks after the indent and after the first word are places to break.
            if (cut == std::string::npos || cut <= indent || line.find_first_not_of(' ') >= cut) break;
            out += line.substr(0, cut) + '\n';
            const size_t next = line.find_first_not_of(' ', cut);
            line = std::string(indent, ' ') + (next == std::string::npos ? std::string() : line.substr(next));
        }
        out += line;
        if (end < help.size()) out += '\n';
        start = end + 1;
    }
    return out;
}

class WrappingFormatter : public CLI::Formatter {
public:
    std::string make_help(const CLI::App* app, std::string name, CLI::AppFormatMode mode) const override {
        std::string help = CLI::Formatter::make_help(app, std::move(name), mode);
        // A pipe (a pager, help2man) has no width of its own and reflows what it takes.
        if (!console::IsTerminal(console::Stream::Output)) return help;
        const int columns = console::Columns(console::Stream::Output);
        // A line that fills the last column leaves an empty one after it on some terminals.
        const size_t width = static_cast<size_t>(columns > 20 ? columns - 1 : 79);
        return WrapHelp(help, width, get_column_width());
    }
};

}  // namespace

void SetHelpFormatter(CLI::App& app) { app.formatter(std::make_shared<WrappingFormatter>()); }

void SetFailureMessage(CLI::App& app) {
    app.failure_message([](const CLI::App* failed, const CLI::Error& e) {
        std::string text = e.what();
        // The checks say "must be ..." after the option's name: one sentence, not a label.
        if (const size_t at = text.find(": must be "); at != std::string::npos) text.erase(at, 1);
        text += "\n";
        if (failed->get_help_ptr()) text += "Run with " + failed->get_help_ptr()->get_name() + " for more information.\n";
        return text;
    });
}

CLI::Validator OutputFile(bool standardOutput) {
    return CLI::Validator(
        [standardOutput](std::string& value) -> std::string {
            if (value == kStandardStream)
                return standardOutput ? std::string() : "standard output (-) cannot take it; name a file";
            std::string why;
            return CheckOutputFile(value, &why) ? std::string() : why;
        },
        std::string());
}

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
        PortValues(cmd->add_option("-p,--port", o.port,
                                   "Serial port: a device path (relative ones too), COMn, serial:NUMBER (a USB "
                                   "adapter's serial number), or sim[:CHIP[:FIRMWARE]]; default: the one USB serial "
                                   "adapter present"));
        OneOf(cmd->add_option("--chip", o.chip,
                              "Chip model. A 1.1F loader does not report it: nothing is erased or programmed "
                              "without it (a stand-in board's name gives it; else NX31A32 is assumed for reading)"),
              ChipNames(), true);
        OneOf(cmd->add_option("--mode", o.mode, "Memory mode: internal (EA#=1) or external (EA#=0)"),
              {"internal", "external"});
        OneOf(cmd->add_option("-b,--baud", o.baud,
                              "Baud rate (default 0: the best rate for the crystal); 57600 and 115200 are beyond the "
                              "loader's documented list, for a 1.1F loader where the crystal makes them, and fall "
                              "back to the best listed rate if the loader does not answer"),
              {"0", "600", "1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200"});
        cmd->add_option("--crystal", o.crystal, "Target crystal frequency in MHz (1 to 40)")->check(CrystalCheck());
        OneOf(cmd->add_option("--firmware", o.firmware,
                              "Loader firmware to detect: 1.1F (the default, but for a stand-in board named with its "
                              "firmware), 1.1E (offers the upgrade to 1.1F) or unknown"),
              {"1.1F", "1.1E", "unknown"});
        cmd->add_option("--trace-wire", o.traceWire, "Write every byte on the line, with its time, to FILE")
            ->check(OutputFile(false));
        cmd->add_option("--firmware-dir", o.firmwareDir,
                        "Look here first for the target images (stubs, loaders, monitor); `tessel firmware` lists "
                        "them");
    }
    cmd->add_flag("-y,--yes", o.yes, "Answer Yes to every question");
    cmd->add_flag("-v,--verbose", o.verbose, "Show debug traces, the loader's progress texts and the desktop program's message texts");
    cmd->add_flag("-q,--quiet", state.quiet, "Print only the data asked for, errors and the result line");
    cmd->add_flag("--json", state.json,
                  "Write one JSON object per line to stdout (see the README); human text goes to stderr");
}

}  // namespace tessel::cli
