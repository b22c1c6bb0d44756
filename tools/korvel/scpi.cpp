// korvel scpi: SCPI lines to the meter, one reply per line.
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "core/subcommand.h"
#include "core/script.h"

namespace korvel::cli {
namespace {

int runScpi(Session& session, const std::vector<std::string>& lines) {
    session.library().require(reinterpret_cast<const void*>(session.api().scpiCommand), "scpiCommand");
    Meter meter = session.open();
    ScriptRunner runner(meter);
    if (lines.empty()) {
        runner.runStream(std::cin, false);
    } else {
        for (const auto& line : lines) {
            if (!runner.send(line)) break;
        }
    }
    return runner.finish();
}

}  // namespace
}  // namespace korvel::cli

void add_scpi_command(CLI::App& app, korvel::cli::Context& context) {
    using namespace korvel::cli;
    auto lines = std::make_shared<std::vector<std::string>>();
    CLI::App* sub = addSubcommand(app, context, "scpi",
                                  "Send SCPI lines to the meter and print each reply");
    sub->add_option("LINE", *lines, "SCPI lines (several commands per line separated by ';')");
    sub->callback([&context, lines] {
        context.action = [&context, lines] {
            Session session(context.meter);
            return runScpi(session, *lines);
        };
    });
}
