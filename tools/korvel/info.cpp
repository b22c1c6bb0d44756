// korvel info: what the meter is and how it is set.
#include <cstdio>
#include <string>

#include "core/subcommand.h"
#include "core/failure.h"
#include "core/meter_info.h"

namespace korvel::cli {
namespace {

int runInfo(Session& session) {
    const Api& api = session.api();
    session.library().require(reinterpret_cast<const void*>(api.scpiCommand), "scpiCommand");
    Meter meter = session.open();
    std::string autoRange = "not reported (the meter has no query for it)";
    if (const SimBench* bench = session.bench()) {
        // The bench can tell what the meter cannot.
        const int state = bench->autoRange(meter);
        autoRange = state < 0 ? "unknown" : state != 0 ? "on" : "off";
    }
    for (const InfoLine& line : gatherInfo(api, meter, autoRange))
        std::printf("%-13s %s\n", line.name.c_str(), line.value.c_str());
    std::printf("%-13s %s%s\n", "library", session.library().path().c_str(),
                session.simulated() ? " (simulated meter)" : "");
    return kExitOk;
}

}  // namespace
}  // namespace korvel::cli

void add_info_command(CLI::App& app, korvel::cli::Context& context) {
    using namespace korvel::cli;
    CLI::App* sub = addSubcommand(app, context, "info", "Show what the meter is and how it is set");
    sub->callback([&context] {
        context.action = [&context] {
            Session session(context.meter);
            return runInfo(session);
        };
    });
}
