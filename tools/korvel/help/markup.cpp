#include "help/markup.h"

#include <vector>

namespace korvel::cli::help {
namespace {

enum class BlockKind { Paragraph, List, Verbatim, Heading };

struct Block {
    BlockKind kind;
    std::vector<std::string> lines;  // list items, verbatim lines, or the paragraph's text
};

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

std::vector<std::string_view> linesOf(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        lines.push_back(text.substr(0, end));
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

std::vector<Block> blocksOf(std::string_view text) {
    std::vector<Block> blocks;
    std::vector<std::string_view> pending;
    auto flush = [&] {
        if (pending.empty()) return;
        Block block{BlockKind::Paragraph, {}};
        if (startsWith(pending.front(), "### ")) {
            block.kind = BlockKind::Heading;
            block.lines.emplace_back(pending.front().substr(4));
        } else if (startsWith(pending.front(), "  ")) {
            block.kind = BlockKind::Verbatim;
            for (const auto line : pending) block.lines.emplace_back(line.substr(std::min<size_t>(2, line.size())));
        } else if (startsWith(pending.front(), "- ")) {
            block.kind = BlockKind::List;
            for (const auto line : pending) {
                if (startsWith(line, "- ") || block.lines.empty())
                    block.lines.emplace_back(line.substr(2));
                else if (const size_t word = line.find_first_not_of(' '); word != std::string_view::npos)
                    block.lines.back() += " " + std::string(line.substr(word));
            }
        } else {
            std::string joined;
            for (const auto line : pending) joined += (joined.empty() ? "" : " ") + std::string(line);
            block.lines.push_back(joined);
        }
        blocks.push_back(std::move(block));
        pending.clear();
    };
    for (const auto line : linesOf(text)) {
        if (line.empty()) {
            flush();
        } else {
            pending.push_back(line);
        }
    }
    flush();
    return blocks;
}

// A roff text line must not start with a control character.
std::string roffLine(const std::string& text) {
    return (!text.empty() && (text.front() == '.' || text.front() == '\'')) ? "\\&" + text : text;
}

}  // namespace

std::string roffInline(std::string_view text, bool marks) {
    std::string out;
    bool literal = false;
    for (const char c : text) {
        if (c == '`' && marks) {
            out += literal ? "\\fR" : "\\fB";
            literal = !literal;
        } else if (c == '\\') {
            out += "\\e";
        } else if (c == '-') {
            out += "\\-";
        } else {
            out += c;
        }
    }
    if (literal) out += "\\fR";
    return out;
}

std::string roffBlocks(std::string_view text) {
    std::string out;
    bool first = true;
    for (const Block& block : blocksOf(text)) {
        switch (block.kind) {
            case BlockKind::Heading:
                out += ".SS \"" + roffInline(block.lines.front(), false) + "\"\n";
                first = true;
                continue;
            case BlockKind::Paragraph:
                if (!first) out += ".PP\n";
                out += roffLine(roffInline(block.lines.front())) + "\n";
                break;
            case BlockKind::List:
                for (const auto& item : block.lines) out += ".IP \\(bu 2\n" + roffLine(roffInline(item)) + "\n";
                out += ".PP\n";
                first = true;
                continue;
            case BlockKind::Verbatim:
                if (!first) out += ".PP\n";
                out += ".RS 4\n.nf\n";
                for (const auto& line : block.lines) out += roffLine(roffInline(line, false)) + "\n";
                out += ".fi\n.RE\n";
                break;
        }
        first = false;
    }
    // A list that ends the text needs no paragraph after it.
    if (out.size() >= 4 && out.compare(out.size() - 4, 4, ".PP\n") == 0) out.resize(out.size() - 4);
    return out;
}

std::string markdownInline(std::string_view text) {
    std::string out;
    bool literal = false;
    for (const char c : text) {
        if (c == '`') literal = !literal;
        if (!literal && (c == '\\' || c == '*' || c == '_' || c == '<' || c == '>' || c == '[' || c == ']'))
            out += '\\';
        out += c;
    }
    return out;
}

std::string markdownBlocks(std::string_view text, int level) {
    std::string out;
    for (const Block& block : blocksOf(text)) {
        if (!out.empty()) out += "\n";
        switch (block.kind) {
            case BlockKind::Heading:
                out += std::string(static_cast<size_t>(level), '#') + " " + markdownInline(block.lines.front()) + "\n";
                break;
            case BlockKind::Paragraph:
                out += markdownInline(block.lines.front()) + "\n";
                break;
            case BlockKind::List:
                for (const auto& item : block.lines) out += "- " + markdownInline(item) + "\n";
                break;
            case BlockKind::Verbatim:
                out += "```text\n";
                for (const auto& line : block.lines) out += line + "\n";
                out += "```\n";
                break;
        }
    }
    return out;
}

std::string sentenceCase(std::string_view title) {
    std::string out(title);
    for (size_t i = 1; i < out.size(); ++i)
        if (out[i] >= 'A' && out[i] <= 'Z') out[i] = static_cast<char>(out[i] - 'A' + 'a');
    return out;
}

}  // namespace korvel::cli::help
