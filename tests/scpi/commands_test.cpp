// Every command of the tree against a meter with a known state: the reply,
// and exactly what reached the meter (meter commands and error posts).
#include <string>

#include "tests/scpi/scpi_fixture.h"

namespace korvel::test {
namespace {

struct Case {
    std::string line;
    std::string reply;
    std::string sent;  // requests as "CC PP..", joined by "|"
};

const std::string kCommandError = post(-100);
const std::string kSyntax = post(-102);
const std::string kNumeric = post(-120);
const std::string kOverrun = post(-363);

// text padded with blanks to `length` characters, then `tail`
std::string padded(const std::string& text, std::size_t length, const std::string& tail = "") {
    return text + std::string(length - text.size() - tail.size(), ' ') + tail;
}

class Commands : public ScpiTest {
protected:
    void expect(const std::vector<Case>& cases) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.line);
            meter->forget();
            EXPECT_EQ(run(c.line.c_str()), c.reply);
            EXPECT_EQ(joined(meter->sent()), c.sent);
        }
    }
};

TEST_F(Commands, CommonCommands) {
    expect({
        {"*CLS", "", "2D"},
        {"*cls?", "", "2D"},
        {"*ESE 255", "", "29 00 FF"},
        {"*ESE 256", "Error: [0-255]", kNumeric},
        {"*ESE -1", "Error: [0-255]", kNumeric},
        {"*ESE", "ERR: Syntax", kSyntax},
        {"*ESE ABC", "", "29 00 00"},
        {"*ESE 12 34", "", "29 00 0C"},
        {"*ESE?", "032", "2A 00"},
        {"*ESE ?", "032", "2A 00"},
        {"*ESE?\n", "ERR: Syntax", kSyntax},  // the line is not trimmed
        {"*ESR?", "129", "2B 00"},
        {padded("*ESR?", 79), "129", "2B 00"},
        {padded("*ESR?", 80), "ERR: Too Long", kOverrun},
        {padded("*ESE", 80, "?"), "ERR: Too Long", kOverrun},
        {"*IDN?", "KORVEL KV100", "18"},
        {"*IDN?\n", "KORVEL KV100", "18"},
        {"*OPT?", "PROBE-7", "36"},
        {"*SRE 16", "", "2E 10"},
        {"*SRE?", "016", "2F"},
        {"*SRE 300", "Error: [0-255]", kNumeric},
        {"*STB?", "005", "30"},
        {padded("*STB?", 80), "ERR: Too Long", kOverrun},
        {"*OPC", "", "37 00 01"},
        {"*OPC?", "1;", "37 00 01"},
        {"*OPC?;*OPC", "1;", "37 00 01"},
        {"*STB?;*OPC?", "005;1;", "30|37 00 01"},
    });
}

TEST_F(Commands, SystemAndStatusCommands) {
    expect({
        {":SYST:ERR?", "-102, SYNTAX ERROR", "31"},
        {":SYSTEM:ERROR?", "-102, SYNTAX ERROR", "31"},
        {":SYSX:ERR", "-102, SYNTAX ERROR", "31"},
        {":SYST:CLE", "", "32"},
        {":SYST:AZER", "", "1F"},
        {":SYST:AREL:STAT?", "1", "22"},
        {":SYST:AREL:STAT 2", "", "21 02"},
        {":SYST:AREL:STAT 3", "Error: [0-2]", kNumeric},
        {":SYST:OUT 1", "", "1B 01"},
        {":SYST:OUT 3", "Error: [0-2]", kNumeric},
        {":SYST:OUT?", "ERR: Syntax", kSyntax},
        {":SYST:KLOC 1", "", "35 01"},
        {":SYST:KLOC 2", "Error: [0-1]", kNumeric},
        {":STAT:MEAS:ENAB 7", "", "29 01 07"},
        {":STAT:MEAS:ENAB?", "032", "2A 01"},
        {":STAT:OPER:EVEN?", "129", "2B 02"},
        {":STAT:OPER:EVEN", "ERR: Syntax", kSyntax},
        {":STAT:QUES:COND?", "007", "2C 03"},
        {":STAT:QUES:COND", "ERR: Syntax", kSyntax},
        {":STAT:QUES:ENAB 256", "Error: [0-255]", kNumeric},
        {":STAT:MEAS:COND?", "007", "2C 01"},
        {":STAT:PRES", "", "34"},
    });
}

TEST_F(Commands, ErrorQueueTexts) {
    const struct {
        const char* code;
        const char* reply;
    } cases[] = {
        {"00 00", "0, NO ERROR"},        {"FE 95", "-363, INPUT BUFFER OVERRUN"},
        {"00 07", "7, UNKNOWN ERROR"},   {"00 63", "99, METER CALIBRATION ERROR"},
        {"00 43", "67, METER CALIBRATION ERROR"}, {"FF 9C", "-100, COMMAND ERROR"},
        {"FF 9D", "-99, UNKNOWN ERROR"}, {"80 00", "-32768, UNKNOWN ERROR"},
    };
    for (const auto& c : cases) {
        meter->answers[0x31] = c.code;
        EXPECT_EQ(run(":SYST:ERR?"), c.reply);
    }
}

TEST_F(Commands, UnitSenseAndMeasureCommands) {
    expect({
        {":UNIT:FLUX?", "DC GAUSS", "10"},
        {":UNIT:FLUX", "Unknown Cmd: :FLUX", kCommandError},
        {":UNIT:FLUX:AC:GAUS", "", "12 00 01"},
        {":UNIT:FLUX:AC:TESL", "", "12 01 01"},
        {":UNIT:FLUX:AC:AM", "", "12 02 01"},
        {":UNIT:FLUX:DC:GAUS", "", "12 00 00"},
        {":UNIT:FLUX:DC:TESL", "", "12 01 00"},
        {":UNIT:FLUX:DC:AM 7", "", "12 02 00"},
        {":SENS:FLUX:RANG 1", "", "19 01"},
        {":SENS:FLUX:RANG 3", "Error: [0-2]", kNumeric},
        {":SENS:FLUX:RANG -1", "Error: [0-2]", kNumeric},
        {":SENS:FLUX:RANG 4294967297", "Error: [0-2]", kNumeric},
        {":SENS:FLUX:RANG X", "", "19 00"},
        {":SENS:FLUX:RANG 1.9", "", "19 01"},
        {":SENS:FLUX:RANG +2", "", "19 02"},
        {":SENS:FLUX:RANG    2", "", "19 02"},
        {":SENS:FLUX:RANG\t2", "ERR: Syntax", kSyntax},  // only the blank separates
        {":SENS:FLUX:RANG", "ERR: Syntax", kSyntax},
        {":SENS:FLUX:RANG?", "2", "1A"},
        {":SENS:FLUX:RANG 2?", "2", "1A"},
        {":SENS:FLUX:RANG? ", "ERR: Syntax", kSyntax},
        {":SENS:FLUX:RANGE 2", "", "19 02"},
        {":sens:flux:rang 1;:meas:flux?", "123.4G", "19 01|10"},
        {":SENS:FLUX:RANG:AUT?", "ERR: Syntax", kSyntax},
        {":SENS:FLUX:RANGE:AUTO 1", "", "20 01"},
        {":SENS:FLUX:RANG:AUTO 1", "", "20 01"},
        {":SENS:FLUX:RANG:AUT 2", "Error: [0-1]", kNumeric},
        {":SENS:FLUX", "Unknown Cmd: :FLUX", kCommandError},
        {":SENS:HOLD:STAT 3", "", "26 03"},
        {":SENS:HOLD:STAT 4", "Error: [0-3]", kNumeric},
        {":SENS:HOLD:STAT?", "3", "27"},
        {":SENS:HOLD:RES XYZ", "", "28"},
        {padded(":SENS:FLUX:RANG", 90, "?"), "ERR: Too Long", kOverrun},
        {":MEAS:FLUX?", "123.4G", "10"},
        {":MEAS:FLUX", "Unknown Cmd: :FLUX", kCommandError},
    });
}

TEST_F(Commands, ReadingAndUnitTextsFollowTheMetersRecord) {
    const struct {
        const char* data;  // value hi lo, units, range, aux, acdc, scale
        const char* units;
        const char* reading;
    } cases[] = {
        {"04 D2 00 00 00 01 00", "AC GAUSS", "123.4G"},
        {"04 D2 01 02 00 00 00", "DC TESLA", "1.234T"},
        {"00 0C 00 02 00 00 00", "DC GAUSS", "  120G"},
        {"00 07 02 01 00 01 00", "AC AM", "   700Am"},
        {"FF FB 00 00 00 00 00", "DC GAUSS", "-0.5G"},
        {"80 00 02 02 00 00 00", "DC AM", "-32768000Am"},
        {"04 D2 03 00 00 00 00", "Error", "Error"},  // units outside the table
        {"04 D2 00 03 00 00 00", "DC GAUSS", "Error"},  // range outside the table
        {"04 D2 00 00 00 02 00", "Error", "123.4G"},  // acdc outside the table
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.data);
        meter->answers[0x10] = c.data;
        EXPECT_EQ(run(":UNIT:FLUX?"), c.units);
        EXPECT_EQ(run(":MEAS:FLUX?"), c.reading);
    }
}

TEST_F(Commands, DiagnosticCommands) {
    testing::internal::CaptureStdout();  // the memory read prints its line
    expect({
        {":DIAG:REC", "", "1E"},
        {":DIAG:MUX:CURR 5", "DIAGnostic:MUX:CURRent", ""},
        {":DIAG:SWV:DRIV", "1.01", ""},
        {":DIAG:SWV", "Unknown Cmd: :SWV", kCommandError},
        {":DIAG:MUX:RANG 6", "", "38 06"},
        {":DIAG:MUX:RANG 7", "ERR: Range must be 0-6", ""},
        {":DIAG:MUX:AMP 1", "", "39 01"},
        {":DIAG:MUX:AMP -1", "ERR: AMPIN must be 0-1", ""},
        {":DIAG:MUX:AMP", "ERR: Syntax", kSyntax},
        {":DIAG:DAT:LIM 1", "", "24 01"},
        {":DIAG:DAT:LIM 2", "Error: [0-1]", kNumeric},
        {":DIAG:MOD 1", "", "1C 01"},
        {":DIAG:MOD 2", "Error: [0-1]", kNumeric},
        {":DIAG:PWR 0", "", "3B 00"},
        {":DIAG:PWR 2", "Error: [0-1]", kNumeric},
        {":DIAG:DAT:DAC 3 65535", "", "1D 00 03 FF FF"},
        {":DIAG:DAT:DAC 9", "ERR: DAC must be 0-3", ""},
        {":DIAG:DAT:DAC -1 5", "ERR: DAC must be 0-3", ""},
        {":DIAG:DAT:DAC 2", "ERR: Syntax", kSyntax},
        {":DIAG:DAT:DAC", "ERR: Syntax", kSyntax},
        {":DIAG:DAT:DAC 2 65536", "ERR: val must be 0-65535", ""},
        {padded(":DIAG:DAT:DAC 1 2", 89), "ERR: Too Long", kOverrun},
        {":DIAG:DAT:EEPR? 16", "007", "14 00 10 00 01"},
        {":DIAG:DAT:EEPR? 16 99", "007", "14 00 10 00 01"},
        {":DIAG:DAT:EEPR 16 7", "007", "15 00 10 00 01 07"},
        {":DIAG:DAT:EEPR 65535 255", "255", "15 FF FF 00 01 FF"},
        {":DIAG:DAT:EEPR 16 300", "Error: [0-255]", kNumeric},
        {":DIAG:DAT:EEPR 16 -1", "Error: [0-255]", kNumeric},
        {":DIAG:DAT:EEPR? 65536", "Error: [0-65535]", kNumeric},
        {":DIAG:DAT:EEPR -1 7", "Error: [0-65535]", kNumeric},
        {":DIAG:DAT:EEPR 16?", "ERR: Syntax", kSyntax},
        {":DIAG:DAT:EEPR?", "ERR: Syntax", kSyntax},
        {padded(":DIAG:DAT:EEPR? 16", 89), "ERR: Too Long", kOverrun},
        {":DIAG:DAT:PROB? 5", "007", "25 05"},
        {":DIAG:DAT:PROB 5", "ERR: Syntax", kSyntax},
        {":DIAG:DAT:PROB?", "ERR: Syntax", kSyntax},
        {":DIAG:DAT:PROB? 256", "ERR: [0-255]", ""},
        {":DIAG:DAT:FREQ?", "4660", "23"},
        {":DIAG:DAT:FREQ", "ERR: Syntax", kSyntax},
        {padded(":DIAG:DAT:FREQ", 90, "?"), "4660", "23"},  // no length test here
        {":DIAG:DAT:ADC? 12", "65281", "3A"},
        {":DIAG:DAT:ADC", "Unknown Cmd: :ADC", kCommandError},
    });
    testing::internal::GetCapturedStdout();
}

TEST_F(Commands, MemoryReadWithoutAByteSaysSo) {
    testing::internal::CaptureStdout();
    meter->answers[0x14] = "00 10 00 00";  // the meter read nothing
    EXPECT_EQ(run(":DIAG:DAT:EEPR? 16"), "ERR: No Data");
    meter->answers[0x14] = "00 10 00 01";  // claims a byte its frame lacks
    EXPECT_EQ(run(":DIAG:DAT:EEPR? 16"), "ERR: No Data");
    meter->answers[0x14] = "00 10 00 37 01 02 03";  // more than asked: the first counts
    EXPECT_EQ(run(":DIAG:DAT:EEPR? 16"), "001");
    testing::internal::GetCapturedStdout();
}

TEST_F(Commands, IdentificationStopsAtTheFirstZeroAndNeverExceedsItsBlock) {
    meter->answers[0x18] = std::string(54 * 3 - 1, 'A');  // hex "AA AA ..": 54 bytes of 0xAA
    for (std::size_t i = 2; i < meter->answers[0x18].size(); i += 3) meter->answers[0x18][i] = ' ';
    EXPECT_EQ(run("*IDN?").size(), 40U);
    meter->answers[0x36] = meter->answers[0x18];
    EXPECT_EQ(run("*OPT?").size(), 24U);
    meter->answers[0x18] = "41 42 00 43";
    EXPECT_EQ(run("*IDN?"), "AB");
}

}  // namespace
}  // namespace korvel::test
