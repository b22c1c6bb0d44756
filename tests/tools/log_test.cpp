// Logs on disk: refused, appended to, replaced and rotated; --append goes on
// only in a log of korvel's of the same kind, and a set whose last file is
// full or has older columns goes on in the next file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "core/failure.h"
#include "core/log_file.h"
#include "core/log_writer.h"
#include "core/reading.h"

namespace korvel::cli {
namespace {

namespace fs = std::filesystem;

class Logs : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() /
                  ("korvel-log-" + std::to_string(getpid()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder_);
        fs::create_directories(folder_);
    }
    void TearDown() override { fs::remove_all(folder_); }

    std::string path(const std::string& name) const { return (folder_ / name).string(); }
    static std::string text(const std::string& file) {
        std::ifstream in(file);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    static void put(const std::string& file, const std::string& content) { std::ofstream(file) << content; }

    static RunMeta meta() {
        RunMeta m;
        m.version = "1.0.0";
        m.identification = "KORVEL,KV-100,KV0001,1.02";
        m.serial = "KV0001";
        return m;
    }
    static LoggedReading reading(short counts) {
        LoggedReading r;
        r.raw = MeterReading{counts, 0, 0, 0, 0, 0};
        r.value = describeReading(r.raw);
        return r;
    }
    // One run of `korvel read` into the target: its meta block and n readings.
    static void run(const LogTarget& target, int n) {
        LogFile log(target);
        LogWriter writer(log, target.format);
        ASSERT_EQ(writer.begin(meta()), 0);
        for (int i = 0; i < n; ++i) ASSERT_EQ(writer.reading(reading(static_cast<short>(100 + i))), 0);
        ASSERT_EQ(log.finish(), 0);
    }

    fs::path folder_;
};

TEST_F(Logs, AnExistingLogIsRefusedAppendedToOrReplaced) {
    const std::string file = path("field.csv");
    run({file, Existing::Refuse, 0, 0, Format::Csv}, 2);
    EXPECT_THROW(LogFile::check({file, Existing::Refuse, 0, 0, Format::Csv}), Failure);
    run({file, Existing::Append, 0, 0, Format::Csv}, 1);
    const std::string appended = text(file);
    // Two meta blocks, one header, three readings.
    EXPECT_EQ(std::count(appended.begin(), appended.end(), '\n'), 2 * 13 + 1 + 3) << appended;
    EXPECT_EQ(appended.find("timestamp,"), appended.rfind("timestamp,"));
    run({file, Existing::Replace, 0, 0, Format::Csv}, 1);
    EXPECT_EQ(text(file).find("# korvel 1.0.0"), text(file).rfind("# korvel 1.0.0"));
    // Standard output takes neither, nor rotation.
    EXPECT_THROW(LogFile::check({"-", Existing::Append, 0, 0, Format::Csv}), Failure);
    EXPECT_THROW(LogFile::check({"", Existing::Refuse, 100, 0, Format::Csv}), Failure);
}

TEST_F(Logs, AppendGoesOnlyIntoKorvelsLogOfTheSameFormatAndLeavesOthersUntouched) {
    const std::string csv = path("a.csv"), jsonl = path("a.jsonl"), text1 = path("a.txt"), other = path("other.csv");
    run({csv, Existing::Refuse, 0, 0, Format::Csv}, 1);
    run({jsonl, Existing::Refuse, 0, 0, Format::Jsonl}, 1);
    run({text1, Existing::Refuse, 0, 0, Format::Text}, 1);
    put(other, "time,value\n1,2");  // another program's CSV, torn last line
    struct Case {
        std::string file;
        Format format;
    } refused[] = {{csv, Format::Jsonl}, {csv, Format::Text}, {jsonl, Format::Csv},
                   {text1, Format::Csv}, {other, Format::Csv}, {other, Format::Text}};
    for (const Case& c : refused) {
        SCOPED_TRACE(c.file + " as " + formatName(c.format));
        const std::string before = text(c.file);
        EXPECT_THROW(LogFile({c.file, Existing::Append, 0, 0, c.format}), Failure);
        EXPECT_EQ(text(c.file), before);  // not even a line end added
    }
    run({text1, Existing::Append, 0, 0, Format::Text}, 1);
    run({jsonl, Existing::Append, 0, 0, Format::Jsonl}, 1);
}

TEST_F(Logs, OlderColumnsGoOnInTheNextFileOfASetAndAreNeverMixed) {
    // A CSV log as written before over_range and the format key existed.
    const std::string old = "# korvel 1.0.0\n# serial: KV0001\ntimestamp,elapsed_s,tesla,text,units,range,acdc,counts\n"
                            "2026-01-01T00:00:00.000000Z,0.000000,0.0125,125.0G,G,0,DC,1250\n";
    put(path("set.0001.csv"), old);
    run({path("set.csv"), Existing::Append, 0, 3600, Format::Csv}, 1);
    EXPECT_EQ(text(path("set.0001.csv")), old);
    EXPECT_NE(text(path("set.0002.csv")).find(csvHeader()), std::string::npos);
    // Without a set there is no next file: refused with the way out.
    put(path("single.csv"), old);
    try {
        LogFile log({path("single.csv"), Existing::Append, 0, 0, Format::Csv});
        ADD_FAILURE() << "appended to older columns";
    } catch (const Failure& failure) {
        EXPECT_NE(std::string(failure.what()).find("older set of columns"), std::string::npos) << failure.what();
    }
}

TEST_F(Logs, AnAppendedRunThatWouldOverflowTheLastFileOpensTheNext) {
    // Ten runs of one reading each with --append --rotate-size 2000: each
    // run's meta block and reading go where they fit.
    const LogTarget target{path("rot.csv"), Existing::Append, 2000, 0, Format::Csv};
    for (int i = 0; i < 10; ++i) run(target, 1);
    int files = 0;
    for (int n = 1; fs::exists(numberedPath(target.path, n)); ++n, ++files) {
        const std::string name = numberedPath(target.path, n);
        EXPECT_LE(fs::file_size(name), 2000u) << name;
        const std::string t = text(name);
        EXPECT_EQ(t.rfind("# korvel", 0), 0u) << name;
        // It ends in a reading, never in a meta block without readings.
        EXPECT_NE(t[t.rfind('\n', t.size() - 2) + 1], '#') << name;
    }
    EXPECT_GE(files, 2);
}

TEST(LogFormat, TheExtensionChoosesTheFormat) {
    EXPECT_EQ(formatOfPath("field.csv"), Format::Csv);
    EXPECT_EQ(formatOfPath("logs/field.CSV"), Format::Csv);
    EXPECT_EQ(formatOfPath("field.jsonl"), Format::Jsonl);
    EXPECT_EQ(formatOfPath("field.ndjson"), Format::Jsonl);
    EXPECT_EQ(formatOfPath("field.log"), Format::Text);
    EXPECT_EQ(formatOfPath("csv.d/field"), Format::Text);
}

}  // namespace
}  // namespace korvel::cli
