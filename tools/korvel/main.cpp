// korvel: the Korvel magnetic-field meter from the command line.
#include <cstdio>
#include <exception>
#include <iostream>

#include "core/command.h"
#include "core/failure.h"

#define KORVEL_SUBCOMMAND(name) void add_##name##_command(CLI::App&, korvel::cli::Context&);
#include "subcommands.def"
#undef KORVEL_SUBCOMMAND

namespace {

using korvel::cli::Context;

constexpr const char* kDescription =
    "korvel - the Korvel USB magnetic-field meter from the command line.\n"
    "Talks to the first meter found on USB, or with --simulate to a simulated meter.";

constexpr const char* kFooter = R"(
Exit codes:
  0  success
  1  the meter answered with an error, or the connection was lost (also: the
     memory differs from the image, the library could not be loaded)
  2  usage error (bad arguments, an image that does not fit, an output file
     that cannot be created)
  3  no meter found (or none could be opened)

Examples:
  korvel --simulate info                   what the (simulated) meter is and how it is set
  korvel --simulate read -n 10             ten readings
  korvel read --duration 60 --interval 0.5 --format csv -o field.csv
  korvel scpi '*IDN?' ':MEAS:FLUX?'        one reply per line
  korvel console                           interactive SCPI console (Tab completes, 'help')
  korvel eeprom dump -o backup.bin         back up the meter's calibration memory
  korvel list                              every meter on the bus, with its serial number

'korvel COMMAND --help' shows each command's options and examples.)";

using AddFunction = void (*)(CLI::App&, Context&);
constexpr AddFunction kSubcommands[] = {
#define KORVEL_SUBCOMMAND(name) add_##name##_command,
#include "subcommands.def"
#undef KORVEL_SUBCOMMAND
};

std::string commandPath(const CLI::App& app) {
    for (const CLI::App* sub : app.get_subcommands()) return " " + sub->get_name();
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    Context context;
    CLI::App app(kDescription, "korvel");
    app.set_version_flag("--version", "korvel " KORVEL_CLI_VERSION);
    app.footer(kFooter);
    app.require_subcommand(1);
    korvel::cli::addMeterOptions(app, context.meter);
    for (const AddFunction add : kSubcommands) add(app, context);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // --help and --version end here too, with exit code 0.
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return app.exit(e);
        std::fflush(stdout);
        std::cerr << "korvel: " << e.what() << "\nRun 'korvel" << commandPath(app)
                  << " --help' to see the options.\n";
        return korvel::cli::kExitUsage;
    }

    try {
        return context.action ? context.action() : korvel::cli::kExitUsage;
    } catch (const korvel::cli::Failure& failure) {
        std::fflush(stdout);
        std::cerr << "korvel: " << failure.what() << "\n";
        return failure.exitCode();
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::cerr << "korvel: unexpected error: " << e.what() << "\n";
        return korvel::cli::kExitMeterError;
    }
}
