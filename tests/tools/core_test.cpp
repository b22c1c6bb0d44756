// The tool's pure parts: records, statistics, EEPROM planning, reply and
// identification parsing, library search order, completion.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "core/memory_image.h"
#include "core/failure.h"
#include "core/library.h"
#include "core/log_file.h"
#include "core/option_values.h"
#include "core/reading.h"
#include "core/replies.h"
#include "core/scpi_catalog.h"
#include "core/session.h"

namespace korvel::cli {
namespace {

using std::chrono::system_clock;

std::vector<std::string> splitCsv(const std::string& line) {
    std::vector<std::string> fields;
    std::string field;
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') field += line[++i];
            else if (c == '"') quoted = false;
            else field += c;
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            fields.push_back(field);
            field.clear();
        } else if (c != '\n') {
            field += c;
        }
    }
    fields.push_back(field);
    return fields;
}

LoggedReading sample(short counts, int units, int range, int acdc = 0, int scale = 0) {
    LoggedReading r;
    r.time = system_clock::time_point(std::chrono::microseconds(1'700'000'000'123'456LL));
    r.elapsed = 1.25;
    r.raw = MeterReading{counts, units, range, 0, acdc, scale};
    r.value = describeReading(r.raw);
    return r;
}

TEST(ReadingRecord, CsvCarriesEveryFieldOfTheReading) {
    struct Case {
        short counts;
        int units, range, acdc, scale;
        const char* tesla;
        const char* text;
        const char* unitName;
        const char* acdcName;
        const char* overRange = "false";
    } cases[] = {
        {1234, 0, 0, 0, 0, "0.01234", "123.4G", "G", "DC"},
        {-5, 0, 0, 1, 0, "-5e-05", "-0.5G", "G", "AC"},
        {1234, 1, 1, 0, 2, "0.0001234", "0.0001234T", "T", "DC"},
        {12, 0, 2, 0, 0, "0.012", "  120G", "G", "DC"},
        // "A" is kA/m: 1234 kA/m x 4 pi 1e-7 T m/A = 1.550690 T, as the plain row's 1234000Am.
        {1234, 2, 2, 0, 5, "1.55069", "1234A", "A/m", "DC"},
        {1234, 2, 2, 0, 0, "1.55069", "1234000Am", "A/m", "DC"},
        {1234, 2, 2, 0, 4, "0.155069", "123.4A", "A/m", "DC"},
        {7, 3, 0, 0, 0, "", "Error", "units 3", "DC"},  // no row: no value in tesla
        {7, 0, 5, 9, 0, "", "Error", "G", "acdc 9"},
        // The meter pins the count at either end of the range.
        {32767, 0, 0, 0, 0, "0.32767", "3276.7G", "G", "DC", "true"},
        {-32767, 1, 0, 0, 0, "-0.32767", "-0.32767T", "T", "DC", "true"},
        {-32768, 0, 2, 0, 0, "-32.768", "-327680G", "G", "DC", "true"},
        {32766, 0, 0, 0, 0, "0.32766", "3276.6G", "G", "DC"},
    };
    ASSERT_EQ(splitCsv(csvHeader()).back(), "over_range");
    ASSERT_EQ(splitCsv(csvHeader()).size(), 9U);
    for (const Case& c : cases) {
        const auto fields = splitCsv(formatRecord(Format::Csv, sample(c.counts, c.units, c.range, c.acdc, c.scale)));
        ASSERT_EQ(fields.size(), 9U) << c.text;
        EXPECT_EQ(fields[0], "2023-11-14T22:13:20.123456Z");
        EXPECT_EQ(fields[1], "1.250000");
        EXPECT_EQ(fields[2], c.tesla) << c.text;
        EXPECT_EQ(fields[3], c.text);
        EXPECT_EQ(fields[4], c.unitName);
        EXPECT_EQ(fields[5], std::to_string(c.range));
        EXPECT_EQ(fields[6], c.acdcName);
        EXPECT_EQ(fields[7], std::to_string(c.counts));
        EXPECT_EQ(fields[8], c.overRange) << c.text;
    }
}

TEST(ReadingRecord, JsonLineIsOneObjectWithNullForAMissingValue) {
    const std::string good = formatRecord(Format::Jsonl, sample(1234, 0, 0));
    EXPECT_EQ(good,
              "{\"timestamp\":\"2023-11-14T22:13:20.123456Z\",\"elapsed_s\":1.250000,\"tesla\":0.01234,"
              "\"text\":\"123.4G\",\"units\":\"G\",\"range\":0,\"acdc\":\"DC\",\"counts\":1234,\"over_range\":false}\n");
    const std::string bad = formatRecord(Format::Jsonl, sample(1, 7, 0));
    EXPECT_NE(bad.find("\"tesla\":null"), std::string::npos);
    EXPECT_NE(bad.find("\"units\":\"units 7\""), std::string::npos);
}

TEST(ReadingRecord, TextsThatNeedQuotingAreQuoted) {
    LoggedReading r = sample(1, 0, 0);
    r.value.text = "a,\"b\"\n";
    const std::string csv = formatRecord(Format::Csv, r);
    EXPECT_NE(csv.find("\"a,\"\"b\"\"\n\""), std::string::npos) << csv;
    EXPECT_EQ(splitCsv(csv.substr(0, csv.size() - 1))[3], "a,\"b\"\n");
    const std::string json = formatRecord(Format::Jsonl, r);
    EXPECT_NE(json.find("\"text\":\"a,\\\"b\\\"\\u000a\""), std::string::npos) << json;
}

TEST(ReadingRecord, TimestampsAreUtcWithMicroseconds) {
    struct Case {
        long long micros;
        const char* text;
    } cases[] = {
        {0, "1970-01-01T00:00:00.000000Z"},
        {1'500'000, "1970-01-01T00:00:01.500000Z"},
        {-1, "1969-12-31T23:59:59.999999Z"},
        {951'782'400'000'001LL, "2000-02-29T00:00:00.000001Z"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(isoTimestamp(system_clock::time_point(std::chrono::microseconds(c.micros))), c.text);
}

TEST(ReadingRecord, TeslaAgreesWithTheMetersTextInEveryRow) {
    // The text's number times its unit gives the value in tesla, whatever
    // row the reading selects.
    for (int range = 0; range <= 2; ++range) {
        for (int units = 0; units <= 2; ++units) {
            for (int scale : {0, 2, 4, 5}) {
                for (short counts : {short(-32768), short(-5), short(0), short(7), short(1234), short(32767)}) {
                    const MeterReading raw{counts, units, range, 0, 0, scale};
                    const ReadingValue v = describeReading(raw);
                    ASSERT_TRUE(v.tesla.has_value());
                    const double shown = std::strtod(v.text.c_str(), nullptr);
                    // From the letters alone: "A" is kA/m, "Am" A/m.
                    const std::string letters = v.text.substr(v.text.find_last_of("0123456789") + 1);
                    const double perUnit = letters == "G"    ? 1e-4
                                           : letters == "T"  ? 1.0
                                           : letters == "Am" ? 4e-7 * M_PI
                                                             : 4e-4 * M_PI;
                    EXPECT_NEAR(*v.tesla, shown * perUnit, std::fabs(shown * perUnit) * 1e-9 + 1e-15)
                        << v.text << " range " << range << " units " << units << " scale " << scale;
                    // What is printed keeps every digit the count has.
                    EXPECT_NEAR(std::strtod(formatTesla(*v.tesla).c_str(), nullptr), *v.tesla,
                                std::fabs(*v.tesla) * 5e-7);
                }
            }
        }
    }
}

TEST(Statistics, MeanMinMaxAndSampleDeviation) {
    Statistics s;
    EXPECT_EQ(s.count(), 0);
    EXPECT_EQ(s.standardDeviation(), 0.0);
    s.add(3.0);
    EXPECT_EQ(s.standardDeviation(), 0.0);
    for (double v : {1.0, 4.0, 2.0}) s.add(v);
    EXPECT_EQ(s.count(), 4);
    EXPECT_EQ(s.min(), 1.0);
    EXPECT_EQ(s.max(), 4.0);
    EXPECT_DOUBLE_EQ(s.mean(), 2.5);
    EXPECT_NEAR(s.standardDeviation(), 1.2909944487358056, 1e-12);
}

TEST(Statistics, SmallSpreadOnALargeFieldKeepsItsPrecision) {
    // A naive sum of squares loses the spread entirely here.
    Statistics s;
    for (int i = 0; i < 100000; ++i) s.add(1.0 + (i % 2 == 0 ? 1e-9 : -1e-9));
    EXPECT_NEAR(s.mean(), 1.0, 1e-15);
    EXPECT_NEAR(s.standardDeviation(), 1e-9, 1e-12);
}

TEST(Statistics, SummaryNamesCountRateAndReadingsWithoutValue) {
    Statistics s;
    s.add(0.01);
    s.add(0.03);
    const std::string text = formatSummary(3, 2.0, s);
    EXPECT_NE(text.find("3 readings in 2.000 s (1.5 readings/s)"), std::string::npos) << text;
    EXPECT_NE(text.find("min 0.01 T, max 0.03 T, mean 0.02 T, standard deviation 0.01414214 T"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("1 reading had no value in tesla"), std::string::npos) << text;
    EXPECT_NE(formatSummary(0, 0, Statistics{}).find("0 readings in 0.000 s"), std::string::npos);
    // One reading has no time span, so no rate either.
    Statistics one;
    one.add(0.5);
    EXPECT_EQ(formatSummary(1, 0.0, one).substr(0, 10), "1 reading\n");
    EXPECT_EQ(formatSummary(1, 0.0, one).find("readings/s"), std::string::npos);
}

TEST(OptionValues, RefusalsNameTheOptionAndWhatItTakes) {
    const ValueRule count{ValueRule::Whole, 1, 0, false, true, "a whole number"};
    const ValueRule seconds{ValueRule::Number, 0, 0, true, true, "a number of seconds"};
    const ValueRule field{ValueRule::Number, -10, 10, false, false, "a number of tesla"};
    for (const char* bad : {"0", "-3", "abc", "2.5", "", " 4", "1e3", "99999999999999999999"})
        EXPECT_EQ(checkValue("-n", bad, count), "-n must be a whole number of 1 or more") << bad;
    EXPECT_EQ(checkValue("-n", "17", count), "");
    for (const char* bad : {"0", "nan", "inf", "-inf", "-1", "1s", "0x"})
        EXPECT_EQ(checkValue("--duration", bad, seconds), "--duration must be a number of seconds greater than 0")
            << bad;
    EXPECT_EQ(checkValue("--duration", "0.25", seconds), "");
    EXPECT_EQ(checkValue("--field", "10.5", field), "--field must be a number of tesla from -10 to 10");
    EXPECT_EQ(checkValue("--field", "-10", field), "");
}

TEST(OptionValues, TheNearestNameForATypingMistake) {
    const std::vector<std::string> names{"info", "read", "scpi", "console", "eeprom", "list", "selftest", "serve"};
    EXPECT_EQ(nearestName("raed", names), "read");
    EXPECT_EQ(nearestName("consle", names), "console");
    EXPECT_EQ(nearestName("serv", names), "serve");
    EXPECT_EQ(nearestName("frobnicate", names), "");
    EXPECT_EQ(nearestName("x", names), "");
}

TEST(LogFile, NumberedNamesKeepTheExtension) {
    EXPECT_EQ(numberedPath("field.csv", 1), "field.0001.csv");
    EXPECT_EQ(numberedPath("logs/run.2026.jsonl", 12), "logs/run.2026.0012.jsonl");
    EXPECT_EQ(numberedPath("field", 3), "field.0003");
    EXPECT_EQ(numberedPath("dir.d/field", 3), "dir.d/field.0003");
    EXPECT_EQ(numberedPath(".hidden", 2), ".hidden.0002");
}

TEST(Eeprom, ChunksCoverTheSpanInPiecesOfAtMostFifty) {
    struct Case {
        int start, length;
        std::vector<std::pair<int, int>> chunks;
    } cases[] = {
        {0, 0, {}},
        {0, 50, {{0, 50}}},
        {0, 51, {{0, 50}, {50, 1}}},
        {100, 120, {{100, 50}, {150, 50}, {200, 20}}},
        {65530, 6, {{65530, 6}}},
    };
    for (const Case& c : cases) {
        std::vector<std::pair<int, int>> got;
        for (const Chunk& chunk : planChunks(c.start, c.length)) got.emplace_back(chunk.address, chunk.count);
        EXPECT_EQ(got, c.chunks) << c.start << "+" << c.length;
    }
    const auto whole = planChunks(0, 2048);
    EXPECT_EQ(whole.size(), 41U);
    EXPECT_EQ(whole.back().address, 2000);
    EXPECT_EQ(whole.back().count, 48);
}

TEST(Eeprom, ImagesThatDoNotFitAreRefused) {
    struct Case {
        long long size;
        std::optional<int> start;
        int memory;
        bool fits;
        const char* says;
    } cases[] = {
        {2048, std::nullopt, 2048, true, ""},
        {2047, std::nullopt, 2048, false, "must match it exactly"},
        {2049, std::nullopt, 2048, false, "must match it exactly"},
        {0, std::nullopt, 2048, false, "empty"},
        {0, 5, 2048, false, "empty"},
        {48, 2000, 2048, true, ""},
        {49, 2000, 2048, false, "do not fit"},
        {1, 2048, 2048, false, "do not fit"},
        {1, -1, 2048, false, "do not fit"},
        {2048, 0, 2048, true, ""},
    };
    for (const Case& c : cases) {
        const Placement p = placeImage(c.size, c.start, c.memory);
        EXPECT_EQ(p.refusal.empty(), c.fits) << c.size << " at " << c.start.value_or(-99) << ": " << p.refusal;
        EXPECT_NE(p.refusal.find(c.says), std::string::npos) << p.refusal;
        if (c.fits) {
            EXPECT_EQ(p.start, c.start.value_or(0));
        }
    }
}

TEST(Eeprom, NumbersAreDecimalOrHexadecimalNeverOctal) {
    struct Case {
        const char* text;
        std::optional<long long> value;
    } cases[] = {
        {"0", 0},       {"010", 10},         {"2048", 2048},      {"0x100", 256},        {"0XfF", 255},
        {"", {}},       {"0x", {}},          {"-1", {}},          {"+1", {}},            {"12a", {}},
        {" 1", {}},     {"1234567890", {}},  {"0x1234567890", {}}, {"1e3", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(parseNumber(c.text), c.value) << c.text;
}

TEST(Eeprom, TheLastPrintedReadLineIsTheOneThatCounts) {
    EXPECT_FALSE(parseReadEcho("").has_value());
    EXPECT_FALSE(parseReadEcho("something else\n").has_value());
    const auto one = parseReadEcho("eepromAddr = 0032, bytesRead = 0014\n");
    ASSERT_TRUE(one);
    EXPECT_EQ(one->address, 0x32U);
    EXPECT_EQ(one->count, 0x14U);
    const auto last = parseReadEcho("eepromAddr = 0000, bytesRead = 0032\neepromAddr = 07d0, bytesRead = 0030\n");
    ASSERT_TRUE(last);
    EXPECT_EQ(last->address, 0x7D0U);
    EXPECT_EQ(last->count, 0x30U);
}

TEST(Replies, EachPieceOfAReplyIsJudged) {
    struct Case {
        const char* reply;
        ReplyKind kind;
    } cases[] = {
        {"", ReplyKind::Empty},
        {"KORVEL,KV-100,KV0001,1.02", ReplyKind::Answer},
        {"-100, COMMAND ERROR", ReplyKind::Answer},  // an error-queue entry is an answer
        {"123.4G;1;", ReplyKind::Answer},
        {"Unknown Cmd: FOO", ReplyKind::Refused},
        {"ERR: Syntax", ReplyKind::Refused},
        {"Error: [0-2]", ReplyKind::Refused},
        {"Error", ReplyKind::Refused},
        {"005;Error: [0-255]", ReplyKind::Refused},
        {"USB Connection Problem", ReplyKind::Lost},
        {"Unknown Cmd: X;USB Connection Problem", ReplyKind::Lost},
        {"005;USB Connection Problem;USB Connection Problem", ReplyKind::Lost},
    };
    for (const Case& c : cases) EXPECT_EQ(classifyReply(c.reply), c.kind) << c.reply;
}

TEST(Identification, SerialMatchesAWholeFieldIgnoringCase) {
    struct Case {
        const char* identification;
        const char* serial;
        bool carries;
    } cases[] = {
        {"KORVEL,KV-100,KV0001,1.02", "KV0001", true},
        {"KORVEL,KV-100,KV0001,1.02", "kv0001", true},
        {"KORVEL, KV-100, KV0001 ,1.02", "KV0001", true},
        {"KORVEL,KV-100,KV0001,1.02", "KV000", false},
        {"KORVEL,KV-100,KV00011,1.02", "KV0001", false},
        {"KORVEL,KV-100,KV0001,1.02", "", false},
        {"", "KV0001", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(identificationCarriesSerial(c.identification, c.serial), c.carries)
            << c.identification << " / " << c.serial;
    EXPECT_EQ(serialOf("KORVEL,KV-100,KV0001,1.02"), "KV0001");
    EXPECT_EQ(serialOf("KORVEL,KV-100"), "");
    const char raw[40] = {'A', 'B', '\x01', 'C', '\0', 'D'};
    EXPECT_EQ(identificationText(raw, 40), "AB?C");
    const char full[4] = {'W', 'X', 'Y', 'Z'};  // no terminator within the size
    EXPECT_EQ(identificationText(full, 4), "WXYZ");
}

class MissingMeter : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = std::filesystem::temp_directory_path() /
                ("korvel-sysfs-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(root_);
        std::filesystem::create_directories(root_);
        device("usb1", "1d6b", "0002", 1, 1);  // a root hub
    }
    void TearDown() override { std::filesystem::remove_all(root_); }
    void device(const std::string& name, const char* vendor, const char* product, int bus, int dev) {
        const auto dir = root_ / name;
        std::filesystem::create_directories(dir);
        std::ofstream(dir / "idVendor") << vendor << "\n";
        std::ofstream(dir / "idProduct") << product << "\n";
        std::ofstream(dir / "busnum") << bus << "\n";
        std::ofstream(dir / "devnum") << dev << "\n";
    }
    std::string explain(int accessError) {
        return explainMissingMeter(root_.string(), "/dev/bus/usb", 0x1209, 0x0001,
                                   [accessError](const std::string&) { return accessError; });
    }
    std::filesystem::path root_;
};

TEST_F(MissingMeter, NothingPluggedIn) {
    EXPECT_NE(explain(0).find("no meter found: no USB device 1209:0001 is plugged in"), std::string::npos);
}

TEST_F(MissingMeter, PresentButForbiddenPointsToTheUdevRule) {
    device("1-2", "1209", "0001", 1, 7);
    const std::string text = explain(EACCES);
    EXPECT_NE(text.find("/dev/bus/usb/001/007"), std::string::npos) << text;
    EXPECT_NE(text.find("permissions"), std::string::npos) << text;
    EXPECT_NE(text.find("udev rule"), std::string::npos) << text;
}

TEST_F(MissingMeter, PresentAndAllowedIsBusyOrSilent) {
    device("1-2", "1209", "0001", 2, 12);
    const std::string text = explain(0);
    EXPECT_NE(text.find("/dev/bus/usb/002/012"), std::string::npos) << text;
    EXPECT_NE(text.find("another program"), std::string::npos) << text;
    EXPECT_EQ(text.find("permissions"), std::string::npos) << text;
}

TEST_F(MissingMeter, PluggedMetersAreFoundByTheirIds) {
    device("2-1", "1209", "0001", 2, 3);
    device("1-2", "1209", "0001", 1, 7);
    device("1-3", "1209", "0002", 1, 8);  // another product of the same vendor
    const auto nodes = pluggedMeters(root_.string(), "/dev/bus/usb", 0x1209, 0x0001);
    ASSERT_TRUE(nodes.has_value());
    EXPECT_EQ(*nodes, (std::vector<std::string>{"/dev/bus/usb/001/007", "/dev/bus/usb/002/003"}));
    EXPECT_FALSE(pluggedMeters((root_ / "none").string(), "/dev", 0x1209, 1).has_value());
}

TEST(LibrarySearch, OrderOfThePlacesTried) {
    const auto plain = libraryCandidates(LoadRequest{false, ""}, nullptr, "/opt/k/bin");
    ASSERT_GE(plain.size(), 3U);
    EXPECT_EQ(plain[0], "/opt/k/bin/libkorvel-x64.so.1");
    EXPECT_EQ(plain[1], "/opt/k/bin/" KORVEL_TEST_RELATIVE_LIBDIR "/libkorvel-x64.so.1");
    EXPECT_EQ(plain.back(), "libkorvel-x64.so.1");  // the loader's own search comes last

    const auto sim = libraryCandidates(LoadRequest{true, ""}, "/env/libsim.so", "/opt/k/bin");
    EXPECT_EQ(sim[0], "/env/libsim.so");
    EXPECT_EQ(sim[1], "/opt/k/bin/libkorvel-x64-sim.so.1");
    EXPECT_EQ(sim.back(), "libkorvel-x64-sim.so.1");

    // --library means that library and no other.
    EXPECT_EQ(libraryCandidates(LoadRequest{true, "/x/lib.so"}, "/env/libsim.so", "/opt/k/bin"),
              std::vector<std::string>{"/x/lib.so"});
    // An empty environment value counts as unset.
    EXPECT_EQ(libraryCandidates(LoadRequest{false, ""}, "", "/a")[0], "/a/libkorvel-x64.so.1");
}

TEST(Completion, TabWalksTheTreeOneLevelAtATime) {
    struct Case {
        const char* typed;
        std::vector<std::string> offered;
    } cases[] = {
        {":me", {":MEAS"}},
        {":MEAS", {":MEAS:FLUX?"}},
        {":S", {":SENS", ":STAT", ":SYST"}},
        {":sens:flux:rang", {":SENS:FLUX:RANG", ":SENS:FLUX:RANG:AUT", ":SENS:FLUX:RANG?"}},
        {"*i", {"*IDN?"}},
        {"*E", {"*ESE", "*ESE?", "*ESR?"}},
        {"xyz", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(completeScpi(c.typed), c.offered) << c.typed;
}

TEST(Completion, HelpHasOneLinePerCommand) {
    const std::string help = scpiHelpText();
    EXPECT_EQ(static_cast<size_t>(std::count(help.begin(), help.end(), '\n')), scpiCatalog().size());
    EXPECT_NE(help.find(":MEAS:FLUX?"), std::string::npos);
}

}  // namespace
}  // namespace korvel::cli
