// A man page: NAME, SYNOPSIS, DESCRIPTION, (COMMANDS,) OPTIONS, the page's own
// sections, EXIT STATUS, ENVIRONMENT, EXAMPLES, SEE ALSO.
#include <string>

#include "help/command_tree.h"
#include "help/markup.h"
#include "help/pages.h"
#include "help/reference.h"

namespace korvel::cli::help {
namespace {

std::string upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

// ".TP" with the option's names in bold and its value in italics.
std::string optionItem(const CLI::Option& option) {
    std::string term;
    for (const auto& name : optionNames(option)) {
        if (!term.empty()) term += ", ";
        term += option.nonpositional() ? "\\fB" + roffInline(name, false) + "\\fR" : "\\fI" + name + "\\fR";
    }
    if (const std::string value = valueName(option); !value.empty() && option.nonpositional())
        term += " \\fI" + roffInline(value, false) + "\\fR";
    std::string text = option.get_description();
    if (option.nonpositional() && option.get_required()) text += " (required)";
    return ".TP\n" + term + "\n" + roffInline(text, false) + "\n";
}

std::string optionsOf(const CLI::App& command, const CLI::App* parent) {
    std::string out;
    bool first = true;
    for (const OptionGroup& group : optionGroups(command, parent)) {
        if (!first || group.title != "Options") out += ".SS \"" + roffInline(group.title, false) + "\"\n";
        for (const CLI::Option* option : group.options) out += optionItem(*option);
        first = false;
    }
    return out;
}

std::string seeAlso(const CLI::App& command, const Reference* reference) {
    std::string out;
    if (command.get_parent() == nullptr) {
        for (const CLI::App* sub : subcommandsOf(command))
            out += ".BR " + roffInline(pageName(*sub), false) + " (1),\n";
        return out + ".BR korvel (3)\n";
    }
    out = ".BR korvel (1)";
    if (reference != nullptr && reference->seeAlso != nullptr) out += ",\n" + roffInline(reference->seeAlso, false);
    return out + "\n";
}

}  // namespace

std::string manPage(const CLI::App& command) {
    const bool program = command.get_parent() == nullptr;
    const std::string name = pageName(command);
    const Reference* reference = referenceOf(program ? "" : command.get_name().c_str());
    std::string out = ".TH " + roffInline(upper(name), false) + " 1 \"\" \"korvel " KORVEL_CLI_VERSION
                      "\" \"Korvel manual\"\n.nh\n";
    out += ".SH NAME\n" + roffInline(name, false) + " \\- " + roffInline(command.get_description(), false) + "\n";
    out += ".SH SYNOPSIS\n";
    const std::string path = program ? "korvel" : "korvel " + command.get_name();
    bool firstLine = true;
    for (const auto& line : synopsis(command, path)) {
        out += (firstLine ? "" : ".br\n") + roffInline(line, false) + "\n";
        firstLine = false;
    }
    if (reference != nullptr) out += ".SH DESCRIPTION\n" + roffBlocks(reference->description);
    if (program) {
        out += ".SH COMMANDS\n";
        for (const CLI::App* sub : subcommandsOf(command))
            out += ".TP\n\\fB" + sub->get_name() + "\\fR\n" + roffInline(sub->get_description(), false) + ". See \\fB" +
                   roffInline(pageName(*sub), false) + "\\fR(1).\n";
    }
    out += ".SH OPTIONS\n" + optionsOf(command, nullptr);
    for (const CLI::App* sub : subcommandsOf(command)) {
        if (program) break;
        out += ".SS \"" + roffInline(path + " " + sub->get_name(), false) + "\"\n" +
               roffInline(sub->get_description(), false) + "; the options above, and:\n" + optionsOf(*sub, &command);
    }
    if (reference != nullptr) {
        for (const Section* s = reference->sections; s != nullptr && s->title != nullptr; ++s)
            out += ".SH " + std::string(s->title) + "\n" + roffBlocks(s->text);
        out += ".SH EXIT STATUS\n";
        for (const ExitCode* e = reference->exitCodes; e->code >= 0; ++e)
            out += ".TP\n.B " + std::to_string(e->code) + "\n" + roffInline(e->meaning) + "\n";
    }
    if (const auto variables = variablesOf(program ? "" : command.get_name()); !variables.empty()) {
        out += ".SH ENVIRONMENT\n";
        for (const Variable* v : variables)
            out += ".TP\n.B " + std::string(v->name) + "\n" + roffInline(v->meaning) + "\n";
    }
    if (reference != nullptr && reference->examples != nullptr && reference->examples->command != nullptr) {
        out += ".SH EXAMPLES\n";
        for (const Example* e = reference->examples; e->command != nullptr; ++e)
            out += ".PP\n" + (*e->says != '\0' ? roffInline(e->says) + "\n" : std::string()) + ".RS 4\n.nf\n" +
                   roffInline(e->command, false) + "\n.fi\n.RE\n";
    }
    return out + ".SH SEE ALSO\n" + seeAlso(command, reference);
}

std::string pageName(const CLI::App& command) {
    std::string name;
    for (const CLI::App* at = &command; at->get_parent() != nullptr; at = at->get_parent()) name = at->get_name();
    return name.empty() ? "korvel" : "korvel-" + name;
}

}  // namespace korvel::cli::help
