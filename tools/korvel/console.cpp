// korvel console: an interactive SCPI console with line editing, history and
// Tab completion of the command tree's keywords.
#include <editline/readline.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "core/subcommand.h"
#include "core/stop_signals.h"
#include "core/failure.h"
#include "core/scpi_catalog.h"
#include "core/script.h"
#include "core/system_library.h"

namespace korvel::cli {
namespace {

constexpr int kHistoryLines = 1000;

// libedit, opened only for an interactive console (a pipe needs no editor),
// so no other subcommand pays for loading it and its terminal libraries.
#define KORVEL_EDIT_SYMBOLS(X)                                                                        \
    X(readline) X(add_history) X(stifle_history) X(read_history) X(write_history)                      \
    X(history_truncate_file) X(rl_completion_matches) X(rl_readline_name) X(rl_getc_function)          \
    X(rl_catch_signals) X(rl_basic_word_break_characters) X(rl_completion_append_character)            \
    X(rl_attempted_completion_function) X(rl_attempted_completion_over)

struct LineEditor {
#define KORVEL_POINTER(name) decltype(&::name) name = nullptr;
    KORVEL_EDIT_SYMBOLS(KORVEL_POINTER)
#undef KORVEL_POINTER
};

LineEditor edit;

void openLineEditor() {
    static const SystemSymbol symbols[] = {
#define KORVEL_SYMBOL(name) {#name, &edit.name},
        KORVEL_EDIT_SYMBOLS(KORVEL_SYMBOL)
#undef KORVEL_SYMBOL
        {nullptr, nullptr}};
    const std::string why =
        openSystemLibrary({"libedit.so.2", "libedit2", "KORVEL_LIBEDIT_LIBRARY", symbols}, "korvel console");
    if (!why.empty()) throw Failure(kExitMeterError, why + "; piped lines (korvel console < FILE) need no line editor");
}

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
    *edit.rl_attempted_completion_over = 1;  // never fall back to file names
    return edit.rl_completion_matches(text, nextCompletion);
}

// Ctrl-C at the prompt: counted by the tool's signal policy; the line being
// typed is dropped and a fresh prompt shows (Ctrl-D or quit ends the console).
const StopSignals* interrupts = nullptr;

bool interrupted() { return interrupts != nullptr && interrupts->count() > 0; }

// Keys handed to the line editor after a Ctrl-C: kill the line, then end it,
// so readline() returns an empty line the loop skips.
constexpr char kDropLine[] = {0x15, '\r'};
size_t dropping = sizeof kDropLine;

// The line editor's key source: the terminal, with the keys above after a
// Ctrl-C (the editor itself would go on with the half-typed line).
int readKey(FILE*) {
    while (true) {
        if (dropping < sizeof kDropLine) return static_cast<unsigned char>(kDropLine[dropping++]);
        unsigned char key = 0;
        const ssize_t n = ::read(STDIN_FILENO, &key, 1);
        if (n == 1) return key;
        if (n < 0 && errno == EINTR) {
            if (interrupted()) dropping = 0;
            continue;
        }
        return EOF;
    }
}


int runInteractive(Meter& meter) {
    *edit.rl_readline_name = "korvel";
    *edit.rl_getc_function = readKey;  // before the editor starts (the history calls start it)
    *edit.rl_catch_signals = 0;        // its own handler would pass Ctrl-C to the whole process group
    *edit.rl_basic_word_break_characters = " ;";
    *edit.rl_completion_append_character = '\0';
    *edit.rl_attempted_completion_function = completeLine;
    const std::string history = historyPath();
    edit.stifle_history(kHistoryLines);
    if (!history.empty()) edit.read_history(history.c_str());

    std::printf("Connected to %s\nType SCPI commands (Tab completes), 'help' for the list, 'quit' to leave.\n",
                meter.identification().c_str());
    ScriptRunner runner(meter);
    SignalPolicy policy;
    policy.further = FurtherSignal::Counted;
    policy.interruptOnly = true;  // the terminal read returns at once (no SA_RESTART)
    StopSignals signals(policy);
    interrupts = &signals;
    while (true) {
        signals.reset();
        char* input = edit.readline("korvel> ");
        if (interrupted()) {  // Ctrl-C: the line was dropped
            std::free(input);
            continue;
        }
        if (input == nullptr) {  // Ctrl-D
            std::printf("\n");
            break;
        }
        std::string line(input);
        std::free(input);
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        edit.add_history(line.c_str());
        // Saved as it grows, so a session ended by Ctrl-C keeps its history.
        if (!history.empty()) edit.write_history(history.c_str());
        bool quit = false;
        std::string topic;
        if (isConsoleWord(line, &quit, &topic)) {
            if (quit) break;
            std::printf("%s", scpiHelpText(topic).c_str());
            continue;
        }
        if (!runner.send(line)) break;
    }
    interrupts = nullptr;
    if (!history.empty()) edit.history_truncate_file(history.c_str(), kHistoryLines);
    // Refusals were seen as they came; only a lost meter fails the session.
    return runner.lost() ? runner.finish() : kExitOk;
}

int runConsole(Session& session) {
    session.library().require(reinterpret_cast<const void*>(session.api().scpiCommand), "scpiCommand");
    const bool interactive = isatty(STDIN_FILENO) != 0;
    if (interactive) openLineEditor();  // before the meter, so a missing editor costs no open
    Meter meter = session.open();
    if (!interactive) {
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
    CLI::App* sub = addSubcommand(app, context, "console",
                                  "Interactive SCPI console with line editing, history and Tab completion");
    sub->callback([&context] {
        context.action = [&context] {
            Session session(context.meter);
            return runConsole(session);
        };
    });
}
