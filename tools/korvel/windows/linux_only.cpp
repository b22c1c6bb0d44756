// Windows: korvel serve and korvel publish are Linux-only for now (their
// network loop, web page and MQTT client are built on Linux libraries). They
// are listed, so --help says so, and refuse to run.
#include "core/subcommand.h"
#include "core/failure.h"

namespace {

void addLinuxOnly(CLI::App& app, korvel::cli::Context& context, const char* name, const char* what) {
    using namespace korvel::cli;
    CLI::App* sub = addSubcommand(app, context, name,
                                  std::string(what) + " Not in this Windows build of korvel.");
    sub->allow_extras();
    sub->callback([&context, name] {
        context.action = [name]() -> int {
            throw Failure(kExitUsage, std::string("'korvel ") + name +
                                          "' is available on Linux only; this Windows build offers info, "
                                          "list, read, scpi, console, eeprom and selftest");
        };
    });
}

}  // namespace

void add_serve_command(CLI::App& app, korvel::cli::Context& context) {
    addLinuxOnly(app, context, "serve", "Linux only: shares the meter on the network (SCPI over TCP, a live web page).");
}

void add_publish_command(CLI::App& app, korvel::cli::Context& context) {
    addLinuxOnly(app, context, "publish", "Linux only: publishes readings to an MQTT broker.");
}
