#include "core/command.h"

namespace korvel::cli {

CLI::App* addSubcommand(CLI::App& app, Context& context, const std::string& name,
                        const std::string& description, const std::string& examples) {
    CLI::App* sub = app.add_subcommand(name, description);
    addMeterOptions(*sub, context.meter);
    if (!examples.empty()) sub->footer("\nExamples:\n" + examples);
    return sub;
}

}  // namespace korvel::cli
