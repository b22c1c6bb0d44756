// What a subcommand file provides and what it gets: each subcommand lives in
// its own file tools/korvel/<name>.cpp, defines
//     void add_<name>_command(CLI::App& app, korvel::cli::Context& context)
// and is registered by one line KORVEL_SUBCOMMAND(<name>) in subcommands.def.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <string>

#include "core/session.h"

namespace korvel::cli {

struct Context {
    // The meter options; the same object is bound on the program and on every
    // subcommand, so they may stand before or after the subcommand's name.
    MeterOptions meter;
    // Set by the chosen subcommand's callback; returns the exit code and may
    // throw Failure.
    std::function<int()> action;
    // The command line as typed (quoted where a word needs it), for logs.
    std::string commandLine;
};

// Adds the subcommand with the meter options. `summary` is the one line the
// program's --help and the man page's NAME show; the rest of the reference is
// in help/<name>_reference.cpp, and --help points to the man page.
CLI::App* addSubcommand(CLI::App& app, Context& context, const std::string& name, const std::string& summary);

}  // namespace korvel::cli
