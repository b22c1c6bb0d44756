// The bridge's message exchange on a simulated meter: which lines answer,
// what the answers hold, and that no refusal goes unposted. The table of
// refusals the library leaves unposted is checked against the library
// itself, refusal by refusal.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "korvel.h"
#include "korvel_sim.h"
#include "serve/line_exchange.h"
#include "serve/message.h"

namespace korvel::cli::serve {
namespace {

class LibraryMeter : public MeterPort {
public:
    explicit LibraryMeter(MeterHandle handle) : handle_(handle) {}
    std::string scpi(const std::string& line) override {
        char reply[128] = {};
        scpiCommand(handle_, line.c_str(), reply, sizeof reply);
        reply[sizeof reply - 1] = '\0';
        if (std::strstr(reply, kConnectionProblem) != nullptr) lost_ = true;
        return reply;
    }
    void postError(int code) override {
        if (mtrPostError(handle_, code) != 0) lost_ = true;
    }
    bool lost() const override { return lost_; }
    bool reading(MeterReading* out) override {
        if (mtrGetReading(handle_, out) != 0) lost_ = true;
        return !lost_;
    }

private:
    MeterHandle handle_;
    bool lost_ = false;
};

class Exchange : public testing::Test {
protected:
    void SetUp() override {
        korvelSimReset(1);
        korvelSimSetTimeScale(0.01);
        handle = openKorvel();
        ASSERT_NE(handle, 0U);
    }
    void TearDown() override {
        closeKorvel(handle);
        korvelSimReset(1);
    }
    // The response to a line, or "<none>" when it gets none; `answers` is
    // the connection's (one per client).
    std::string run(const std::string& line, bool raw = false, LocalAnswers* answers = nullptr) {
        LibraryMeter meter(handle);
        std::string response;
        return exchangeLine(meter, line, ExchangeMode{raw, false}, answers != nullptr ? *answers : answers_, &response)
                   ? response
                   : "<none>";
    }
    std::string nextError() { return run(":SYST:ERR?"); }

    MeterHandle handle = 0;
    LocalAnswers answers_;
};

TEST_F(Exchange, OnlyQueriesAnswerInOrderWithoutATrailingSeparator) {
    EXPECT_EQ(run("*OPC?"), "1");
    EXPECT_EQ(run("*OPC?;*STB?"), "1;000");  // in the order asked, unlike the raw line
    EXPECT_EQ(run("*OPC?;*STB?", true), "000;1;");
    EXPECT_EQ(run(":SENS:FLUX:RANG 2"), "<none>");
    EXPECT_EQ(run("SENS:FLUX:RANG?"), "2");  // the root colon may be left out
    EXPECT_EQ(run(" *CLS ; ;:sens:flux:rang 1;sens:flux:rang?"), "1");
    EXPECT_EQ(run("*WAI;*IDN?"), "KORVEL,KV-100,KV0001,1.02");
    EXPECT_EQ(nextError(), "0, NO ERROR");
}

TEST_F(Exchange, BridgeCommands) {
    ASSERT_EQ(korvelSimSetField(0, 0.0125), 0);
    EXPECT_EQ(run("*TST?"), "0");
    EXPECT_EQ(run(":READ?"), "1.25000E-02");  // 12.5 mT shown as 125.0G, answered in tesla
    EXPECT_EQ(run(":UNIT:FLUX:DC:GAUS;:FETC?"), "1.25E+02");  // this connection chose gauss
    EXPECT_EQ(run(":UNIT:FLUX:DC:TESL;:FETC?"), "1.25E-02");
    EXPECT_EQ(run("*RST"), "<none>");
    EXPECT_EQ(nextError(), "-100, COMMAND ERROR");
    EXPECT_EQ(run(":UNIT:FLUX?"), "DC TESLA");  // *RST changed nothing
}

// Every refusal of the interpreter, as a setting (no response) and where it
// has one as a query: afterwards exactly one error waits, whoever posted it.
TEST_F(Exchange, EveryRefusalReachesTheErrorQueueOnce) {
    struct Case {
        const char* line;
        const char* error;
    };
    const std::string tooLong = ":SENS:FLUX:RANG " + std::string(130, '1');
    const Case cases[] = {
        {":SENS:FLUX:RANG 9", "-120, NUMERIC DATA ERROR"},
        {":SENS:HOLD:STAT 9", "-120, NUMERIC DATA ERROR"},
        {":SENS:FLUX:RANG", "-102, SYNTAX ERROR"},
        {"FOO", "-100, COMMAND ERROR"},
        {":DIAG:DAT:PROB? 300", "-120, NUMERIC DATA ERROR"},
        {":DIAG:DAT:EEPR? 70000", "-120, NUMERIC DATA ERROR"},
        {tooLong.c_str(), "-363, INPUT BUFFER OVERRUN"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        run(c.line);
        EXPECT_EQ(nextError(), c.error);
        EXPECT_EQ(nextError(), "0, NO ERROR");
    }
}

// The table of refusals the library leaves unposted, against the library:
// each of them really is unposted (else the bridge would post it twice), and
// the library's posted refusals are not in the table.
TEST(UnpostedRefusals, MatchWhatTheLibraryPosts) {
    korvelSimReset(1);
    korvelSimSetTimeScale(0.01);
    const MeterHandle h = openKorvel();
    ASSERT_NE(h, 0U);
    const std::string tooLong = "*IDN?" + std::string(130, ' ');
    const char* lines[] = {
        ":DIAG:DAT:DAC 9 1", ":DIAG:DAT:DAC 1 70000", ":DIAG:DAT:PROB? 300", ":DIAG:MUX:RANG 9", ":DIAG:MUX:AMP 2",
        tooLong.c_str(), "\t*IDN?",
        // posted by the library
        ":SENS:FLUX:RANG 9", ":SENS:HOLD:STAT 7", ":DIAG:DAT:EEPR 70000 1", ":DIAG:DAT:EEPR 1 300", "FOO",
        ":SYST:AREL:STAT 5",
    };
    int unposted = 0;
    for (const char* line : lines) {
        SCOPED_TRACE(line);
        char reply[128] = {};
        scpiCommand(h, line, reply, sizeof reply);
        short code = 0;
        ASSERT_EQ(mtrGetNextError(h, &code), 0);
        const int table = unpostedRefusal(withoutSeparators(reply));
        if (code == 0) {
            EXPECT_NE(table, 0) << "the library posts nothing for \"" << reply << "\" and the bridge neither";
            ++unposted;
        } else {
            EXPECT_EQ(table, 0) << "\"" << reply << "\" would be posted twice";
        }
        ASSERT_EQ(mtrClearErrorQueue(h), 0);
    }
    EXPECT_EQ(unposted, 7);
    closeKorvel(h);
    korvelSimReset(1);
}

TEST_F(Exchange, ServiceCommandsAndNulBytesAreRefusedWholeAndPosted) {
    LibraryMeter meter(handle);
    std::string response;
    LocalAnswers answers;
    EXPECT_FALSE(exchangeLine(meter, "*ESE 8;DIAG:MOD 1", ExchangeMode{}, answers, &response));
    EXPECT_EQ(nextError(), "-100, COMMAND ERROR");
    EXPECT_EQ(run("*ESE?"), "000");  // nothing of the line ran
    EXPECT_TRUE(exchangeLine(meter, std::string("*ESE 8\0;*ESE?", 13), ExchangeMode{}, answers, &response));
    EXPECT_EQ(response, kNulRefused);
    EXPECT_EQ(nextError(), "-102, SYNTAX ERROR");
    EXPECT_EQ(run(":DIAG:MOD 1", true), kServiceRefused);
}

TEST_F(Exchange, ALostMeterAnswersTheQueriesOfTheLine) {
    korvelSimUnplug(0);
    EXPECT_EQ(run("*CLS;*IDN?;*STB?"), kConnectionProblem);
    EXPECT_EQ(run("*CLS"), "<none>");
}

// :READ? answers in the unit this connection chose, whatever another
// connection set the meter's display to since.
TEST_F(Exchange, ReadAnswersInTheConnectionsOwnUnit) {
    ASSERT_EQ(korvelSimSetField(0, 0.0125), 0);
    LocalAnswers quiet, chooser;
    EXPECT_EQ(run(":UNIT:FLUX:DC:AM", false, &chooser), "<none>");
    // 0.0125 T / (4 pi 1e-7 T m/A) = 9947.18 A/m; the meter shows " 9950Am" in range 0.
    EXPECT_EQ(run(":READ?", false, &chooser), "9.95E+03");
    EXPECT_EQ(run(":READ?", false, &quiet), "1.25035E-02");  // 9950 A/m in tesla, never 9950
    EXPECT_EQ(run(":UNIT:FLUX:DC:GAUS", false, &quiet), "<none>");
    EXPECT_EQ(run(":READ?", false, &chooser), "9.94718E+03");  // 125.0 G = 0.0125 T in A/m, six digits
    EXPECT_EQ(run(":READ?", false, &quiet), "1.25E+02");
    // Over range: the SCPI overload value, either sign.
    EXPECT_EQ(run(":SENS:FLUX:RANG 0"), "<none>");
    ASSERT_EQ(korvelSimSetField(0, 1.5), 0);
    EXPECT_EQ(run(":READ?", false, &chooser), kOverloadPositive);
    ASSERT_EQ(korvelSimSetField(0, -1.5), 0);
    EXPECT_EQ(run(":FETC?", false, &quiet), kOverloadNegative);
}

TEST(ReadingInUnits, ConvertsFromTheFieldNotTheShownNumber) {
    const double mu0 = 4e-7 * M_PI;
    // 1234 in range 2, A/m, scale code 5: "1234A" is 1234 kA/m = 1.5507 T.
    const MeterReading kilo{1234, 2, 2, 0, 0, 5};
    EXPECT_EQ(readingInUnits(kilo, 2), "1.234E+06");
    char expected[32];
    std::snprintf(expected, sizeof expected, "%.5E", 1234000 * mu0);
    EXPECT_EQ(readingInUnits(kilo, 1), expected);
    std::snprintf(expected, sizeof expected, "%.5E", 1234000 * mu0 * 1e4);
    EXPECT_EQ(readingInUnits(kilo, 0), expected);
    EXPECT_EQ(readingInUnits(MeterReading{1234, 3, 0, 0, 0, 0}, 1), kNotANumber);
    EXPECT_EQ(readingInUnits(MeterReading{-32768, 0, 1, 0, 0, 0}, 2), kOverloadNegative);
}

TEST(ReadingAsNumber, KeepsTheShownDigitsInTheMetersUnits) {
    const struct {
        const char* text;
        const char* number;
    } cases[] = {
        {"  125.1G", "1.251E+02"}, {"0.01234T", "1.234E-02"}, {"-0.5G", "-5.0E-01"},
        {"1234000Am", "1.234E+06"}, {"1.234A", "1.234E+03"},  // kA/m shown
        {"0.0G", "0.0E+00"}, {"   12.0G", "1.2E+01"},
    };
    for (const auto& c : cases) {
        std::string number;
        ASSERT_TRUE(readingAsNumber(c.text, &number)) << c.text;
        EXPECT_EQ(number, c.number) << c.text;
    }
    std::string number;
    for (const char* text : {"Error", "", "G", "12.5", "12.5X", "1.2.3G", kConnectionProblem})
        EXPECT_FALSE(readingAsNumber(text, &number)) << text;
}

}  // namespace
}  // namespace korvel::cli::serve
