// The reference's markup as roff and Markdown: what a man page or a Markdown
// renderer would otherwise take as its own syntax is escaped.
#include <gtest/gtest.h>

#include "help/markup.h"

namespace korvel::cli::help {
namespace {

TEST(HelpMarkup, RoffEscapesDashesBackslashesAndControlCharactersAtLineStart) {
    EXPECT_EQ(roffInline("--force a\\b"), "\\-\\-force a\\eb");
    EXPECT_EQ(roffInline("use `--yes` now"), "use \\fB\\-\\-yes\\fR now");
    EXPECT_EQ(roffInline("open `quote"), "open \\fBquote\\fR");  // never left bold
    // A paragraph starting with a period or quote would be read as a request.
    EXPECT_EQ(roffBlocks(".csv files\n'quoted'"), "\\&.csv files 'quoted'\n");
}

TEST(HelpMarkup, RoffBlocksMakeParagraphsListsVerbatimAndSubsections) {
    const std::string text = "First line\nsame paragraph.\n\n- one\n  more\n- two\n\n  a = 1\n  b\n\n### Limits\n\nLast.";
    EXPECT_EQ(roffBlocks(text),
              "First line same paragraph.\n"
              ".IP \\(bu 2\none more\n.IP \\(bu 2\ntwo\n.PP\n"
              ".RS 4\n.nf\na = 1\nb\n.fi\n.RE\n"
              ".SS \"Limits\"\nLast.\n");
}

TEST(HelpMarkup, MarkdownEscapesEmphasisButNotCode) {
    EXPECT_EQ(markdownInline("*IDN? and *RST, `*CLS` [x] a_b"), "\\*IDN? and \\*RST, `*CLS` \\[x\\] a\\_b");
    EXPECT_EQ(markdownBlocks("Para.\n\n### Title\n\n  raw *x*", 4), "Para.\n\n#### Title\n\n```text\nraw *x*\n```\n");
    EXPECT_EQ(sentenceCase("LOG FILES"), "Log files");
}

}  // namespace
}  // namespace korvel::cli::help
