#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "serve/line_buffer.h"
#include "serve/service_filter.h"

namespace {

using korvel::cli::serve::isServiceLine;
using korvel::cli::serve::kMaxLineLength;
using korvel::cli::serve::LineBuffer;

struct LineCase {
    const char* name;  // the test's name in ctest
    const char* line;
    bool service;
};

template <typename Case>
std::string caseName(const testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

class ServiceLine : public testing::TestWithParam<LineCase> {};

TEST_P(ServiceLine, IsRecognisedAsTheInterpreterWouldRouteIt) {
    EXPECT_EQ(isServiceLine(GetParam().line), GetParam().service) << GetParam().line;
}

INSTANTIATE_TEST_SUITE_P(
    Refused, ServiceLine,
    testing::Values(LineCase{"EeprWrite", ":DIAG:DAT:EEPR 16 7", true},
                    LineCase{"EeprWriteLowerCase", ":diag:dat:eepr 16 7", true},
                    LineCase{"EeprWriteLongForm", ":DIAGNOSTIC:DATA:EEPROM 16 7", true},  // long forms match by prefix
                    // a write form (the keyword has no "?")
                    LineCase{"EeprWriteWithQueryArgument", ":DIAG:DAT:EEPR 16?", true},
                    LineCase{"EeprBare", ":DIAG:DAT:EEPR", true},
                    LineCase{"DacWrite", ":DIAG:DAT:DAC 1 5", true},
                    LineCase{"Recalibrate", ":DIAG:REC", true},
                    LineCase{"RecalibrateLongForm", ":DIAG:RECALIBRATE", true},
                    LineCase{"ModeSet", ":DIAG:MOD 1", true},
                    LineCase{"PowerSet", ":DIAG:PWR 0", true},
                    LineCase{"MuxRange", ":DIAG:MUX:RANG 3", true},
                    LineCase{"MuxAmplifier", ":DIAG:MUX:AMP 1", true},
                    LineCase{"MuxCurrent", ":DIAG:MUX:CURR", true},
                    LineCase{"AnyDiaRoot", ":DIAX:REC", true},  // ":DIA" is all the root compares
                    LineCase{"DescentStopsAtColon", ":DIAG:DAT 1:EEPR 1 2", true},  // the descent stops at the next ":"
                    LineCase{"AfterAQuery", "*IDN?;:DIAG:MOD 1", true},
                    LineCase{"AmongEmptyUnits", ";;:DIAG:PWR 1;", true},
                    LineCase{"LastOfThreeUnits", ":MEAS:FLUX?;*IDN?;:diag:rec", true}),
    caseName<LineCase>);

INSTANTIATE_TEST_SUITE_P(
    Allowed, ServiceLine,
    testing::Values(LineCase{"EeprQuery", ":DIAG:DAT:EEPR? 16", false},
                    LineCase{"EeprQueryLongForm", ":diag:dat:eeprom? 16", false},
                    LineCase{"AdcQuery", ":DIAG:DAT:ADC?", false},
                    LineCase{"ProbeQuery", ":DIAG:DAT:PROB? 5", false},
                    LineCase{"FrequencyQuery", ":DIAG:DAT:FREQ?", false},
                    LineCase{"LimitSet", ":DIAG:DAT:LIM 1", false},
                    LineCase{"DriverVersion", ":DIAG:SWV:DRIV", false},
                    LineCase{"DiagAlone", ":DIAG", false},
                    LineCase{"LeadingBlank", " :DIAG:REC", false},  // a leading blank matches no root keyword
                    LineCase{"MissingColon", "DIAG:REC", false},  // nor does a missing colon
                    LineCase{"ErrorQuery", ":SYST:ERR?", false},
                    LineCase{"TwoQueries", "*IDN?;:MEAS:FLUX?", false},
                    LineCase{"RangeSet", ":SENS:FLUX:RANG 2", false},
                    LineCase{"Empty", "", false},
                    LineCase{"OnlySeparators", ";;;", false},
                    LineCase{"StatusAndUnits", ":STAT:QUES:ENAB 7;:UNIT:FLUX:DC:TESL", false}),
    caseName<LineCase>);

// Feeds bytes into a buffer the way the socket would, collecting the lines.
struct Fed {
    std::vector<std::string> lines;
    bool overflow = false;
};

Fed feed(LineBuffer& buffer, const std::string& bytes) {
    Fed out;
    size_t at = 0;
    while (true) {
        std::string line;
        const auto next = buffer.next(&line);
        if (next == LineBuffer::Next::Line) {
            out.lines.push_back(line);
            continue;
        }
        if (next == LineBuffer::Next::Overflow) {
            out.overflow = true;
            return out;
        }
        if (at == bytes.size()) return out;
        const size_t take = std::min(buffer.spaceLeft(), bytes.size() - at);
        std::memcpy(buffer.space(), bytes.data() + at, take);
        buffer.commit(take);
        at += take;
    }
}

struct FramingCase {
    const char* name;  // the test's name in ctest
    std::string bytes;
    std::vector<std::string> lines;
    bool overflow;
};

class Framing : public testing::TestWithParam<FramingCase> {};

TEST_P(Framing, CutsLinesAndBoundsThem) {
    LineBuffer buffer;
    const Fed fed = feed(buffer, GetParam().bytes);
    EXPECT_EQ(fed.lines, GetParam().lines);
    EXPECT_EQ(fed.overflow, GetParam().overflow);
}

const std::string kLongest(kMaxLineLength, 'A');

INSTANTIATE_TEST_SUITE_P(
    Lines, Framing,
    testing::Values(FramingCase{"OneLine", "*IDN?\n", {"*IDN?"}, false},
                    FramingCase{"CrLfThenLf", "*IDN?\r\n:MEAS:FLUX?\n", {"*IDN?", ":MEAS:FLUX?"}, false},
                    FramingCase{"NoLineEndYet", "*IDN?", {}, false},  // waits for its line end
                    FramingCase{"EmptyLines", "\n\r\n", {"", ""}, false},
                    FramingCase{"CrAloneEndsALine", "a\rb\n", {"a", "b"}, false},  // CR alone ends a line too
                    FramingCase{"ThreeCrLines", "a\rb\rc\r", {"a", "b", "c"}, false},
                    FramingCase{"NulInsideALine", std::string("a\0b\n", 4), {std::string("a\0b", 3)}, false},
                    FramingCase{"LongestLine", kLongest + "\n", {kLongest}, false},
                    FramingCase{"LongestLineThenAnother", kLongest + "\r\n" + "x\n", {kLongest, "x"}, false},
                    FramingCase{"OneByteTooLong", kLongest + "B\n", {}, true},
                    FramingCase{"TooLongBeforeItsEnd", kLongest + "BB", {}, true},  // known too long before its end
                    FramingCase{"LongestAfterAShortOne", "ok\n" + kLongest + "\rB", {"ok", kLongest}, false}),
    caseName<FramingCase>);

TEST(Framing, ManyShortLinesPassThroughTheFixedBuffer) {
    LineBuffer buffer;
    std::string bytes;
    for (int i = 0; i < 5000; ++i) bytes += std::to_string(i) + "\n";
    const Fed fed = feed(buffer, bytes);
    ASSERT_EQ(fed.lines.size(), 5000U);
    EXPECT_EQ(fed.lines.front(), "0");
    EXPECT_EQ(fed.lines.back(), "4999");
    EXPECT_FALSE(buffer.hasLine());
}

// A CR LF cut between two reads is one line end, not a line end and an
// empty line; the bytes after the last line end are a line once the client
// has half-closed.
TEST(Framing, CrLfAcrossReadsAndTheLastUnterminatedLine) {
    LineBuffer buffer;
    Fed fed = feed(buffer, "x\r");
    EXPECT_EQ(fed.lines, std::vector<std::string>{"x"});
    EXPECT_FALSE(buffer.midLine());
    fed = feed(buffer, "\ny\r\n*IDN?");
    EXPECT_EQ(fed.lines, std::vector<std::string>{"y"});
    EXPECT_TRUE(buffer.midLine());
    std::string rest;
    ASSERT_TRUE(buffer.takeRest(&rest));
    EXPECT_EQ(rest, "*IDN?");
    EXPECT_FALSE(buffer.takeRest(&rest));
    fed = feed(buffer, "z\r");
    std::string none;
    EXPECT_FALSE(buffer.takeRest(&none));  // only the LF of a CR LF could still come
}

}  // namespace
