#include "core/subcommand.h"

namespace korvel::cli {

CLI::App* addSubcommand(CLI::App& app, Context& context, const std::string& name, const std::string& summary) {
    CLI::App* sub = app.add_subcommand(name, summary);
    addMeterOptions(*sub, context.meter);
    // The description, examples and exit codes are in the man page, made
    // from the same definitions (korvel help).
    const std::string page = app.get_parent() == nullptr ? name : app.get_name();
    sub->footer("\nSee 'man korvel-" + page + "' (or 'korvel help " + page +
                "') for the description, exit status and examples.\n");
    return sub;
}

}  // namespace korvel::cli
