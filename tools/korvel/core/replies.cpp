#include "core/replies.h"

namespace korvel::cli {

ReplyKind classifyReply(std::string_view reply) {
    if (reply.empty()) return ReplyKind::Empty;
    ReplyKind kind = ReplyKind::Answer;
    size_t start = 0;
    while (start <= reply.size()) {
        size_t end = reply.find(';', start);
        if (end == std::string_view::npos) end = reply.size();
        const std::string_view piece = reply.substr(start, end - start);
        if (piece == "USB Connection Problem") return ReplyKind::Lost;
        if (piece.starts_with("ERR:") || piece.starts_with("Error") || piece.starts_with("Unknown Cmd:"))
            kind = ReplyKind::Refused;
        start = end + 1;
    }
    return kind;
}

}  // namespace korvel::cli
