// The bash completion script: after `korvel` its subcommands and options,
// after a subcommand (and a sub-subcommand) theirs; an option that takes a
// FILE, DIR or PATH completes file names.
#include <string>

#include "help/command_tree.h"
#include "help/pages.h"

namespace korvel::cli::help {
namespace {

struct Words {
    std::string commands;  // the command paths, " eeprom dump", as case patterns
    std::string cases;     // one case arm per command path
    std::string fileOptions;
};

void collect(const CLI::App& command, const std::string& path, Words& words) {
    std::string list;
    for (const CLI::App* sub : subcommandsOf(command)) {
        list += sub->get_name() + " ";
        words.commands += (words.commands.empty() ? "\"" : "|\"") + path + " " + sub->get_name() + "\"";
    }
    for (const OptionGroup& group : optionGroups(command))
        for (const CLI::Option* option : group.options) {
            if (!option->nonpositional()) continue;
            const std::string value = valueName(*option);
            for (const auto& name : optionNames(*option)) {
                list += name + " ";
                if (value == "FILE" || value == "DIR" || value == "PATH")
                    words.fileOptions += (words.fileOptions.empty() ? "" : "|") + name;
            }
        }
    if (!list.empty()) list.pop_back();
    words.cases += "        \"" + path + "\") words=\"" + list + "\" ;;\n";
    for (const CLI::App* sub : subcommandsOf(command)) collect(*sub, path + " " + sub->get_name(), words);
}

}  // namespace

std::string bashCompletion(const CLI::App& program) {
    Words words;
    collect(program, "", words);
    return "# bash completion for korvel (made by `korvel help --completion bash`)\n"
           "_korvel() {\n"
           "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} path=\"\" words i\n"
           "    case \"$prev\" in\n"
           "        " + words.fileOptions + ")\n"
           "            COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n"
           "    esac\n"
           "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
           "        case \"$path ${COMP_WORDS[i]}\" in\n"
           "            " + words.commands + ") path=\"$path ${COMP_WORDS[i]}\" ;;\n"
           "        esac\n"
           "    done\n"
           "    case \"$path\" in\n" + words.cases +
           "    esac\n"
           "    COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n"
           "}\n"
           "complete -o default -F _korvel korvel\n";
}

}  // namespace korvel::cli::help
