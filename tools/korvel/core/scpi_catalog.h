// The SCPI commands the meter understands, with one line of help each: the
// console's `help` and its Tab completion.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvel::cli {

struct ScpiHelp {
    const char* command;  // the full command as typed, e.g. ":SENS:FLUX:RANG <0-2>"
    const char* help;
    // Changes the meter's memory, calibration or service hardware: a network
    // bridge refuses it unless allowed. Checked against the library's command
    // tree entry by entry.
    bool service = false;
};

std::span<const ScpiHelp> scpiCatalog();

// The keyword part of a catalogue entry (up to its first blank).
std::string_view scpiKeyword(const ScpiHelp& entry);

// Completions of the text typed so far (letter case ignored): every catalogue
// keyword that starts with it, shortened to the next ":" level when several
// share it, so Tab walks the tree one level at a time. Upper case, sorted,
// without duplicates.
std::vector<std::string> completeScpi(std::string_view typed);

// The help text: one line per command, aligned. With a topic, only the
// lines whose command or help holds it (letter case ignored), or a note that
// none does.
std::string scpiHelpText(std::string_view topic = {});

}  // namespace korvel::cli
