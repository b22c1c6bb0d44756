// What the reference reads from the CLI11 definitions: a command's options in
// their groups, its subcommands, the words of its synopsis.
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "help/reference.h"

namespace korvel::cli::help {

struct OptionGroup {
    std::string title;  // CLI11's group name ("Options" for the ungrouped)
    std::vector<const CLI::Option*> options;
};

// The options --help shows, in their groups, in the order they were added.
// Options that `parent` has too are left out (shown on the parent's page).
std::vector<OptionGroup> optionGroups(const CLI::App& command, const CLI::App* parent = nullptr);
std::vector<const CLI::App*> subcommandsOf(const CLI::App& command);

// "-n, --count" or "LINE".
std::vector<std::string> optionNames(const CLI::Option& option);
// "COUNT" for an option with a value, "" for a flag.
std::string valueName(const CLI::Option& option);
// "korvel read [options] [LINE...]": one line per leaf command under `command`.
std::vector<std::string> synopsis(const CLI::App& command, const std::string& path);

// The environment variables a command (or "" : the program) reads.
std::vector<const Variable*> variablesOf(const std::string& name);

}  // namespace korvel::cli::help
