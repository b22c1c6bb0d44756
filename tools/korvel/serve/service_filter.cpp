// Which lines would change the meter's memory, calibration or service hardware.
#include "serve/service_filter.h"

#include <string>

namespace korvel::cli::serve {

namespace {

// The piece from the next ":" after its first character: where the
// interpreter walks a child table from. Empty when there is none.
std::string_view descend(std::string_view text) {
    const size_t colon = text.find(':', 1);
    return colon == std::string_view::npos ? std::string_view() : text.substr(colon);
}

// One piece, upper-cased. Keywords match as prefixes of their compared
// length, exactly as the command tables compare them.
bool isServicePiece(std::string_view piece) {
    if (!piece.starts_with(":DIA")) return false;
    const std::string_view diag = descend(piece);
    for (const std::string_view keyword : {":REC", ":MUX", ":MOD", ":PWR"}) {
        if (diag.starts_with(keyword)) return true;
    }
    if (!diag.starts_with(":DAT")) return false;
    const std::string_view data = descend(diag);
    if (data.starts_with(":DAC")) return true;
    if (data.starts_with(":EEPR")) {
        // The handler reads when its keyword as typed (up to the first blank)
        // ends in "?"; everything else is a write, or a refusal it makes.
        const std::string_view keyword = data.substr(0, data.find(' '));
        return keyword.back() != '?';
    }
    return false;
}

}  // namespace

bool isServiceLine(std::string_view line) {
    std::string upper(line);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    std::string_view rest(upper);
    while (!rest.empty()) {
        const size_t end = rest.find(';');
        if (isServicePiece(rest.substr(0, end))) return true;
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + 1);
    }
    return false;
}

}  // namespace korvel::cli::serve
