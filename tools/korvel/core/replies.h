// What a reply of scpiCommand says about the command that produced it.
#pragma once

#include <string_view>

namespace korvel::cli {

enum class ReplyKind {
    Empty,    // the command has no reply
    Answer,   // an answer
    Refused,  // the library or the meter refused a command of the line
    Lost,     // a command of the line found the connection lost
};

// Looks at every ";"-separated piece: a piece "USB Connection Problem" means
// the connection is lost; a piece that starts with "ERR:", "Error" or
// "Unknown Cmd:" is a refusal.
ReplyKind classifyReply(std::string_view reply);

}  // namespace korvel::cli
