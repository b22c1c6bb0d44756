// korvel console: an interactive SCPI console with line editing, history and
// Tab completion of the command tree's keywords.
#include <editline/readline.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "core/command.h"
#include "core/failure.h"
#include "core/scpi_catalog.h"
#include "core/script.h"

namespace korvel::cli {
namespace {

constexpr int kHistoryLines = 1000;

std::string historyPath() {
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') return {};
    return std::string(home) + "/.korvel_history";
}

// Completion state for libedit, which asks for one match at a time.
std::vector<std::string> completions;

char* nextCompletion(const char* text, int state) {
    if (state == 0) completions = completeScpi(text);
    const auto index = static_cast<size_t>(state);
    return index < completions.size() ? strdup(completions[index].c_str()) : nullptr;
}

char** completeLine(const char* text, int, int) {
    rl_attempted_completion_over = 1;  // never fall back to file names
    return rl_completion_matches(text, nextCompletion);
}

int runInteractive(Meter& meter) {
    rl_readline_name = "korvel";
    rl_basic_word_break_characters = " ;";
    rl_completion_append_character = '\0';
    rl_attempted_completion_function = completeLine;
    const std::string history = historyPath();
    stifle_history(kHistoryLines);
    if (!history.empty()) read_history(history.c_str());

    std::printf("Connected to %s\nType SCPI commands (Tab completes), 'help' for the list, 'quit' to leave.\n",
                meter.identification().c_str());
    ScriptRunner runner(meter);
    while (true) {
        char* input = readline("korvel> ");
        if (input == nullptr) {  // Ctrl-D
            std::printf("\n");
            break;
        }
        std::string line(input);
        std::free(input);
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        add_history(line.c_str());
        // Saved as it grows, so a session ended by Ctrl-C keeps its history.
        if (!history.empty()) write_history(history.c_str());
        bool quit = false;
        if (isConsoleWord(line, &quit)) {
            if (quit) break;
            std::printf("%s", scpiHelpText().c_str());
            continue;
        }
        if (!runner.send(line)) break;
    }
    if (!history.empty()) history_truncate_file(history.c_str(), kHistoryLines);
    // Refusals were seen as they came; only a lost meter fails the session.
    return runner.lost() ? runner.finish() : kExitOk;
}

int runConsole(Session& session) {
    session.library().require(reinterpret_cast<const void*>(session.api().scpiCommand), "scpiCommand");
    Meter meter = session.open();
    session.armUnplug(meter);
    if (isatty(STDIN_FILENO) == 0) {
        // On a pipe: the lines of `korvel scpi`, no prompt.
        ScriptRunner runner(meter);
        runner.runStream(std::cin, true);
        return runner.finish();
    }
    return runInteractive(meter);
}

}  // namespace
}  // namespace korvel::cli

void add_console_command(CLI::App& app, korvel::cli::Context& context) {
    using namespace korvel::cli;
    CLI::App* sub = addSubcommand(
        app, context, "console",
        "Interactive SCPI console with line editing, history and Tab completion: history is kept in "
        "~/.korvel_history, Tab completes the command keywords, 'help' lists the commands, 'quit' (or "
        "Ctrl-D) leaves. On a pipe it reads lines like 'korvel scpi', without a prompt.",
        "  korvel console\n  korvel --simulate console\n  printf '*IDN?\\n:MEAS:FLUX?\\n' | korvel console\n");
    sub->callback([&context] {
        context.action = [&context] {
            Session session(context.meter);
            return runConsole(session);
        };
    });
}
