// The library's command tree is the one list of commands: the tool's
// catalogue (console help and completion) and the bridge's service filter
// are checked against it entry by entry.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "core/scpi_catalog.h"
#include "scpi/interpreter.h"
#include "serve/line_buffer.h"
#include "serve/service_filter.h"

namespace korvel::cli {
namespace {

using scpi::Access;
using scpi::CommandEntry;

bool isCatchAll(const CommandEntry& entry) { return entry.handler == scpi::unmatchedCommand; }

// The first ":"-segment of a node's keyword: the child table is walked from
// the next ":" after it.
std::string firstSegment(const char* keyword) {
    const std::string text(keyword);
    const size_t next = text.find(':', 1);
    return next == std::string::npos ? text : text.substr(0, next);
}

// Every command of the tree, by the text that reaches it, e.g. ":SENS:FLUX:RANG:AUT".
void collect(const CommandEntry* table, const std::string& prefix,
             std::map<const CommandEntry*, std::string>* leaves) {
    for (const CommandEntry* entry = table; !isCatchAll(*entry); ++entry) {
        if (entry->subtable != nullptr)
            collect(entry->subtable, prefix + firstSegment(entry->keyword), leaves);
        else
            (*leaves)[entry] = prefix + entry->keyword;
    }
}

std::map<const CommandEntry*, std::string> treeCommands() {
    std::map<const CommandEntry*, std::string> leaves;
    collect(scpi::kRootTable, "", &leaves);
    return leaves;
}

const CommandEntry* resolve(const std::string& text) {
    const char* at = nullptr;
    return scpi::resolveCommand(text.c_str(), scpi::kRootTable, &at);
}

// What the tree says of a command as typed: a memory byte is read by the
// query form of its command and written by the other.
bool isService(const CommandEntry& entry, const std::string& typed) {
    if (entry.access == Access::Service) return true;
    return entry.access == Access::ServiceUnlessQuery && typed.back() != '?';
}

TEST(CommandTree, EveryCatalogueEntryIsACommandOfTheTreeWithItsServiceMark) {
    for (const ScpiHelp& help : scpiCatalog()) {
        const std::string keyword(scpiKeyword(help));
        const CommandEntry* entry = resolve(keyword);
        ASSERT_NE(entry, nullptr) << keyword;
        EXPECT_FALSE(isCatchAll(*entry)) << keyword << " is not a command of the library";
        EXPECT_EQ(help.service, isService(*entry, keyword)) << keyword;
    }
}

TEST(CommandTree, EveryCommandOfTheTreeHasACatalogueEntry) {
    std::map<const CommandEntry*, int> described;
    for (const ScpiHelp& help : scpiCatalog()) {
        const CommandEntry* entry = resolve(std::string(scpiKeyword(help)));
        if (entry != nullptr) ++described[entry];
    }
    for (const auto& [entry, text] : treeCommands()) {
        if (std::string(entry->keyword) == ":RANGE:AUT") continue;  // the long form of :RANG:AUT
        EXPECT_GT(described[entry], 0) << text << " has no line in the console's help";
    }
}

TEST(CommandTree, TheBridgeRefusesExactlyTheServiceCommands) {
    for (const auto& [entry, text] : treeCommands()) {
        const bool writes = isService(*entry, text);
        EXPECT_EQ(serve::isServiceLine(text + " 1"), writes) << text;
        std::string lower = text;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_EQ(serve::isServiceLine("*CLS;" + lower + " 1 2"), writes) << lower;
        if (entry->access == Access::ServiceUnlessQuery) {
            EXPECT_FALSE(serve::isServiceLine(text + "? 16")) << text << "? reads";
        }
    }
    for (const ScpiHelp& help : scpiCatalog())
        EXPECT_EQ(serve::isServiceLine(help.command), help.service) << help.command;
}

}  // namespace
}  // namespace korvel::cli
