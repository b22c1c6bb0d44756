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
// characters); piece is the zero-filled reply piece of kPieceSize bytes;
// context is the entry's own data (a setting's descriptor), or null.
// Returns 0, or the nonzero result of a failed meter command.
using CommandHandler = int (*)(Line& line, const char* text, char* piece, const void* context);

// What a command may do to the meter: service commands change its memory,
// calibration or hardware state, and a network bridge refuses them unless
// told otherwise. A memory byte is read by the query form of its command.
enum class Access { Open, Service, ServiceUnlessQuery };

struct CommandEntry {
    const char* keyword;            // as stored: upper case, or "unknown"
    int matchLength;                // leading keyword characters compared
    CommandHandler handler;         // when selected without a child table
    const CommandEntry* subtable;   // walked from the next ":" of the text
    const void* context = nullptr;  // handed to the handler
    Access access = Access::Open;
};

constexpr int keywordLength(const char* keyword) {
    int n = 0;
    while (keyword[n] != '\0') ++n;
    return n;
}

// A command: its whole keyword is compared.
constexpr CommandEntry command(const char* keyword, CommandHandler handler, const void* context = nullptr,
                               Access access = Access::Open) {
    return {keyword, keywordLength(keyword), handler, nullptr, context, access};
}
// A node whose child table is walked from the next ":" of the text.
constexpr CommandEntry node(const char* keyword, const CommandEntry* subtable) {
    return {keyword, keywordLength(keyword), nullptr, subtable};
}
// A subsystem of the root: only its colon and first three letters are
// compared (":SYS" selects :SYST), as the command set has always matched them.
constexpr CommandEntry rootNode(const char* keyword, const CommandEntry* subtable) {
    return {keyword, 4, nullptr, subtable};
}
// A command compared on its first `compared` characters only.
constexpr CommandEntry commandComparing(const char* keyword, int compared, CommandHandler handler) {
    return {keyword, compared, handler, nullptr};
}

// The command entry `position` selects in `table`, descending through child
// tables as the interpreter does; *at is where that entry's handler reads its
// text. Null when a node's keyword ends the text (unmatched at *at). A
// catch-all entry means no keyword matched.
const CommandEntry* resolveCommand(const char* position, const CommandEntry* table, const char** at);

// Selects the entry of `table` that matches `position` and runs it; returns
// the handler's result.
int walkCommandTable(Line& line, const char* position, char* piece, const CommandEntry* table);

// Handler of every catch-all entry: posts -100 and echoes the command.
int unmatchedCommand(Line& line, const char* text, char* piece, const void* context);

// The root of the command tree.
extern const CommandEntry kRootTable[];

}  // namespace korvel::scpi
