// Options from a file, through CLI11's own config support: top-level keys
// for the options before the subcommand (meter = "KV0002"), a section per
// subcommand ([read], [publish], [serve]) for its own; the command line
// wins. The file: --config FILE, else $XDG_CONFIG_HOME/korvel/korvel.conf
// (~/.config/korvel/korvel.conf), else /etc/korvel/korvel.conf.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace korvel::cli {

// The first of the default files that exists ("" when none does).
std::string defaultConfigFile();

// Adds --config to the program and --print-config to each subcommand; call
// before the subcommands' options... after they are added (unknown keys
// are refused from then on).
void addConfigOptions(CLI::App& app);

// The subcommand chosen asked for --print-config.
bool printConfigAsked(const CLI::App& app);
// The effective settings of the chosen subcommand as a config file.
std::string effectiveConfig(const CLI::App& app);

// The file the options were read from ("" when none).
std::string configFileUsed(const CLI::App& app);

// A sentence naming the file and the key for an error that came from the
// file ("" when the error is not about the file): CLI11's own text names
// neither well.
std::string configErrorMessage(const CLI::Error& error, const CLI::App& app, int argc, char** argv,
                               const std::string& optionError);

}  // namespace korvel::cli
