// The tool's core against the library itself, linked in over the simulated
// meter: memory transfers, the info gathering, the SCPI script runner, and
// that the console only offers commands the library knows.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "core/capture.h"
#include "core/memory_image.h"
#include "core/failure.h"
#include "core/library.h"
#include "core/meter_info.h"
#include "core/scpi_catalog.h"
#include "core/script.h"
#include "core/session.h"

namespace korvel::cli {
namespace {

Api linkedApi() {
    Api api;
#define KORVEL_TEST_BIND(name) api.name = &::name;
    KORVEL_CLI_LIBRARY_FUNCTIONS(KORVEL_TEST_BIND)
    KORVEL_CLI_SIM_FUNCTIONS(KORVEL_TEST_BIND)
#undef KORVEL_TEST_BIND
    return api;
}

class WithMeter : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(korvelSimReset(1), 1);
        korvelSimSetTimeScale(0.01);
        korvelSimSetLatency(0);  // exchanges answered at once
        const MeterHandle handle = openKorvel();
        ASSERT_NE(handle, 0U);
        meter_.emplace(api_, handle, "KORVEL,KV-100,KV0001,1.02");
    }
    void TearDown() override { meter_.reset(); }

    Api api_ = linkedApi();
    std::optional<Meter> meter_;
};

TEST_F(WithMeter, ReadingTheMemoryGivesExactlyItsBytesAndPrintsNothing) {
    const int size = korvelSimEepromSize(0);
    ASSERT_GT(size, 100);
    std::vector<unsigned char> truth(static_cast<size_t>(size));
    ASSERT_EQ(korvelSimReadEeprom(0, 0, truth.data(), size), 0);

    EepromAccess memory(api_, meter_->handle());
    std::vector<int> progress;
    StdoutCapture outer;
    const auto bytes = memory.read(0, size, [&](int done, int total) {
        EXPECT_EQ(total, size);
        progress.push_back(done);
    });
    EXPECT_EQ(outer.finish(), "");  // the library's line per read never reaches stdout
    EXPECT_EQ(std::vector<unsigned char>(bytes.begin(), bytes.end()), truth);
    ASSERT_EQ(progress.size(), static_cast<size_t>((size + 49) / 50));
    EXPECT_EQ(progress.back(), size);
}

TEST_F(WithMeter, WrittenBytesReadBackAcrossChunkEdges) {
    std::vector<std::uint8_t> image(123);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(0xA5 ^ i);
    EepromAccess memory(api_, meter_->handle());
    memory.write(40, image);
    std::vector<unsigned char> inside(image.size());
    ASSERT_EQ(korvelSimReadEeprom(0, 40, inside.data(), static_cast<int>(inside.size())), 0);
    EXPECT_EQ(std::vector<std::uint8_t>(inside.begin(), inside.end()), image);
    EXPECT_EQ(memory.read(40, static_cast<int>(image.size())), image);
}

TEST_F(WithMeter, ALostMeterStopsTheTransferWithTheAddress) {
    EepromAccess memory(api_, meter_->handle());
    korvelSimUnplug(0);
    try {
        memory.read(100, 60);
        FAIL() << "read went on without a meter";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.exitCode(), kExitMeterError);
        EXPECT_NE(std::string(failure.what()).find("0x0064"), std::string::npos) << failure.what();
    }
    EXPECT_THROW(memory.write(0, std::vector<std::uint8_t>(3, 1)), Failure);
}

TEST_F(WithMeter, InfoListsTheSettingsAndEmptiesTheErrorQueue) {
    ASSERT_EQ(mtrPostError(meter_->handle(), -100), 0);
    ASSERT_EQ(mtrPostError(meter_->handle(), -363), 0);
    ASSERT_EQ(mtrSetRange(meter_->handle(), 1), 0);
    const auto lines = gatherInfo(api_, *meter_, "on");
    std::map<std::string, std::vector<std::string>> by;
    std::string last;
    for (const auto& line : lines) {
        if (!line.name.empty()) last = line.name;
        by[last].push_back(line.value);
    }
    EXPECT_EQ(by["meter"][0].substr(0, 7), "KORVEL,");
    EXPECT_FALSE(by["probe"][0].empty());
    EXPECT_EQ(by["units"][0], "DC GAUSS");
    EXPECT_EQ(by["range"][0], "1");
    EXPECT_EQ(by["auto-range"][0], "on");
    EXPECT_EQ(by["hold"][0], "0 (off)");
    EXPECT_TRUE(std::regex_match(by["reading"][0], std::regex(R"(-?\d+G  \(.* T\))"))) << by["reading"][0];
    EXPECT_NE(by["status byte"][0].find("error queue not empty"), std::string::npos) << by["status byte"][0];
    EXPECT_EQ(by["errors"], (std::vector<std::string>{"-100, COMMAND ERROR", "-363, INPUT BUFFER OVERRUN"}));
    short left[4];
    EXPECT_EQ(korvelSimPeekErrors(0, left, 4), 0);
}

TEST_F(WithMeter, InfoOnAnEmptyQueueSaysNone) {
    const auto lines = gatherInfo(api_, *meter_, "off");
    EXPECT_EQ(lines.back().name, "errors");
    EXPECT_EQ(lines.back().value, "none");
}

TEST_F(WithMeter, InfoOnALostMeterFails) {
    korvelSimUnplug(0);
    EXPECT_THROW(gatherInfo(api_, *meter_, "on"), Failure);
    EXPECT_TRUE(meter_->lost());
}

// Runs a script, returning what it printed and the exit code.
std::pair<std::string, int> runScript(Meter& meter, const std::string& script, bool consoleWords) {
    ScriptRunner runner(meter);
    std::istringstream in(script);
    StdoutCapture capture;
    runner.runStream(in, consoleWords);
    const std::string printed = capture.finish();
    return {printed, runner.finish()};
}

TEST_F(WithMeter, ScriptsSkipCommentsAndBlankLinesAndPrintOneLinePerReply) {
    const auto [printed, code] =
        runScript(*meter_, "# set up\r\n:UNIT:FLUX:DC:TESL\r\n\n   \n*ESE 32;*ESE?\n:unit:flux?\n", false);
    EXPECT_EQ(printed, "032\nDC TESLA\n");  // the setting prints nothing
    EXPECT_EQ(code, kExitOk);
}

TEST_F(WithMeter, ARefusedLineFailsTheScriptButTheRestRuns) {
    const auto [printed, code] = runScript(*meter_, "foo\n:SENS:FLUX:RANG 9\n*ESE 7;*ESE?\n", false);
    EXPECT_EQ(printed, "Unknown Cmd: FOO\nError: [0-2]\n007\n");
    EXPECT_EQ(code, kExitMeterError);
}

TEST_F(WithMeter, ALostConnectionStopsTheScript) {
    korvelSimUnplug(0);
    const auto [printed, code] = runScript(*meter_, "*IDN?\n*CLS\n*ESE?\n", false);
    EXPECT_EQ(printed, "USB Connection Problem\n");  // nothing sent after it
    EXPECT_EQ(code, kExitMeterError);
}

TEST_F(WithMeter, ConsoleWordsOnlyInTheConsole) {
    const auto [console, consoleCode] = runScript(*meter_, "*ESE 1\nQUIT\n*ESE?\n", true);
    EXPECT_EQ(console, "");
    EXPECT_EQ(consoleCode, kExitOk);
    const auto [help, helpCode] = runScript(*meter_, "help\n", true);
    EXPECT_EQ(help, scpiHelpText());
    EXPECT_EQ(helpCode, kExitOk);
    const auto [plain, plainCode] = runScript(*meter_, "quit\n", false);
    EXPECT_EQ(plain, "Unknown Cmd: QUIT\n");
    EXPECT_EQ(plainCode, kExitMeterError);
}

TEST_F(WithMeter, EveryCommandTheConsoleOffersIsKnownToTheLibrary) {
    for (const ScpiHelp& entry : scpiCatalog()) {
        // Each argument placeholder <a-b> becomes its lowest value.
        const std::string line = std::regex_replace(
            std::regex_replace(std::string(entry.command), std::regex("<(\\d+)-\\d+>"), "$1"),
            std::regex("<address>"), "16");
        const std::string reply = meter_->scpi(line);
        EXPECT_EQ(reply.find("Unknown Cmd"), std::string::npos) << line << " -> " << reply;
        EXPECT_EQ(reply.find("ERR: Syntax"), std::string::npos) << line << " -> " << reply;
        EXPECT_EQ(reply.find("Error"), std::string::npos) << line << " -> " << reply;
    }
}

}  // namespace
}  // namespace korvel::cli
