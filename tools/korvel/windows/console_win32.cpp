// Windows: korvel console with plain lines (no line editing, history or Tab
// completion: libedit is a Linux library). 'help' and 'quit' work as on
// Linux; Ctrl-C or Ctrl-Z then Enter leaves.
#include <io.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "core/subcommand.h"
#include "core/failure.h"
#include "core/scpi_catalog.h"
#include "core/script.h"

namespace korvel::cli {
namespace {

int runInteractive(Meter& meter) {
    std::printf("Connected to %s\nType SCPI commands, 'help' for the list, 'quit' to leave.\n",
                meter.identification().c_str());
    ScriptRunner runner(meter);
    std::string line;
    while (true) {
        std::printf("korvel> ");
        std::fflush(stdout);
        if (!std::getline(std::cin, line)) {  // Ctrl-Z, Enter
            std::printf("\n");
            break;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        bool quit = false;
        std::string topic;
        if (isConsoleWord(line, &quit, &topic)) {
            if (quit) break;
            std::printf("%s", scpiHelpText(topic).c_str());
            continue;
        }
        if (!runner.send(line)) break;
    }
    return runner.lost() ? runner.finish() : kExitOk;
}

int runConsole(Session& session) {
    session.library().require(reinterpret_cast<const void*>(session.api().scpiCommand), "scpiCommand");
    Meter meter = session.open();
    if (_isatty(_fileno(stdin)) == 0) {
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
                                  "Interactive SCPI console, one plain line at a time (no line editing, history or "
                                  "Tab completion in this Windows build; 'quit' or Ctrl-Z, Enter leaves)");
    sub->callback([&context] {
        context.action = [&context] {
            Session session(context.meter);
            return runConsole(session);
        };
    });
}
