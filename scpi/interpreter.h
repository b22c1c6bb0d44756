// The SCPI interpreter: one line of ";"-separated commands, walked through a
// fixed tree of command tables, answered with one line of text.
#pragma once

#include "korvel.h"

namespace korvel::scpi {

inline constexpr int kMaxLineLength = 128;   // characters of a command line
inline constexpr int kMaxReplySize = 128;    // largest `size` accepted
inline constexpr int kWorkBufferSize = 1024;
inline constexpr int kPieceSize = 80;        // one handler's reply, terminator included

// What one call of scpiCommand carries from piece to piece. It lives on that
// call's stack, so calls on different handles never share anything.
struct Line {
    MeterHandle handle = 0;
    bool opcReplyPending = false;  // "*OPC?" seen: append "1;" at the end
    bool opcEventPending = false;  // "*OPC" or "*OPC?" seen: raise the event
};

// Every command handler: text is the upper-case command from the handler's
// matched keyword to the end of the piece (read only, at most 128
// characters); piece is the zero-filled reply piece of kPieceSize bytes.
// Returns 0, or the nonzero result of a failed meter command.
using CommandHandler = int (*)(Line& line, const char* text, char* piece);

struct CommandEntry {
    const char* keyword;            // as stored: upper case, or "unknown"
    int matchLength;                // leading keyword characters compared
    CommandHandler handler;         // when selected without a child table
    const CommandEntry* subtable;   // walked from the next ":" of the text
};

// Selects the entry of `table` that matches `position` and runs it; returns
// the handler's result.
int walkCommandTable(Line& line, const char* position, char* piece, const CommandEntry* table);

// Handler of every catch-all entry: posts -100 and echoes the command.
int unmatchedCommand(Line& line, const char* text, char* piece);

// The root of the command tree.
extern const CommandEntry kRootTable[];

}  // namespace korvel::scpi
