#include "publish/record_check.h"

namespace korvel::cli::publish {
namespace {

constexpr int kDeepest = 32;  // nesting no reading record comes near

// A strict JSON syntax check; no values are built.
class Checker {
public:
    explicit Checker(std::string_view text) : text_(text) {}

    bool document() {
        if (!value(0)) return false;
        space();
        return at_ == text_.size();
    }

private:
    bool more() const { return at_ < text_.size(); }
    char peek() const { return more() ? text_[at_] : '\0'; }
    void space() {
        while (more() && (peek() == ' ' || peek() == '\t' || peek() == '\r')) ++at_;
    }
    bool take(char wanted) {
        space();
        if (peek() != wanted) return false;
        ++at_;
        return true;
    }
    bool word(std::string_view expected) {
        if (text_.substr(at_, expected.size()) != expected) return false;
        at_ += expected.size();
        return true;
    }

    bool value(int depth) {
        if (depth > kDeepest) return false;
        space();
        switch (peek()) {
        case '{': return object(depth);
        case '[': return array(depth);
        case '"': return string();
        case 't': return word("true");
        case 'f': return word("false");
        case 'n': return word("null");
        default: return number();
        }
    }

    bool object(int depth) {
        ++at_;
        if (take('}')) return true;
        do {
            space();
            if (peek() != '"' || !string() || !take(':') || !value(depth + 1)) return false;
        } while (take(','));
        return take('}');
    }

    bool array(int depth) {
        ++at_;
        if (take(']')) return true;
        do {
            if (!value(depth + 1)) return false;
        } while (take(','));
        return take(']');
    }

    bool digits() {
        const std::size_t start = at_;
        while (more() && peek() >= '0' && peek() <= '9') ++at_;
        return at_ > start;
    }

    bool number() {
        if (peek() == '-') ++at_;
        if (peek() == '0') {
            ++at_;
        } else if (!digits()) {
            return false;
        }
        if (peek() == '.' && (++at_, !digits())) return false;
        if (peek() == 'e' || peek() == 'E') {
            ++at_;
            if (peek() == '+' || peek() == '-') ++at_;
            if (!digits()) return false;
        }
        return true;
    }

    static bool hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

    // Length of a valid UTF-8 sequence starting at at_, 0 when invalid.
    std::size_t utf8() const {
        const auto lead = static_cast<unsigned char>(peek());
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;  // no surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            return 0;
        }
        if (at_ + length > text_.size()) return 0;
        for (std::size_t i = 1; i < length; ++i) {
            const auto next = static_cast<unsigned char>(text_[at_ + i]);
            if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return 0;
        }
        return length;
    }

    bool string() {
        ++at_;  // the opening quote
        while (more()) {
            const auto c = static_cast<unsigned char>(peek());
            if (c == '"') {
                ++at_;
                return true;
            }
            if (c < 0x20) return false;
            if (c == '\\') {
                ++at_;
                const char escaped = peek();
                ++at_;
                if (escaped == 'u') {
                    for (int i = 0; i < 4; ++i, ++at_)
                        if (!hex(peek())) return false;
                } else if (std::string_view("\"\\/bfnrt").find(escaped) == std::string_view::npos || escaped == '\0') {
                    return false;
                }
            } else if (c >= 0x80) {
                const std::size_t length = utf8();
                if (length == 0) return false;
                at_ += length;
            } else {
                ++at_;
            }
        }
        return false;
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

}  // namespace

bool isSpoolRecord(std::string_view line, std::uint64_t* seq) {
    constexpr std::string_view kOpening = "{\"seq\":";
    if (line.size() > kLongestRecord || line.substr(0, kOpening.size()) != kOpening) return false;
    std::uint64_t number = 0;
    std::size_t at = kOpening.size();
    const std::size_t first = at;
    for (; at < line.size() && line[at] >= '0' && line[at] <= '9' && at - first < 19; ++at)
        number = number * 10 + static_cast<std::uint64_t>(line[at] - '0');
    if (at == first || at >= line.size() || number == 0 || line[first] == '0') return false;
    if (line[at] != ',' && line[at] != '}') return false;
    if (!Checker(line).document()) return false;
    *seq = number;
    return true;
}

}  // namespace korvel::cli::publish
