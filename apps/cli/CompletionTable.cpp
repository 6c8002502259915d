// The shell completion is generated at build time from the definitions that parse the command
// line, so that it follows every option added to a sub-command without an edit of its own.

#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"
#include "device/ChipCatalogue.h"
#include "platform/PortList.h"

namespace tessel::cli {

namespace {

std::string Join(const std::vector<std::string>& words) {
    std::string out;
    for (const auto& w : words) {
        if (!out.empty()) out += ' ';
        out += w;
    }
    return out;
}

// Option groups are nameless sub-apps whose options belong to the command that holds them.
// `values` gets "NAME=V1,V2" for each name of an option with a fixed set of values, "ARG=..."
// for a positional argument with one.
void CollectOptions(const CLI::App& app, std::vector<std::string>* flags, std::vector<std::string>* valued,
                    std::vector<std::string>* values) {
    for (const CLI::Option* opt : app.get_options()) {
        if (opt->get_group().empty()) continue;  // hidden, like the table itself
        std::vector<std::string> names;
        for (const auto& s : opt->get_snames()) names.push_back("-" + s);
        for (const auto& l : opt->get_lnames()) names.push_back("--" + l);
        auto& into = opt->get_items_expected_max() > 0 ? *valued : *flags;
        into.insert(into.end(), names.begin(), names.end());
        const std::vector<std::string>* choices = ChoicesOf(opt);
        if (!choices) continue;
        std::string list;
        for (const auto& c : *choices) list += (list.empty() ? "" : ",") + c;
        if (names.empty()) names.push_back("ARG");
        for (const auto& n : names) values->push_back(n + "=" + list);
    }
    for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; }))
        if (sub->get_name().empty()) CollectOptions(*sub, flags, valued, values);
}

// One line per command: its path, its sub-commands, the options that take no value, the
// options that take one and the values of those with a fixed set, the five fields separated by
// tabs and the words by spaces.
void PrintCommand(const CLI::App& app, const std::string& path) {
    std::vector<std::string> subs, flags, valued, values;
    std::vector<const CLI::App*> named;
    for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
        if (sub->get_name().empty() || sub->get_group().empty()) continue;
        subs.push_back(sub->get_name());
        named.push_back(sub);
    }
    CollectOptions(app, &flags, &valued, &values);
    std::printf("%s\t%s\t%s\t%s\t%s\n", path.c_str(), Join(subs).c_str(), Join(flags).c_str(), Join(valued).c_str(),
                Join(values).c_str());
    for (const CLI::App* sub : named) PrintCommand(*sub, path + " " + sub->get_name());
}

}  // namespace

void AddHelpCommand(CLI::App& app) {
    std::vector<std::string> commands;
    for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; }))
        if (!sub->get_name().empty()) commands.push_back(sub->get_name());
    CLI::App* help = app.add_subcommand("help", "Show the options of a command, e.g. tessel help download");
    // Never parsed (main turns the words into COMMAND --help); defined for the listing and
    // the completion.
    static std::vector<std::string> words;
    OneOf(help->add_option("command", words, "The command, and its sub-command if it has any"), commands);
}

void AddCompletionTable(CLI::App& app) {
    app.add_flag_callback("--completion-table", [&app] {
           PrintCommand(app, "tessel");
           throw CLI::Success();
       })
        ->group("")
        ->trigger_on_parse();
    // The ports a user would name: the stable names first, then the devices present, then the
    // stand-in board for each chip.
    app.add_flag_callback("--completion-ports", [] {
           for (const PortEntry& p : ListSerialPorts())
               if (!p.byId.empty()) std::printf("%s\n", p.byId.c_str());
           for (const PortEntry& p : ListSerialPorts()) std::printf("%s\n", p.name.c_str());
           for (const ChipInfo& chip : AllChips()) std::printf("sim:%s\n", chip.model);
           throw CLI::Success();
       })
        ->group("")
        ->trigger_on_parse();
}

}  // namespace tessel::cli
