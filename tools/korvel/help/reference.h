// The reference of a command beside its options: what man pages, the Markdown
// reference and `korvel help` print. Options are not written here: they are
// read from the command's CLI11 definitions, so the two cannot drift.
//
// Text markup (one source for roff and Markdown): blocks are separated by a
// blank line; a block whose lines start with "- " is a list; a block whose
// lines start with two spaces is shown as typed; "### Title" starts a
// subsection; `backticks` mark literal text (bold in a man page).
#pragma once

namespace korvel::cli::help {

struct Example {
    const char* command;  // nullptr ends a table
    const char* says;
    bool runs;  // the docs tier runs it (simulated meter or a server on this host)
};

struct ExitCode {
    int code;  // -1 ends a table
    const char* meaning;
};

struct Section {
    const char* title;  // nullptr ends a table; upper case, as a man page has it
    const char* text;
};

struct Reference {
    const char* name;         // the subcommand ("" for the program itself); nullptr ends a table
    const char* description;  // paragraphs
    const Section* sections;  // after the options (may be nullptr)
    const Example* examples;
    const ExitCode* exitCodes;
    const char* seeAlso;  // besides korvel(1), e.g. "korvel-read(1), korvel(3)" (may be nullptr)
};

// Every environment variable the program reads, in one table.
struct Variable {
    const char* name;      // nullptr ends the table
    const char* commands;  // the subcommands it concerns, space-separated ("" : all)
    const char* meaning;
};

extern const Variable kEnvironment[];
// The exit codes most commands share.
extern const ExitCode kCommonExitCodes[];

// The reference of "" (the program) or a subcommand; nullptr when none.
const Reference* referenceOf(const char* name);
// All of them, the program's first, in the order of subcommands.def.
const Reference* const* references();

}  // namespace korvel::cli::help
