// korvel help: the reference (man pages, docs/cli-reference.md, the bash
// completion) printed from the options' own definitions and the tables in
// help/. The build makes the man pages and the completion script with it.
#include <cstdio>
#include <string>

#include "core/failure.h"
#include "core/subcommand.h"
#include "help/pages.h"

namespace korvel::cli {
namespace {

struct HelpOptions {
    std::string command;
    bool man = false;
    bool markdown = false;
    std::string completion;
};

int runHelp(const CLI::App& program, const HelpOptions& options) {
    if (!options.completion.empty()) {
        std::fputs(help::bashCompletion(program).c_str(), stdout);
        return kExitOk;
    }
    if (options.markdown && options.command.empty()) {
        std::fputs(help::markdownReference(program).c_str(), stdout);
        return kExitOk;
    }
    const CLI::App* command = &program;
    if (!options.command.empty() && options.command != "korvel") {
        const auto found = program.get_subcommands(
            [&](const CLI::App* sub) { return sub->get_name() == options.command; });
        if (found.empty())
            throw Failure(kExitUsage, "no command '" + options.command + "' (korvel --help lists them)");
        command = found.front();
    }
    const std::string page = options.man ? help::manPage(*command) : help::markdownCommand(*command);
    std::fputs(page.c_str(), stdout);
    return kExitOk;
}

}  // namespace
}  // namespace korvel::cli

void add_help_command(CLI::App& app, korvel::cli::Context& context) {
    using namespace korvel::cli;
    static HelpOptions options;
    CLI::App* sub = app.add_subcommand("help", "Print the reference of the program or of a command");
    sub->footer("\nThe reference of COMMAND (as Markdown text), its man page (--man) or all of it (--markdown).\n"
                "See korvel-help(1).\n");
    sub->add_option("COMMAND", options.command, "The command (default: the program itself)");
    sub->add_flag("--man", options.man, "As a man page (roff)");
    sub->add_flag("--markdown", options.markdown,
                  "As Markdown; without COMMAND, every command (docs/cli-reference.md)");
    sub->add_option("--completion", options.completion, "Print the completion script for this shell")
        ->type_name("SHELL")
        ->check(CLI::IsMember({"bash"}));
    sub->callback([&app, &context] { context.action = [&app] { return runHelp(app, options); }; });
}
