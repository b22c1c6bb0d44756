// The publisher's on-disk spool: order, delivery, the size bound with its
// count of dropped records, and what a later run finds (also after a crash
// that cut a record short).
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "publish/spool.h"

namespace korvel::cli::publish {
namespace {

class SpoolTest : public testing::Test {
protected:
    void SetUp() override {
        folder = std::filesystem::temp_directory_path() / ("spool-test-" + std::to_string(getpid()) + "-" +
                                                           testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(folder);
    }
    void TearDown() override { std::filesystem::remove_all(folder); }

    static std::vector<std::string> pending(const Spool& spool) {
        std::vector<std::string> records;
        std::string record;
        std::uint64_t next = 0;
        for (std::uint64_t at = spool.head(); spool.read(at, &record, &next); at = next) records.push_back(record);
        return records;
    }
    static std::string record(int n) { return "{\"seq\":" + std::to_string(n) + "}"; }

    std::filesystem::path folder;
};

TEST_F(SpoolTest, DeliversInOrderAndAnotherRunFindsTheRest) {
    std::uint64_t afterSecond = 0;
    {
        Spool spool(folder.string(), "KV0001", 1 << 20);
        EXPECT_TRUE(spool.empty());
        for (int n = 1; n <= 5; ++n) {
            EXPECT_EQ(spool.nextSeq(), static_cast<std::uint64_t>(n));
            EXPECT_EQ(spool.append(record(n)), 0);
        }
        std::string first;
        ASSERT_TRUE(spool.read(spool.head(), &first, &afterSecond));
        ASSERT_TRUE(spool.read(afterSecond, &first, &afterSecond));
        EXPECT_EQ(first, record(2));
        spool.delivered(afterSecond);
        EXPECT_EQ(pending(spool), (std::vector<std::string>{record(3), record(4), record(5)}));
    }
    Spool again(folder.string(), "KV0001", 1 << 20);
    EXPECT_EQ(pending(again), (std::vector<std::string>{record(3), record(4), record(5)}));
    EXPECT_EQ(again.nextSeq(), 6U);  // numbering goes on across runs
    Spool other(folder.string(), "KV0002", 1 << 20);
    EXPECT_TRUE(other.empty());
    EXPECT_EQ(other.nextSeq(), 1U);
}

TEST_F(SpoolTest, AFullSpoolDropsTheOldestAndCountsThem) {
    Spool spool(folder.string(), "KV0001", 30);  // room for three records of 10 bytes with their line ends
    int cut = 0;
    for (int n = 1; n <= 9; ++n) cut += spool.append(record(n));
    EXPECT_EQ(cut, 6);
    EXPECT_EQ(spool.dropped(), 6U);
    EXPECT_EQ(pending(spool), (std::vector<std::string>{record(7), record(8), record(9)}));
    spool.reported(4);
    EXPECT_EQ(spool.dropped(), 2U);
    spool.save();
    Spool again(folder.string(), "KV0001", 30);
    EXPECT_EQ(again.dropped(), 2U);  // still to be told
}

TEST_F(SpoolTest, ARecordCutShortByACrashIsNoRecord) {
    {
        Spool spool(folder.string(), "KV0001", 1 << 20);
        spool.append(record(1));
        spool.append(record(2));
    }
    std::ofstream(folder / "KV0001.spool", std::ios::app) << "{\"seq\":3,\"tes";
    Spool again(folder.string(), "KV0001", 1 << 20);
    EXPECT_EQ(pending(again), (std::vector<std::string>{record(1), record(2)}));
    again.append(record(3));
    EXPECT_EQ(pending(again).back(), record(3));
}

TEST_F(SpoolTest, PositionsStayValidWhenDeliveredRecordsAreCutAway) {
    Spool spool(folder.string(), "KV0001", 8 << 20);
    const std::string big(1000, 'x');
    for (int n = 0; n < 3000; ++n) spool.append("{\"seq\":" + std::to_string(n) + ",\"pad\":\"" + big + "\"}");
    // Deliver all but the last ten, record by record, as acknowledgements come.
    std::vector<std::uint64_t> ends;
    std::string text;
    std::uint64_t next = 0;
    for (std::uint64_t at = spool.head(); spool.read(at, &text, &next); at = next) ends.push_back(next);
    const std::uint64_t cursor = ends[ends.size() - 11];
    for (std::size_t i = 0; i + 10 < ends.size(); ++i) spool.delivered(ends[i]);
    EXPECT_LT(std::filesystem::file_size(folder / "KV0001.spool"), 1U << 20);  // the front was cut away
    ASSERT_TRUE(spool.read(cursor, &text, &next));
    EXPECT_EQ(text.rfind("{\"seq\":2990,", 0), 0U);
    EXPECT_EQ(pending(spool).size(), 10U);
}

}  // namespace
}  // namespace korvel::cli::publish
