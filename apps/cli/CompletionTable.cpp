// The shell completion is generated at build time from the definitions that parse the command
// line, so that it follows every option added to a sub-command without an edit of its own.

#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"

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
void CollectOptions(const CLI::App& app, std::vector<std::string>* flags, std::vector<std::string>* valued) {
    for (const CLI::Option* opt : app.get_options()) {
        if (opt->get_group().empty()) continue;  // hidden, like the table itself
        auto& into = opt->get_items_expected_max() > 0 ? *valued : *flags;
        for (const auto& s : opt->get_snames()) into.push_back("-" + s);
        for (const auto& l : opt->get_lnames()) into.push_back("--" + l);
    }
    for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; }))
        if (sub->get_name().empty()) CollectOptions(*sub, flags, valued);
}

// One line per command: its path, its sub-commands, the options that take no value and the
// options that take one, the four fields separated by tabs and the words by spaces.
void PrintCommand(const CLI::App& app, const std::string& path) {
    std::vector<std::string> subs, flags, valued;
    std::vector<const CLI::App*> named;
    for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
        if (sub->get_name().empty() || sub->get_group().empty()) continue;
        subs.push_back(sub->get_name());
        named.push_back(sub);
    }
    CollectOptions(app, &flags, &valued);
    std::printf("%s\t%s\t%s\t%s\n", path.c_str(), Join(subs).c_str(), Join(flags).c_str(), Join(valued).c_str());
    for (const CLI::App* sub : named) PrintCommand(*sub, path + " " + sub->get_name());
}

}  // namespace

void AddCompletionTable(CLI::App& app) {
    app.add_flag_callback("--completion-table", [&app] {
           PrintCommand(app, "tessel");
           throw CLI::Success();
       })
        ->group("")
        ->trigger_on_parse();
}

}  // namespace tessel::cli
