#include "core/subcommand.h"

#include <algorithm>

namespace korvel::cli {
namespace {

constexpr size_t kHelpWidth = 96;

// The summary the program's own --help lists: the description up to its
// first ": " or ". ".
std::string summaryOf(const std::string& description) {
    const size_t cut = std::min(description.find(": "), description.find(". "));
    return cut == std::string::npos ? description : description.substr(0, cut);
}

std::string wrapped(const std::string& text) {
    std::string out, line;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(' ', start);
        if (end == std::string::npos) end = text.size();
        const std::string word = text.substr(start, end - start);
        if (!line.empty() && line.size() + 1 + word.size() > kHelpWidth) {
            out += line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
        start = end + 1;
    }
    return out + line;
}

}  // namespace

CLI::App* addSubcommand(CLI::App& app, Context& context, const std::string& name,
                        const std::string& description, const std::string& examples) {
    CLI::App* sub = app.add_subcommand(name, summaryOf(description));
    addMeterOptions(*sub, context.meter);
    std::string footer = "\n" + wrapped(description) + "\n";
    if (!examples.empty()) footer += "\nExamples:\n" + examples;
    sub->footer(footer);
    return sub;
}

}  // namespace korvel::cli
