// A spool left in an old place is counted without being taken over.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "publish/spool_census.h"
#include "publish/spool_state.h"

namespace korvel::cli::publish {
namespace {

TEST(SpoolCensus, CountsTheRecordsAfterEachSpoolsDeliveredHead) {
    const std::string folder = ::testing::TempDir() + "census-" + std::to_string(::getpid());
    ::mkdir(folder.c_str(), 0700);
    const std::string a = "{\"seq\":1}\n", b = "{\"seq\":2}\n", c = "{\"seq\":3}\n";
    std::ofstream(folder + "/KV0001.spool") << a << b << c;
    SpoolState state;
    state.head = a.size();  // the first was delivered
    ASSERT_TRUE(writeState(folder + "/KV0001.state", state));
    std::ofstream(folder + "/KV0002.spool") << a << b;  // no state: all unsent
    std::ofstream(folder + "/notes.txt") << a << b << c;
    EXPECT_EQ(unsentRecords(folder), 2u + 2u);
    EXPECT_EQ(unsentRecords(folder + "/missing"), 0u);
}

}  // namespace
}  // namespace korvel::cli::publish
