// The reference's text markup (see reference.h) as roff for man pages and as
// Markdown for docs/cli-reference.md.
#pragma once

#include <string>
#include <string_view>

namespace korvel::cli::help {

// Plain text escaped for roff; with marks, `literal` becomes bold.
std::string roffInline(std::string_view text, bool marks = true);
// Blocks as roff requests; "### " headings become .SS.
std::string roffBlocks(std::string_view text);

// Plain text escaped for Markdown; `literal` spans are kept as code.
std::string markdownInline(std::string_view text);
// Blocks as Markdown; "### " headings get `level` hashes.
std::string markdownBlocks(std::string_view text, int level);

// "LOG FILES" -> "Log files".
std::string sentenceCase(std::string_view title);

}  // namespace korvel::cli::help
