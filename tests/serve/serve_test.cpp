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
    const char* line;
    bool service;
};

class ServiceLine : public testing::TestWithParam<LineCase> {};

TEST_P(ServiceLine, IsRecognisedAsTheInterpreterWouldRouteIt) {
    EXPECT_EQ(isServiceLine(GetParam().line), GetParam().service) << GetParam().line;
}

INSTANTIATE_TEST_SUITE_P(
    Refused, ServiceLine,
    testing::Values(LineCase{":DIAG:DAT:EEPR 16 7", true}, LineCase{":diag:dat:eepr 16 7", true},
                    LineCase{":DIAGNOSTIC:DATA:EEPROM 16 7", true},  // long forms match by prefix
                    LineCase{":DIAG:DAT:EEPR 16?", true},            // a write form (the keyword has no "?")
                    LineCase{":DIAG:DAT:EEPR", true}, LineCase{":DIAG:DAT:DAC 1 5", true},
                    LineCase{":DIAG:REC", true}, LineCase{":DIAG:RECALIBRATE", true},
                    LineCase{":DIAG:MOD 1", true}, LineCase{":DIAG:PWR 0", true},
                    LineCase{":DIAG:MUX:RANG 3", true}, LineCase{":DIAG:MUX:AMP 1", true},
                    LineCase{":DIAG:MUX:CURR", true},
                    LineCase{":DIAX:REC", true},            // ":DIA" is all the root compares
                    LineCase{":DIAG:DAT 1:EEPR 1 2", true},  // the descent stops at the next ":"
                    LineCase{"*IDN?;:DIAG:MOD 1", true}, LineCase{";;:DIAG:PWR 1;", true},
                    LineCase{":MEAS:FLUX?;*IDN?;:diag:rec", true}));

INSTANTIATE_TEST_SUITE_P(
    Allowed, ServiceLine,
    testing::Values(LineCase{":DIAG:DAT:EEPR? 16", false}, LineCase{":diag:dat:eeprom? 16", false},
                    LineCase{":DIAG:DAT:ADC?", false}, LineCase{":DIAG:DAT:PROB? 5", false},
                    LineCase{":DIAG:DAT:FREQ?", false}, LineCase{":DIAG:DAT:LIM 1", false},
                    LineCase{":DIAG:SWV:DRIV", false}, LineCase{":DIAG", false},
                    LineCase{" :DIAG:REC", false},     // a leading blank matches no root keyword
                    LineCase{"DIAG:REC", false},       // nor does a missing colon
                    LineCase{":SYST:ERR?", false}, LineCase{"*IDN?;:MEAS:FLUX?", false},
                    LineCase{":SENS:FLUX:RANG 2", false}, LineCase{"", false}, LineCase{";;;", false},
                    LineCase{":STAT:QUES:ENAB 7;:UNIT:FLUX:DC:TESL", false}));

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
    testing::Values(FramingCase{"*IDN?\n", {"*IDN?"}, false},
                    FramingCase{"*IDN?\r\n:MEAS:FLUX?\n", {"*IDN?", ":MEAS:FLUX?"}, false},
                    FramingCase{"*IDN?", {}, false},  // waits for its line end
                    FramingCase{"\n\r\n", {"", ""}, false},
                    FramingCase{"a\rb\n", {"a", "b"}, false},  // CR alone ends a line too
                    FramingCase{"a\rb\rc\r", {"a", "b", "c"}, false},
                    FramingCase{std::string("a\0b\n", 4), {std::string("a\0b", 3)}, false},
                    FramingCase{kLongest + "\n", {kLongest}, false},
                    FramingCase{kLongest + "\r\n" + "x\n", {kLongest, "x"}, false},
                    FramingCase{kLongest + "B\n", {}, true},
                    FramingCase{kLongest + "BB", {}, true},  // known too long before its end
                    FramingCase{"ok\n" + kLongest + "\rB", {"ok", kLongest}, false}));

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
