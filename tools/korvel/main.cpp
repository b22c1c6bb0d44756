// korvel: the Korvel magnetic-field meter from the command line.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <iostream>

#include "core/subcommand.h"
#include "core/config_file.h"
#include "core/failure.h"
#include "core/option_values.h"

#define KORVEL_SUBCOMMAND(name) void add_##name##_command(CLI::App&, korvel::cli::Context&);
#include "subcommands.def"
#undef KORVEL_SUBCOMMAND

namespace {

using korvel::cli::Context;

constexpr const char* kDescription =
    "Drive a Korvel USB magnetic-field meter from the terminal (with --simulate, a simulated one)";

// The rest of the reference is korvel(1), made from the same definitions.
constexpr const char* kFooter = R"(
See 'man korvel' (or 'korvel help') for the description, exit status, environment and examples,
and 'korvel COMMAND --help' for each command's options.)";

using AddFunction = void (*)(CLI::App&, Context&);
constexpr AddFunction kSubcommands[] = {
#define KORVEL_SUBCOMMAND(name) add_##name##_command,
#include "subcommands.def"
#undef KORVEL_SUBCOMMAND
};

std::string commandPath(const CLI::App& app) {
    std::string path;
    for (const CLI::App* at = &app;;) {
        const auto chosen = at->get_subcommands();
        if (chosen.empty()) return path;
        at = chosen.front();
        path += " " + at->get_name();
    }
}

// A word is quoted for the log's command line when the shell would not take
// it as it stands.
std::string shellWord(const std::string& word) {
    if (!word.empty() && word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                                                "-_./:=,+@%") == std::string::npos)
        return word;
    std::string quoted = "'";
    for (const char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string commandLine(int argc, char** argv) {
    std::string line = "korvel";
    for (int i = 1; i < argc; ++i) line += " " + shellWord(argv[i]);
    return line;
}

// The first word that is neither an option nor an option's value, looked up
// among the subcommands of the deepest command chosen so far: a typing
// mistake gets the nearest name ("korvel raed": did you mean 'read'?).
std::string unknownCommandAdvice(CLI::App& app, int argc, char** argv) {
    CLI::App* at = &app;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--") return "";
        if (word.size() > 1 && word[0] == '-') {
            if (word.find('=') != std::string::npos) continue;
            const CLI::Option* option = at->get_option_no_throw(word);
            if (option == nullptr && at != &app) option = app.get_option_no_throw(word);
            if (option != nullptr && option->get_items_expected_min() > 0) ++i;  // its value
            continue;
        }
        std::vector<std::string> names;
        for (const CLI::App* sub : at->get_subcommands([](CLI::App*) { return true; })) names.push_back(sub->get_name());
        if (names.empty()) return "";
        if (std::find(names.begin(), names.end(), word) != names.end()) {
            at = at->get_subcommand(word);
            continue;
        }
        std::string list;
        for (const auto& name : names) list += (list.empty() ? "" : ", ") + name;
        const std::string nearest = korvel::cli::nearestName(word, names);
        const std::string prefix = at == &app ? "korvel" : "korvel" + commandPath(app);
        return "'" + word + "' is not a " + prefix + " command" +
               (nearest.empty() ? "" : "; did you mean '" + nearest + "'?") + " (commands: " + list + ")";
    }
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
    korvel::cli::addConfigOptions(app);

    context.commandLine = commandLine(argc, argv);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // --help and --version end here too, with exit code 0.
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return app.exit(e);
        std::fflush(stdout);
        // Our own sentence for a refused value; the nearest command for a
        // mistyped one; the parser's text for the rest.
        std::string message = e.what();
        const bool refusedValue = dynamic_cast<const CLI::ValidationError*>(&e) != nullptr;
        if (const std::string inFile = korvel::cli::configErrorMessage(
                e, app, argc, argv, refusedValue ? korvel::cli::lastOptionError() : std::string());
            !inFile.empty())
            message = inFile;
        else if (refusedValue && !korvel::cli::lastOptionError().empty())
            message = korvel::cli::lastOptionError();
        else if (const std::string advice = unknownCommandAdvice(app, argc, argv); !advice.empty())
            message = advice;
        std::cerr << "korvel: " << message << "\nRun 'korvel" << commandPath(app) << " --help' to see the options.\n";
        return korvel::cli::kExitUsage;
    }

    if (korvel::cli::printConfigAsked(app)) {
        std::fputs(korvel::cli::effectiveConfig(app).c_str(), stdout);
        return korvel::cli::kExitOk;
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
