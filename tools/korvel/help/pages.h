// The reference printed from the CLI11 definitions and the reference tables.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace korvel::cli::help {

// The man page (roff) of the program or of one of its subcommands.
std::string manPage(const CLI::App& command);
// The Markdown reference: the program, then every subcommand.
std::string markdownReference(const CLI::App& program);
// One command's part of it.
std::string markdownCommand(const CLI::App& command);
// A bash completion script: subcommands, then their options.
std::string bashCompletion(const CLI::App& program);

// "korvel-read" ("korvel" for the program).
std::string pageName(const CLI::App& command);

}  // namespace korvel::cli::help
