#include "help/command_tree.h"

#include <algorithm>
#include <sstream>

namespace korvel::cli::help {

std::vector<OptionGroup> optionGroups(const CLI::App& command, const CLI::App* parent) {
    std::vector<OptionGroup> groups;
    for (const CLI::Option* option : command.get_options()) {
        if (option->get_group().empty()) continue;  // hidden
        if (parent != nullptr && option->nonpositional()) {
            const auto& longNames = option->get_lnames();
            if (!longNames.empty() && parent->get_option_no_throw("--" + longNames.front()) != nullptr) continue;
        }
        auto at = std::find_if(groups.begin(), groups.end(),
                               [&](const OptionGroup& g) { return g.title == option->get_group(); });
        if (at == groups.end()) at = groups.insert(groups.end(), OptionGroup{option->get_group(), {}});
        at->options.push_back(option);
    }
    return groups;
}

std::vector<const CLI::App*> subcommandsOf(const CLI::App& command) {
    return command.get_subcommands([](const CLI::App* sub) { return !sub->get_name().empty(); });
}

std::vector<std::string> optionNames(const CLI::Option& option) {
    std::vector<std::string> names;
    if (!option.nonpositional()) return {option.get_name(true)};
    for (const auto& name : option.get_snames()) names.push_back("-" + name);
    for (const auto& name : option.get_lnames()) names.push_back("--" + name);
    return names;
}

std::string valueName(const CLI::Option& option) {
    if (option.get_items_expected_max() == 0) return "";
    const std::string full = option.get_type_name();
    return full.substr(0, full.find(':'));
}

std::vector<std::string> synopsis(const CLI::App& command, const std::string& path) {
    const auto subs = subcommandsOf(command);
    std::vector<std::string> lines;
    // The program itself: its options, then a command.
    if (!subs.empty() && command.get_parent() == nullptr) return {path + " [options] COMMAND [arguments]"};
    if (!subs.empty()) {
        for (const CLI::App* sub : subs) {
            const auto more = synopsis(*sub, path + " " + sub->get_name());
            lines.insert(lines.end(), more.begin(), more.end());
        }
        return lines;
    }
    std::string line = path;
    for (const CLI::Option* option : command.get_options()) {
        if (option->get_group().empty()) continue;
        if (option->nonpositional() && option->get_required())
            line += " " + optionNames(*option).front() + " " + valueName(*option);
    }
    line += " [options]";
    for (const CLI::Option* option : command.get_options()) {
        if (option->nonpositional()) continue;
        const std::string many = option->get_items_expected_max() > 1 ? "..." : "";
        const std::string word = option->get_name(true) + many;
        line += option->get_required() ? " " + word : " [" + word + "]";
    }
    return {line};
}

std::vector<const Variable*> variablesOf(const std::string& name) {
    std::vector<const Variable*> found;
    for (const Variable* v = kEnvironment; v->name != nullptr; ++v) {
        std::istringstream words(v->commands);
        std::string word;
        bool concerns = name.empty() || std::string(v->commands).empty();
        while (!concerns && words >> word) concerns = word == name;
        if (concerns) found.push_back(v);
    }
    return found;
}

}  // namespace korvel::cli::help
