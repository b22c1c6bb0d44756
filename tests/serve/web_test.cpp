// The live page's parts that decide without a network: who may change what,
// the metrics text, the settings' SCPI lines, the shared history and the
// recording's file.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/failure.h"
#include "serve/http/live_feed.h"
#include "serve/http/metrics.h"
#include "serve/http/recorder.h"
#include "serve/http/security.h"
#include "serve/http/page_settings.h"

namespace {

using namespace korvel::cli::serve::http;

Access pageAccess() {
    Access access;
    access.hosts = allowedHosts("127.0.0.1");
    access.token = "0123456789abcdef0123456789abcdef";
    access.source = TokenSource::Page;
    return access;
}

TEST(HostCheck, NamesThisServerOnlyWhateverThePort) {
    const Access access = pageAccess();
    for (const char* host : {"127.0.0.1:8080", "127.0.0.1", "localhost:8080", "LocalHost", "[::1]:8080", "[::1]"})
        EXPECT_TRUE(hostAllowed(access, host)) << host;
    for (const char* host : {"", "evil.example", "evil.example:8080", "localhost.evil.example", "127.0.0.2:80",
                             "[::1", "[::1]x", "::1", "127.0.0.1.nip.io:8080", "0.0.0.0:8080"})
        EXPECT_FALSE(hostAllowed(access, host)) << host;
}

TEST(HostCheck, ABoundNameIsAcceptedBesidesLocalhost) {
    Access access;
    access.hosts = allowedHosts("Bench-PC.lab");
    EXPECT_TRUE(hostAllowed(access, "bench-pc.lab:8080"));
    EXPECT_TRUE(hostAllowed(access, "localhost:8080"));
    EXPECT_FALSE(hostAllowed(access, "other.lab:8080"));
    EXPECT_TRUE(isLoopbackAddress("127.0.0.1") && isLoopbackAddress("::1") && isLoopbackAddress("localhost"));
    EXPECT_FALSE(isLoopbackAddress("0.0.0.0") || isLoopbackAddress("192.168.1.5") || isLoopbackAddress("::"));
}

TEST(StateChange, NeedsItsOwnOriginAndTheToken) {
    const Access access = pageAccess();
    const std::string host = "127.0.0.1:8080";
    EXPECT_EQ(checkStateChange(access, host, "http://127.0.0.1:8080", access.token), Refusal::None);
    EXPECT_EQ(checkStateChange(access, "evil.example:8080", "http://evil.example:8080", access.token),
              Refusal::Host);
    EXPECT_EQ(checkStateChange(access, host, "http://evil.example", access.token), Refusal::Origin);
    EXPECT_EQ(checkStateChange(access, host, "http://127.0.0.1:8081", access.token), Refusal::Origin);
    EXPECT_EQ(checkStateChange(access, host, "https://127.0.0.1:8080", access.token), Refusal::Origin);
    EXPECT_EQ(checkStateChange(access, host, "", access.token), Refusal::Origin);
    EXPECT_EQ(checkStateChange(access, host, "null", access.token), Refusal::Origin);
    EXPECT_EQ(checkStateChange(access, host, "http://127.0.0.1:8080", ""), Refusal::Token);
    EXPECT_EQ(checkStateChange(access, host, "http://127.0.0.1:8080", access.token + "0"), Refusal::Token);
    EXPECT_EQ(checkStateChange(access, host, "http://127.0.0.1:8080", access.token.substr(1)), Refusal::Token);
}

TEST(StateChange, ReadOnlyRefusesEvenAMatchingOriginAndAnEmptyToken) {
    Access access;
    access.hosts = allowedHosts("127.0.0.1");
    access.source = TokenSource::ReadOnly;
    EXPECT_EQ(checkStateChange(access, "127.0.0.1:80", "http://127.0.0.1:80", ""), Refusal::ReadOnly);
    EXPECT_EQ(checkStateChange(access, "127.0.0.1:80", "http://127.0.0.1:80", "anything"), Refusal::ReadOnly);
}

TEST(Token, FreshTokensDifferAndTokenFilesMustHoldALongOne) {
    const std::string a = newToken();
    EXPECT_EQ(a.size(), 32u);
    EXPECT_NE(a, newToken());
    EXPECT_TRUE(sameSecret("abc", "abc"));
    EXPECT_FALSE(sameSecret("abc", "abd") || sameSecret("abc", "ab") || sameSecret("", "a"));

    const auto folder = std::filesystem::temp_directory_path() / ("korvel-token-" + newToken());
    std::filesystem::create_directories(folder);
    const auto write = [&](const char* name, const char* text) {
        std::ofstream(folder / name) << text;
        return (folder / name).string();
    };
    EXPECT_EQ(readTokenFile(write("good", "  correct-horse-battery  \nsecond line\n")), "correct-horse-battery");
    EXPECT_THROW(readTokenFile(write("short", "tooshort\n")), korvel::cli::Failure);
    EXPECT_THROW(readTokenFile(write("empty", "")), korvel::cli::Failure);
    EXPECT_THROW(readTokenFile((folder / "missing").string()), korvel::cli::Failure);
    std::filesystem::remove_all(folder);
}

MetricsSnapshot connectedSnapshot() {
    MetricsSnapshot s;
    s.serial = "KV0001";
    s.connected = true;
    s.reading = MeterReading{1250, 0, 0, 0, 0, 0};
    s.tesla = 0.0125;
    s.exchanges = 42;
    s.failedExchanges = 1;
    s.scpiClients = 2;
    s.httpStreams = 5;
    return s;
}

TEST(Metrics, EveryFamilyOnceWithHelpTypeAndTheSerial) {
    const std::string text = formatMetrics(connectedSnapshot());
    for (const char* line :
         {"korvel_field_tesla{serial=\"KV0001\"} 0.0125\n", "korvel_reading_counts{serial=\"KV0001\"} 1250\n",
          "korvel_range{serial=\"KV0001\"} 0\n", "korvel_units_code{serial=\"KV0001\"} 0\n",
          "korvel_overrange{serial=\"KV0001\"} 0\n", "korvel_connected{serial=\"KV0001\"} 1\n",
          "korvel_exchanges_total{serial=\"KV0001\"} 42\n", "korvel_exchanges_failed_total{serial=\"KV0001\"} 1\n",
          "korvel_scpi_clients{serial=\"KV0001\"} 2\n", "korvel_http_streams{serial=\"KV0001\"} 5\n",
          "# TYPE korvel_exchanges_total counter\n", "# TYPE korvel_field_tesla gauge\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    EXPECT_EQ(text.back(), '\n');
    std::istringstream lines(text);
    std::string line;
    int samples = 0;
    while (std::getline(lines, line)) samples += line.starts_with('#') ? 0 : 1;
    EXPECT_EQ(samples, 10);
}

TEST(Metrics, NoReadingWhileTheMeterIsAwayAndLabelsEscaped) {
    MetricsSnapshot s = connectedSnapshot();
    s.connected = false;
    s.serial = "K\"V\\1\n";
    const std::string text = formatMetrics(s);
    EXPECT_EQ(text.find("korvel_field_tesla"), std::string::npos);
    EXPECT_EQ(text.find("korvel_reading_counts"), std::string::npos);
    EXPECT_NE(text.find("korvel_connected{serial=\"K\\\"V\\\\1\\n\"} 0\n"), std::string::npos);
    // A reading whose codes the formatter does not know: counts, but no field.
    s = connectedSnapshot();
    s.tesla.reset();
    EXPECT_EQ(formatMetrics(s).find("korvel_field_tesla"), std::string::npos);
    EXPECT_NE(formatMetrics(s).find("korvel_reading_counts"), std::string::npos);
}

TEST(Settings, BecomeTheBridgesOwnCommands) {
    const PresentUnits gaussAc{0, 1};
    EXPECT_EQ(settingLines({{"units", "T"}}, gaussAc).lines, std::vector<std::string>{":UNIT:FLUX:AC:TESL"});
    EXPECT_EQ(settingLines({{"acdc", "DC"}}, gaussAc).lines, std::vector<std::string>{":UNIT:FLUX:DC:GAUS"});
    EXPECT_EQ(settingLines({{"units", "A/m"}, {"acdc", "AC"}}, {}).lines,
              std::vector<std::string>{":UNIT:FLUX:AC:AM"});
    const SettingLines range = settingLines({{"range", "2"}}, {});
    EXPECT_EQ(range.lines, std::vector<std::string>{":SENS:FLUX:RANG 2"});
    EXPECT_EQ(range.autoRange, 0);  // a range by hand ends auto-ranging
    EXPECT_EQ(settingLines({{"autorange", "1"}}, {}).autoRange, 1);
    EXPECT_EQ(settingLines({{"hold", "3"}}, {}).lines, std::vector<std::string>{":SENS:HOLD:STAT 3"});
    EXPECT_EQ(settingLines({{"relative", "1"}}, {}).lines, std::vector<std::string>{":SYST:AREL:STAT 1"});
    EXPECT_EQ(settingLines({{"holdreset", "1"}}, {}).lines, std::vector<std::string>{":SENS:HOLD:RES"});
}

TEST(Settings, AnythingElseIsRefusedWithNothingToRun) {
    const std::vector<std::map<std::string, std::string>> refused = {
        {},
        {{"units", "g"}},
        {{"units", "T;:DIAG:REC"}},
        {{"acdc", "ACDC"}},
        {{"range", "3"}},
        {{"range", "-1"}},
        {{"range", "01"}},
        {{"range", ""}},
        {{"hold", "4"}},
        {{"relative", "3"}},
        {{"autorange", "on"}},
        {{"holdreset", "0"}},
        {{"range", "1"}, {"eeprom", "0"}},
    };
    for (const auto& fields : refused) {
        const SettingLines out = settingLines(fields, {});
        EXPECT_TRUE(out.lines.empty());
        EXPECT_FALSE(out.error.empty());
    }
}

Sample reading(WallClock::time_point time, short counts, bool connected = true) {
    Sample s;
    s.time = time;
    s.connected = connected;
    s.hasReading = connected;
    s.raw = MeterReading{counts, 0, 0, 0, 0, 0};
    s.value = korvel::cli::describeReading(s.raw);
    return s;
}

TEST(LiveFeed, HistoryShowsOutagesAndPausesAsGaps) {
    LiveFeed feed(100);
    const auto t0 = WallClock::now();
    using std::chrono::milliseconds;
    for (int i = 0; i < 5; ++i) feed.publish(reading(t0 + milliseconds(100 * i), 10));
    feed.publish(reading(t0 + milliseconds(500), 0, false));                // the meter away
    feed.publish(reading(t0 + milliseconds(600), 20));
    feed.publish(reading(t0 + milliseconds(5600), 30));                     // nobody watched for 5 s
    const auto points = feed.history(std::chrono::seconds(60), 1000);
    ASSERT_EQ(points.size(), 9u);
    EXPECT_FALSE(points[5].tesla);
    EXPECT_TRUE(points[6].tesla);
    EXPECT_FALSE(points[7].tesla);  // the pause
    EXPECT_DOUBLE_EQ(*points[8].tesla, 30 * 1e-5);
    EXPECT_EQ(feed.latest().sequence, 8u);
    EXPECT_EQ(feed.statistics().count(), 7);
    feed.resetStatistics();
    EXPECT_EQ(feed.statistics().count(), 0);
}

TEST(LiveFeed, ThinsLongWindowsKeepingGapsAndKeepsOnlyItsLength) {
    LiveFeed feed(1000);
    const auto t0 = WallClock::now();
    for (int i = 0; i < 1500; ++i)
        feed.publish(reading(t0 + std::chrono::milliseconds(100 * i), 1, i != 1234));
    const auto all = feed.history(std::chrono::seconds(3600), 100000);
    EXPECT_EQ(all.size(), 1000u);
    const auto thin = feed.history(std::chrono::seconds(3600), 100);
    EXPECT_LE(thin.size(), 100u);
    EXPECT_EQ(std::count_if(thin.begin(), thin.end(), [](const HistoryPoint& p) { return !p.tesla; }), 1);
    const auto last = feed.history(std::chrono::seconds(10), 1000);
    EXPECT_EQ(last.size(), 101u);  // 10 s at 10 a second, both ends included
}

TEST(LiveFeed, WaitersWakeForNewSamplesAndForStop) {
    LiveFeed feed;
    EXPECT_FALSE(feed.waitNewer(0, std::chrono::milliseconds(10)));
    feed.publish(reading(WallClock::now(), 5));
    ASSERT_TRUE(feed.waitNewer(0, std::chrono::milliseconds(10)));
    feed.stop();
    EXPECT_FALSE(feed.waitNewer(0, std::chrono::milliseconds(1000)));
}

TEST(OverRange, IsThePinnedCountAndStaysOutOfTheStatistics) {
    using korvel::cli::isOverRange;
    EXPECT_TRUE(isOverRange(MeterReading{32767, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(isOverRange(MeterReading{-32767, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(isOverRange(MeterReading{-32768, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(isOverRange(MeterReading{32766, 0, 0, 0, 0, 0}));
    // 12.5 mT with a short over-range spell: the mean stays 12.5 mT.
    LiveFeed feed(100);
    const auto t0 = WallClock::now();
    for (int i = 0; i < 6; ++i) feed.publish(reading(t0 + std::chrono::milliseconds(100 * i), i % 3 == 0 ? 32767 : 1250));
    EXPECT_EQ(feed.statistics().count(), 4);
    EXPECT_EQ(feed.statistics().overRange(), 2);
    EXPECT_NEAR(feed.statistics().mean(), 0.0125, 1e-12);
}

MeterStatus meterStatus(const std::string& serial) {
    MeterStatus status;
    status.serial = serial;
    status.identification = "KORVEL,KV-100," + serial + ",1.02";
    status.probe = "HP-100";
    return status;
}

std::vector<std::string> lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

TEST(Recorder, WritesAMetaBlockAndWholeRowsAndNeverOverwrites) {
    const auto folder = std::filesystem::temp_directory_path() / ("korvel-rec-" + newToken());
    Recorder recorder((folder / "made").string());  // a missing folder is made
    std::string error;
    ASSERT_TRUE(recorder.start(&error)) << error;
    EXPECT_FALSE(recorder.start(&error));  // one at a time
    const auto t0 = WallClock::now();
    Sample first = reading(t0, 1250);
    first.elapsed = 7.0;  // the server's clock ran before the recording
    recorder.add(first, meterStatus("KV/../0001"));
    recorder.add(reading(t0 + std::chrono::milliseconds(100), 0, false), meterStatus("KV/../0001"));  // away
    Sample later = reading(t0 + std::chrono::milliseconds(250), -5);
    later.elapsed = 7.25;
    recorder.add(later, meterStatus("KV/../0001"));
    recorder.stop();
    const Recorder::State done = recorder.state();
    EXPECT_FALSE(done.recording);
    EXPECT_EQ(done.rows, 2);
    EXPECT_EQ(std::filesystem::path(done.path).parent_path(), folder / "made");
    EXPECT_TRUE(std::filesystem::path(done.path).filename().string().starts_with("korvel-KV0001-"));
    const std::vector<std::string> text = lines(done.path);
    ASSERT_GE(text.size(), 4u);
    EXPECT_EQ(text[0].rfind("# korvel ", 0), 0u);
    EXPECT_NE(std::find(text.begin(), text.end(), "# serial: KV/../0001"), text.end());
    const auto header = std::find(text.begin(), text.end(), "timestamp,elapsed_s,tesla,text,units,range,acdc,counts,over_range");
    ASSERT_NE(header, text.end());
    ASSERT_EQ(text.end() - header, 3);
    EXPECT_NE(header[1].find(",0.000000,0.0125,125.0G,G,0,DC,1250,false"), std::string::npos) << header[1];
    EXPECT_NE(header[2].find(",0.250000,-5e-05,-0.5G,G,0,DC,-5,false"), std::string::npos) << header[2];

    // Started again within the same second: a new file, the first kept.
    ASSERT_TRUE(recorder.start(&error)) << error;
    recorder.add(reading(t0, 1250), meterStatus("KV/../0001"));
    recorder.stop();
    EXPECT_NE(recorder.state().path, done.path);
    EXPECT_TRUE(std::filesystem::exists(done.path));

    std::ofstream(folder / "file") << "x";
    Recorder nowhere((folder / "file").string());
    EXPECT_FALSE(nowhere.start(&error));
    EXPECT_NE(error.find("cannot record into"), std::string::npos) << error;
    std::filesystem::remove_all(folder);
}

// A full disk (here: the file size limit) ends the recording with the file
// at its last whole row, and says why.
TEST(Recorder, AFullDiskEndsAtTheLastWholeRow) {
    const auto folder = std::filesystem::temp_directory_path() / ("korvel-rec-" + newToken());
    Recorder recorder(folder.string());
    std::string error;
    ASSERT_TRUE(recorder.start(&error)) << error;
    const auto t0 = WallClock::now();
    recorder.add(reading(t0, 1250), meterStatus("KV0001"));
    const std::string path = recorder.state().path;
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = std::filesystem::file_size(path) + 150;  // two rows and part of a third
    setrlimit(RLIMIT_FSIZE, &small);
    for (int i = 1; i <= 5; ++i) recorder.add(reading(t0 + std::chrono::milliseconds(10 * i), 1250), meterStatus("KV0001"));
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    const Recorder::State state = recorder.state();
    EXPECT_FALSE(state.recording);
    EXPECT_NE(state.error.find("writing stopped"), std::string::npos) << state.error;
    const std::vector<std::string> text = lines(path);
    const auto rows = std::count_if(text.begin(), text.end(), [](const std::string& l) { return l.ends_with(",false"); });
    EXPECT_EQ(rows, state.rows);
    EXPECT_GE(state.rows, 2);
    EXPECT_LT(state.rows, 6);
    std::ifstream in(path, std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(all.back(), '\n');
    std::filesystem::remove_all(folder);
}

}  // namespace
