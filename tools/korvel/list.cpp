// korvel list: every meter on the bus with its identification.
#include <cstdio>
#include <string>

#include "core/subcommand.h"
#include "core/failure.h"

namespace korvel::cli {
namespace {

constexpr int kProbeInfoSize = 24;

int runList(Session& session) {
    const Api& api = session.api();
    std::vector<Meter> meters = session.openAll();
    if (meters.empty()) session.throwNoMeter();
    int shown = 0;
    for (Meter& meter : meters) {
        if (!session.options().serial.empty() &&
            !identificationCarriesSerial(meter.identification(), session.options().serial))
            continue;
        char probe[kProbeInfoSize] = {};
        const std::string probeText = api.mtrGetProbeInfo(meter.handle(), probe) == 0
                                          ? identificationText(probe, kProbeInfoSize)
                                          : std::string("(no answer)");
        std::printf("%-10s %-40s probe: %s\n", meter.serial().empty() ? "?" : meter.serial().c_str(),
                    meter.identification().c_str(), probeText.c_str());
        ++shown;
    }
    if (shown == 0) {
        throw Failure(kExitNoMeter, "none of the " + std::to_string(meters.size()) +
                                        " meter(s) found has serial number " + session.options().serial);
    }
    return kExitOk;
}

}  // namespace
}  // namespace korvel::cli

void add_list_command(CLI::App& app, korvel::cli::Context& context) {
    using namespace korvel::cli;
    CLI::App* sub = addSubcommand(app, context, "list",
                                  "List every meter that can be opened, with its serial number and probe");
    sub->callback([&context] {
        context.action = [&context] {
            Session session(context.meter);
            return runList(session);
        };
    });
}
