// korvel help: the reference beside its options (see help/reference.h).
#include "help/reference.h"

namespace korvel::cli::help {
namespace {

const Example kExamples[] = {
    {"korvel help read", "The reference of korvel read, as Markdown text", true},
    {"korvel help --man read | man -l -", "Its man page, as the package installs it", false},
    {"korvel help --markdown > cli-reference.md", "The whole reference (docs/cli-reference.md)", true},
    {"source <(korvel help --completion bash)", "Tab completion in this shell", true},
    {nullptr, nullptr, false},
};

const ExitCode kExitCodes[] = {
    {0, "Success."},
    {2, "Usage error (an unknown command or shell)."},
    {-1, nullptr},
};

}  // namespace

extern const Reference k_help_reference;
const Reference k_help_reference = {
    "help",
    R"txt(Prints the reference of the program or of one of its commands: the options as the program
defines them, with the description, exit status, environment and examples written beside them in
tools/korvel/help/. The man pages, docs/cli-reference.md and the bash completion script are all made
from it, so they cannot drift from what the program accepts.

`korvel help COMMAND` prints the reference of COMMAND as Markdown text; `--man` prints it as a man
page; `--markdown` without a command prints every command's; `--completion bash` prints a script
that, sourced, makes Tab complete korvel's commands and options. `korvel COMMAND --help` stays
short: the options, and where the man page is.)txt",
    nullptr,
    kExamples,
    kExitCodes,
    nullptr,
};

}  // namespace korvel::cli::help
