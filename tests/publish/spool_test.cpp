// The publisher's on-disk spool: order, delivery, the size bound with its
// count of dropped records, and what a later run finds: after a crash that
// left the state behind the records, with the state lost or damaged, with
// damaged records, with the disk full, and with another publisher on it.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/failure.h"
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
    // What the spool makes of append(body(n)) as record number n.
    static std::string body(int n) { return "\"n\":" + std::to_string(100 + n); }
    static std::string record(int n) { return "{\"seq\":" + std::to_string(n) + "," + body(n) + "}"; }
    static std::vector<std::string> records(int first, int last) {
        std::vector<std::string> all;
        for (int n = first; n <= last; ++n) all.push_back(record(n));
        return all;
    }
    std::string text(const std::string& name) const {
        std::ifstream file(folder / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), {});
    }
    void write(const std::string& name, const std::string& content) const {
        std::ofstream(folder / name, std::ios::binary | std::ios::trunc) << content;
    }

    // Record ends, from the head on.
    static std::vector<std::uint64_t> ends(const Spool& spool) {
        std::vector<std::uint64_t> all;
        std::string record;
        std::uint64_t next = 0;
        for (std::uint64_t at = spool.head(); spool.read(at, &record, &next); at = next) all.push_back(next);
        return all;
    }
    static std::uint64_t seqOf(const std::string& record) { return std::stoull(record.substr(7)); }
    static std::vector<std::uint64_t> pendingSeqs(const Spool& spool) {
        std::vector<std::uint64_t> seqs;
        for (const std::string& record : pending(spool)) seqs.push_back(seqOf(record));
        return seqs;
    }
    static std::vector<std::uint64_t> seqs(std::uint64_t first, std::uint64_t last) {
        std::vector<std::uint64_t> all;
        for (std::uint64_t n = first; n <= last; ++n) all.push_back(n);
        return all;
    }
    // {"seq":NNNN,"pad":"x...x"} and its line feed: 1022 bytes for four-digit numbers.
    static std::string padded() { return "\"pad\":\"" + std::string(1000, 'x') + "\""; }

    std::filesystem::path folder;
};

TEST_F(SpoolTest, DeliversInOrderAndAnotherRunFindsTheRest) {
    std::uint64_t afterSecond = 0;
    {
        Spool spool(folder.string(), "KV0001", 1 << 20);
        EXPECT_TRUE(spool.empty());
        for (int n = 1; n <= 5; ++n) {
            EXPECT_EQ(spool.nextSeq(), static_cast<std::uint64_t>(n));
            const Appended appended = spool.append(n % 2 ? body(n) : "{" + body(n) + "}\n");  // members or an object
            EXPECT_TRUE(appended.written);
            EXPECT_EQ(appended.seq, static_cast<std::uint64_t>(n));
            EXPECT_EQ(appended.cut, 0);
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

// Records numbered below 10 take 18 bytes with their line ends: {"seq":N,"n":1NN}.
constexpr std::uint64_t kUnit = 18;

TEST_F(SpoolTest, AFullSpoolDropsTheOldestAndTheNextRecordTellsHowMany) {
    ASSERT_EQ(record(1).size() + 1, kUnit);
    Spool spool(folder.string(), "KV0001", 3 * kUnit);
    for (int n = 1; n <= 3; ++n) EXPECT_EQ(spool.append(body(n)).cut, 0);
    EXPECT_EQ(spool.append(body(4)).cut, 1);  // number 1 goes
    EXPECT_EQ(spool.dropped(), 1U);
    EXPECT_EQ(pending(spool), records(2, 4));
    EXPECT_EQ(spool.append(body(5)).cut, 2);  // 31 bytes with its count: numbers 2 and 3 go
    EXPECT_EQ(pending(spool).back(), "{\"seq\":5,\"dropped\":1,\"n\":105}");
    EXPECT_EQ(spool.dropped(), 2U);  // to be told by the next record
}

TEST_F(SpoolTest, ADroppedCountStillToTellSurvivesARestart) {
    {
        Spool spool(folder.string(), "KV0001", 3 * kUnit);
        for (int n = 1; n <= 5; ++n) spool.append(body(n));
        EXPECT_EQ(spool.dropped(), 2U);
    }
    Spool again(folder.string(), "KV0001", 1 << 20);
    EXPECT_EQ(again.dropped(), 2U);
    again.append(body(6));
    EXPECT_EQ(pending(again).back(), "{\"seq\":6,\"dropped\":2,\"n\":106}");
}

TEST_F(SpoolTest, OnlyRecordsThatNeverReachedTheBrokerCountAsDropped) {
    Spool spool(folder.string(), "KV0001", 3 * kUnit);
    for (int n = 1; n <= 3; ++n) spool.append(body(n));
    std::vector<std::uint64_t> ends;
    std::string line;
    std::uint64_t next = 0;
    for (std::uint64_t at = spool.head(); spool.read(at, &line, &next); at = next) ends.push_back(next);
    spool.sent(spool.end());  // all three on their way
    spool.append(body(4));
    spool.append(body(5));    // numbers 1 and 2 dropped on their way
    EXPECT_EQ(spool.dropped(), 0U);
    spool.delivered(ends[0]); // the broker has number 1 after all
    spool.resend();           // the connection went before number 2 was acknowledged
    EXPECT_EQ(spool.dropped(), 1U);
    spool.append(body(6));
    EXPECT_EQ(pending(spool).back(), "{\"seq\":6,\"dropped\":1,\"n\":106}");
}

TEST_F(SpoolTest, ARecordDroppedWithItsOwnCountPassesTheCountOn) {
    Spool spool(folder.string(), "KV0001", 2 * kUnit + 4);
    for (int n = 1; n <= 3; ++n) spool.append(body(n));  // number 1 dropped
    spool.append(body(4));                               // telling of 1 (31 bytes): numbers 2 and 3 dropped
    EXPECT_EQ(spool.dropped(), 2U);
    spool.append(body(5));                               // telling of 2: number 4 dropped with the 1 it told of
    EXPECT_EQ(spool.dropped(), 2U);
    spool.append(body(6));
    EXPECT_EQ(pending(spool).back(), "{\"seq\":6,\"dropped\":2,\"n\":106}");
}

TEST_F(SpoolTest, NumbersAreNeverUsedTwiceAfterACrashLeftTheStateBehind) {
    std::vector<std::string> before;
    {
        Spool spool(folder.string(), "KV0001", 1 << 20);
        for (int n = 1; n <= 10; ++n) spool.append(body(n));
        spool.save();
    }
    const std::string staleState = text("KV0001.state");
    {
        Spool spool(folder.string(), "KV0001", 1 << 20);
        for (int n = 11; n <= 15; ++n) spool.append(body(n));
        before = pending(spool);
    }
    write("KV0001.state", staleState);  // as a kill -9 before the state was written
    Spool again(folder.string(), "KV0001", 1 << 20);
    EXPECT_EQ(again.nextSeq(), 16U);
    EXPECT_EQ(pending(again), before);  // the same records under the same numbers
}

TEST_F(SpoolTest, ALostOrDamagedStateIsRebuiltFromTheRecordsAndSaysSo) {
    for (const std::string damage : {"", "\x8f\x01garbage\n", "head 12\nnext_seq x\ndropped 0\n", "-"}) {
        std::filesystem::remove_all(folder);
        {
            Spool spool(folder.string(), "KV0001", 1 << 20);
            for (int n = 1; n <= 6; ++n) spool.append(body(n));
            std::string line;
            std::uint64_t next = 0;
            spool.read(spool.head(), &line, &next);
            spool.delivered(next);
        }
        if (damage == "-")
            std::filesystem::remove(folder / "KV0001.state");
        else
            write("KV0001.state", damage);
        Spool again(folder.string(), "KV0001", 1 << 20);
        ASSERT_EQ(again.notices().size(), 1U) << damage;
        EXPECT_NE(again.notices()[0].find("KV0001.state"), std::string::npos);
        EXPECT_EQ(pending(again), records(1, 6)) << damage;  // sent again, unchanged
        EXPECT_EQ(again.nextSeq(), 7U);
    }
    std::filesystem::remove_all(folder);
    Spool fresh(folder.string(), "KV0001", 1 << 20);  // a new spool is no damage
    EXPECT_TRUE(fresh.notices().empty());
}

TEST_F(SpoolTest, DamagedLinesAreSetAsideAndTheRecordsAfterThemKept) {
    {
        Spool spool(folder.string(), "KV0001", 1 << 20);
        for (int n = 1; n <= 3; ++n) spool.append(body(n));
    }
    std::string damage = std::string(5000, 'x') + "\n";                   // over-long
    damage += "\x93\xff\x02{\"seq\":9\n";                                   // random bytes, a half record
    damage += "{\"seq\":2,\"n\":1}\n";                                      // a number already used
    damage += "{\"seq\":4,\"n\":\"\xc3\x28\"}\n";                           // not UTF-8
    std::string tail;
    for (int n = 4; n <= 70; ++n) tail += record(n) + "\n";
    std::ofstream(folder / "KV0001.spool", std::ios::app | std::ios::binary) << damage << tail << "{\"seq\":71,";
    Spool again(folder.string(), "KV0001", 1 << 20);
    ASSERT_EQ(again.notices().size(), 1U);
    EXPECT_NE(again.notices()[0].find("5 damaged lines"), std::string::npos) << again.notices()[0];
    EXPECT_EQ(pending(again), records(1, 70));
    EXPECT_EQ(again.nextSeq(), 71U);
    EXPECT_EQ(text("KV0001.bad"), damage + "{\"seq\":71,\n");
}

TEST_F(SpoolTest, AStateThatPointsInsideARecordSendsTheWholeRecord) {
    {
        Spool spool(folder.string(), "KV0001", 1 << 20);
        for (int n = 1; n <= 4; ++n) spool.append(body(n));
    }
    const std::uint64_t inside = record(1).size() + 1 + 5;  // inside number 2
    write("KV0001.state", "head " + std::to_string(inside) + "\nnext_seq 5\ndropped 0\n");
    Spool again(folder.string(), "KV0001", 1 << 20);
    EXPECT_EQ(again.notices().size(), 1U);
    EXPECT_EQ(pending(again), records(2, 4));
}

TEST_F(SpoolTest, ASecondPublisherIsRefusedWithTheHoldersPid) {
    Spool first(folder.string(), "KV0001", 1 << 20);
    try {
        Spool second(folder.string(), "KV0001", 1 << 20);
        FAIL() << "a second spool opened";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.exitCode(), kExitMeterError);
        EXPECT_NE(std::string(failure.what()).find("pid " + std::to_string(getpid()) + ")"), std::string::npos)
            << failure.what();
    }
    Spool otherMeter(folder.string(), "KV0002", 1 << 20);  // one folder may hold several meters' spools
}

TEST_F(SpoolTest, AStateFileThatCannotBeWrittenIsASentenceNotACrash) {
    std::filesystem::create_directories(folder / "KV0001.state");
    try {
        Spool spool(folder.string(), "KV0001", 1 << 20);
        FAIL() << "opened without a state file";
    } catch (const Failure& failure) {
        EXPECT_NE(std::string(failure.what()).find("KV0001.state"), std::string::npos) << failure.what();
    }
}

TEST_F(SpoolTest, AFullDiskStopsTheSpoolWithWholeRecordsAndTheNextRunGoesOn) {
    signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails with EFBIG, as on a full disk
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    int written = 0;
    {
        Spool spool(folder.string(), "KV0001", 1 << 20);
        rlimit small = saved;
        small.rlim_cur = 1000;  // room for 50 records of 19 or 20 bytes, not more
        setrlimit(RLIMIT_FSIZE, &small);
        Appended appended;
        for (int n = 1; n <= 200 && (appended = spool.append(body(n))).written; ++n) written = n;
        setrlimit(RLIMIT_FSIZE, &saved);
        EXPECT_GT(written, 10);
        EXPECT_LT(written, 200);
        EXPECT_NE(spool.failure().find("KV0001.spool"), std::string::npos) << spool.failure();
        EXPECT_FALSE(spool.append(body(1)).written);  // no record after a failure
        EXPECT_TRUE(spool.save());                    // the state still can be
    }
    Spool again(folder.string(), "KV0001", 1 << 20);
    EXPECT_TRUE(again.notices().empty());
    EXPECT_EQ(pending(again), records(1, written));  // whole records only
    EXPECT_EQ(again.nextSeq(), static_cast<std::uint64_t>(written + 1));
}

TEST_F(SpoolTest, RecordsThatAreNotOneJsonObjectAreRefused) {
    Spool spool(folder.string(), "KV0001", 1 << 20);
    EXPECT_FALSE(spool.append("\"text\":\"two\nlines\"").written);
    EXPECT_EQ(pending(spool).size(), 0U);
}

TEST_F(SpoolTest, PositionsStayValidWhenDeliveredRecordsAreCutAway) {
    Spool spool(folder.string(), "KV0001", 8 << 20);
    const std::string big(1000, 'x');
    for (int n = 1; n <= 3000; ++n) spool.append("\"pad\":\"" + big + "\"");
    // Deliver all but the last ten, record by record, as acknowledgements come.
    std::vector<std::uint64_t> ends;
    std::string text;
    std::uint64_t next = 0;
    for (std::uint64_t at = spool.head(); spool.read(at, &text, &next); at = next) ends.push_back(next);
    const std::uint64_t cursor = ends[ends.size() - 11];
    for (std::size_t i = 0; i + 10 < ends.size(); ++i) spool.delivered(ends[i]);
    EXPECT_LT(std::filesystem::file_size(folder / "KV0001.spool"), 1U << 20);  // the front was cut away
    ASSERT_TRUE(spool.read(cursor, &text, &next));
    EXPECT_EQ(text.rfind("{\"seq\":2991,", 0), 0U);
    EXPECT_EQ(pending(spool).size(), 10U);
}

TEST_F(SpoolTest, CompactionKeepsTheNewestNumberWhenEverythingWasDelivered) {
    {
        Spool spool(folder.string(), "KV0001", 8 << 20);
        const std::string big(1000, 'x');
        for (int n = 1; n <= 2000; ++n) spool.append("\"pad\":\"" + big + "\"");
        spool.delivered(spool.end());
        EXPECT_LT(std::filesystem::file_size(folder / "KV0001.spool"), 2000U);
    }
    std::filesystem::remove(folder / "KV0001.state");  // the numbering must come from the records
    Spool again(folder.string(), "KV0001", 8 << 20);
    EXPECT_EQ(again.nextSeq(), 2001U);
}

TEST_F(SpoolTest, RecordsAreCopiedOutWholeInOneRead) {
    Spool spool(folder.string(), "KV0001", 1 << 20);
    for (int n = 1; n <= 4; ++n) spool.append(body(n));
    // Each record is {"seq":N,"n":10N} and a line feed: 18 bytes.
    char buffer[64];
    ASSERT_EQ(spool.readRecords(spool.head(), buffer, sizeof buffer), 54U);  // three whole, the fourth cut off
    EXPECT_EQ(std::string(buffer, 54), record(1) + "\n" + record(2) + "\n" + record(3) + "\n");
    EXPECT_EQ(spool.readRecords(spool.head() + 54, buffer, sizeof buffer), 18U);
    EXPECT_EQ(std::string(buffer, 18), record(4) + "\n");
    EXPECT_EQ(spool.readRecords(spool.end(), buffer, sizeof buffer), 0U);
    spool.delivered(spool.head() + 18);
    EXPECT_EQ(spool.readRecords(spool.head() - 18, buffer, sizeof buffer), 0U);  // delivered: gone
}

TEST_F(SpoolTest, ASaveDueAfterManyDeliveriesIsWrittenOutsideTheLockAndKept) {
    Spool spool(folder.string(), "KV0001", 1 << 20, 3600);  // the timer never comes in this test
    for (int n = 1; n <= 300; ++n) spool.append(body(n));
    EXPECT_FALSE(spool.saveDue().due);
    // 256 acknowledgements, one record each: 18 bytes up to number 9, 19 up to 99, then 20.
    std::uint64_t at = spool.head();
    for (int n = 1; n <= 256; ++n) spool.delivered(at += (n < 10 ? 18 : n < 100 ? 19 : 20));
    const Spool::SaveWork work = spool.saveDue();
    ASSERT_TRUE(work.due);
    EXPECT_TRUE(work.sync);
    EXPECT_FALSE(spool.saveDue().due);  // counted as done
    EXPECT_EQ(spool.writeSave(work), "");
    SpoolState saved;
    ASSERT_EQ(readState((folder / "KV0001.state").string(), &saved), StateFile::Read);
    EXPECT_EQ(saved.head, 9U * 18 + 90U * 19 + 157U * 20);
    EXPECT_EQ(saved.nextSeq, 301U);
}

// The compaction in its three steps, as the publisher runs them: records
// appended between the first and the last step, a failure at either end, a
// crash between the state and the rename, and a run after it.
TEST_F(SpoolTest, RecordsAppendedWhileCompactingSurviveInOrderAtTheirPositions) {
    constexpr std::uint64_t kRecord = 1022;
    {
        Spool spool(folder.string(), "KV0001", 8 << 20, 3600);
        for (int n = 1; n <= 1100; ++n) spool.append(padded());
        const std::vector<std::uint64_t> at = ends(spool);
        const std::uint64_t head = at[1094];  // 1095 delivered
        const std::uint64_t of1100 = at[1098];
        spool.markDelivered(head);
        const auto descriptors = [] {
            return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
        };
        const auto openBefore = descriptors();
        Spool::CompactWork work = spool.compactDue();
        ASSERT_TRUE(work.due);
        EXPECT_FALSE(spool.compactDue().due);  // never two at once
        spool.copyCompaction(&work);
        ASSERT_GE(work.fd, 0);
        for (int n = 1101; n <= 1105; ++n) spool.append(padded());  // meanwhile, past the copied range
        // A crash here: the old file with the state for the new one sends
        // records again, and loses none.
        std::filesystem::create_directories(folder / "crash");
        std::filesystem::copy_file(folder / "KV0001.spool", folder / "crash" / "KV0001.spool");
        std::filesystem::copy_file(folder / "KV0001.state", folder / "crash" / "KV0001.state");
        spool.finishCompaction(&work);
        spool.releaseCompaction(&work);
        EXPECT_EQ(descriptors(), openBefore);  // the old file closed, its blocks freed
        EXPECT_EQ(std::filesystem::file_size(folder / "KV0001.spool"), 10 * kRecord);  // numbers 1096 to 1105
        EXPECT_FALSE(std::filesystem::exists(folder / "KV0001.spool.new"));
        EXPECT_EQ(spool.head(), head);  // positions go on across the cut
        EXPECT_EQ(spool.end(), head + 10 * kRecord);
        std::string record;
        std::uint64_t next = 0;
        ASSERT_TRUE(spool.read(of1100, &record, &next));
        EXPECT_EQ(seqOf(record), 1100U);
        EXPECT_EQ(pendingSeqs(spool), seqs(1096, 1105));
        EXPECT_EQ(spool.append(padded()).seq, 1106U);
        spool.markDelivered(head + 2 * kRecord);
    }
    Spool again(folder.string(), "KV0001", 8 << 20);
    EXPECT_TRUE(again.notices().empty());
    EXPECT_EQ(pendingSeqs(again), seqs(1098, 1106));
    Spool crashed((folder / "crash").string(), "KV0001", 8 << 20);
    const std::vector<std::uint64_t> resent = pendingSeqs(crashed);
    ASSERT_FALSE(resent.empty());
    EXPECT_LE(resent.front(), 1096U);
    EXPECT_EQ(resent, seqs(resent.front(), 1105));
}

TEST_F(SpoolTest, AFailedCompactionLosesNothingAndKeepsTheOldFile) {
    Spool spool(folder.string(), "KV0001", 8 << 20, 3600);
    for (int n = 1; n <= 1100; ++n) spool.append(padded());
    const std::uint64_t size = std::filesystem::file_size(folder / "KV0001.spool");
    spool.markDelivered(ends(spool)[1089]);  // 1090 delivered
    // At the start: the new file's place is taken.
    std::filesystem::create_directories(folder / "KV0001.spool.new");
    EXPECT_FALSE(spool.compactNow());
    EXPECT_TRUE(std::filesystem::is_directory(folder / "KV0001.spool.new"));
    std::filesystem::remove(folder / "KV0001.spool.new");
    EXPECT_FALSE(spool.compactNow());  // not again before another MiB is delivered
    // At the end: the copy is made and the state written, the rename fails.
    spool.markDelivered(spool.end());
    for (int n = 1101; n <= 2200; ++n) spool.append(padded());
    spool.markDelivered(ends(spool)[1089]);
    Spool::CompactWork work = spool.compactDue();
    ASSERT_TRUE(work.due);
    spool.copyCompaction(&work);
    ASSERT_GE(work.fd, 0);
    spool.append(padded());
    std::filesystem::remove(folder / "KV0001.spool.new");
    spool.finishCompaction(&work);
    spool.releaseCompaction(&work);
    EXPECT_EQ(std::filesystem::file_size(folder / "KV0001.spool"), size + 1101 * 1022);
    EXPECT_EQ(pendingSeqs(spool), seqs(2191, 2201));
    EXPECT_TRUE(spool.failure().empty()) << spool.failure();
    SpoolState saved;  // the state points into the old file again
    ASSERT_EQ(readState((folder / "KV0001.state").string(), &saved), StateFile::Read);
    EXPECT_EQ(saved.head, spool.head());
}

// A record dropped from a full spool while on its way, acknowledged after
// a compaction, reached the broker: it is not told as dropped.
TEST_F(SpoolTest, RecordsDroppedOnTheirWayKeepTheirPlaceAcrossACompaction) {
    Spool spool(folder.string(), "KV0001", 12 * 1024, 3600);
    for (int n = 1; n <= 1100; ++n) spool.append(padded());  // the oldest dropped all along
    spool.sent(spool.end());
    for (int n = 1101; n <= 1103; ++n) spool.append(padded());  // three dropped on their way
    const std::uint64_t told = spool.dropped();
    const std::uint64_t acknowledged = spool.head();
    ASSERT_TRUE(spool.compactNow());
    EXPECT_LT(std::filesystem::file_size(folder / "KV0001.spool"), 16U * 1024);
    spool.delivered(acknowledged);  // the broker has all three
    spool.resend();
    EXPECT_EQ(spool.dropped(), told);
}

// One thread appends under the mutex while another delivers and compacts in
// steps, as the publisher does: every number comes out once, in order.
TEST_F(SpoolTest, ConcurrentAppendsAndCompactionsDeliverEveryRecordOnce) {
    constexpr std::uint64_t kRecords = 4000;
    Spool spool(folder.string(), "KV0001", 64 << 20, 3600);
    std::mutex mutex;
    std::thread reader([&] {
        for (std::uint64_t n = 1; n <= kRecords; ++n) {
            std::lock_guard lock(mutex);
            ASSERT_TRUE(spool.append(padded()).written);
        }
    });
    std::vector<std::uint64_t> delivered;
    std::vector<char> buffer(64 * 1024);
    int compactions = 0;
    // Bounded: a lost record would leave the loop waiting for it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (delivered.size() < kRecords && std::chrono::steady_clock::now() < deadline) {
        Spool::CompactWork work;
        {
            std::lock_guard lock(mutex);
            const std::uint64_t at = spool.head();
            const std::size_t bytes = spool.readRecords(at, buffer.data(), buffer.size());
            for (std::size_t from = 0; from < bytes;) {
                const std::string record(buffer.data() + from,
                                         std::find(buffer.data() + from, buffer.data() + bytes, '\n'));
                delivered.push_back(seqOf(record));
                from += record.size() + 1;
            }
            spool.markDelivered(at + bytes);
            work = spool.compactDue();
        }
        if (!work.due) continue;
        spool.copyCompaction(&work);
        compactions += work.fd >= 0;
        {
            std::lock_guard lock(mutex);
            spool.finishCompaction(&work);
        }
        spool.releaseCompaction(&work);
    }
    reader.join();
    EXPECT_GE(compactions, 2);
    EXPECT_EQ(delivered, seqs(1, kRecords));
    EXPECT_LT(std::filesystem::file_size(folder / "KV0001.spool"), 2U << 20);
}

}  // namespace
}  // namespace korvel::cli::publish
