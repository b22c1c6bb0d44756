// The interpreter's limits: early refusals, `size`, splitting, overflow and
// the stop after it, the walk, failed exchanges, and the operation-complete
// flags belonging to one call.
#include <atomic>
#include <climits>
#include <string>
#include <thread>

#include "scpi/arguments.h"
#include "tests/scpi/scpi_fixture.h"

namespace korvel::test {
namespace {

using Interpreter = ScpiTest;

TEST_F(Interpreter, EarlyRefusalsNeverWriteBeyondSizeAndSendNothing) {
    const std::string longest(128, ';');
    const std::string tooLong(129, 'A');
    const struct {
        const char* command;
        int size;
        const char* reply;  // null: nothing may be written at all
        bool processed = false;  // the main path clears all `size` bytes
    } cases[] = {
        {tooLong.c_str(), 128, "Error: command too long"},
        {tooLong.c_str(), 500, "Error: command too long"},  // checked before size
        {tooLong.c_str(), 6, "Error"},
        {tooLong.c_str(), 1, ""},
        {tooLong.c_str(), 0, nullptr},
        {"*IDN?", 129, "Error: invalid len"},
        {"*IDN?", 1000, "Error: invalid len"},
        {"*IDN?", -1, nullptr},
        {"*IDN?", INT_MIN, nullptr},
        {"", 128, "Error: unrecognizable command"},
        {"\t*IDN?", 128, "Error: unrecognizable command"},
        {"\n", 128, "Error: unrecognizable command"},
        {"\x7F", 128, "Error: unrecognizable command"},
        {"\xC3\xA9", 128, "Error: unrecognizable command"},
        {"", 10, "Error: un"},
        {nullptr, 128, "Error: unrecognizable command"},
        {longest.c_str(), 128, "", true},  // 128 characters are processed
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.command ? c.command : "(null)") << " size " << c.size);
        char reply[1100];
        std::memset(reply, '#', sizeof reply);
        EXPECT_EQ(scpiCommand(h, c.command, reply, c.size), 0);
        const std::size_t room = c.size > 0 ? static_cast<std::size_t>(c.size) : 0;
        std::size_t written = c.processed ? room : 0;
        if (c.reply != nullptr) {
            EXPECT_STREQ(reply, c.reply);
            written = std::max(written, std::strlen(c.reply) + 1);
        }
        for (std::size_t i = written; i < sizeof reply; ++i) ASSERT_EQ(reply[i], '#') << "byte " << i;
    }
    EXPECT_EQ(joined(meter->sent()), "");
    EXPECT_EQ(scpiCommand(h, "*IDN?", nullptr, 128), 0);  // no reply buffer: no crash
    EXPECT_EQ(vb_scpiCommand(h, "\t", nullptr, 10), 0);
}

TEST_F(Interpreter, SplitsUpperCasesAndEchoesUnknownCommands) {
    const std::string unknownLong = "FOO" + std::string(100, 'X');
    const struct {
        std::string line;
        std::string reply;
        std::string sent;
    } cases[] = {
        {"*idn?;*stb?", "KORVEL KV100;005", "18|30"},
        {";;*CLS;;", "", "2D"},
        {"foo", "Unknown Cmd: FOO", post(-100)},
        {" *IDN?", "Unknown Cmd:  *IDN?", post(-100)},
        {"*IDN", "Unknown Cmd: *IDN", post(-100)},
        {"SYST:ERR?", "Unknown Cmd: SYST:ERR?", post(-100)},
        {":SYST", "Unknown Cmd: :SYST", post(-100)},
        {":SYST:FOO", "Unknown Cmd: :FOO", post(-100)},
        {":syst:foo;*stb?", "Unknown Cmd: :FOO;005", post(-100) + "|30"},
        {unknownLong, ("Unknown Cmd: " + unknownLong).substr(0, 79), post(-100)},
        {":STAT:MEAS", "Unknown Cmd: :MEAS", post(-100)},
        {":STAT:MEAS:X?", "Unknown Cmd: :X?", post(-100)},
        {"*OPC?;*STB?", "005;1;", "30|37 00 01"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        meter->forget();
        EXPECT_EQ(run(c.line.c_str()), c.reply);
        EXPECT_EQ(joined(meter->sent()), c.sent);
    }
}

TEST_F(Interpreter, AReplyThatDoesNotFitStopsTheLine) {
    meter->answers[0x18] = "4B 4F 52 56 45 4C 31 32" + zeros(32);  // "KORVEL12"
    const struct {
        const char* line;
        int size;
        const char* reply;
        std::string sent;
    } cases[] = {
        {"*STB?", 4, "", "30|" + post(-363)},
        {"*STB?", 5, "005", "30"},
        {"*IDN?;*CLS", 10, "KORVEL12", "18|2D"},
        {"*IDN?;*CLS", 9, "", "18|" + post(-363)},  // *CLS never runs
        {"*STB?;*STB?;*STB?", 8, "005;005", "30|30|30|" + post(-363)},
        {"*STB?;*STB?;*STB?", 7, "005", "30|30|" + post(-363)},
        {"*STB?;*STB?;*CLS", 7, "005", "30|30|" + post(-363)},
        {"*STB?;*OPC?", 8, "005;1;", "30|37 00 01"},
        {"*STB?;*OPC?", 6, "005", "30|" + post(-363) + "|37 00 01"},  // "1;" dropped, event raised
        {"*STB?;*OPC?", 7, "005;1;", "30|37 00 01"},
        {"*OPC?", 3, "1;", "37 00 01"},
        {"*OPC?", 2, "", post(-363) + "|37 00 01"},
        {"*CLS;*STB?", 0, "", "2D|30|" + post(-363)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.line << " size " << c.size);
        meter->forget();
        EXPECT_EQ(run(c.line, c.size), c.reply);
        EXPECT_EQ(joined(meter->sent()), c.sent);
    }
}

TEST_F(Interpreter, AFailedExchangeShowsOnItsPieceAndEveryLaterMeterPiece) {
    meter->failing = {0x10};
    EXPECT_EQ(run(":UNIT:FLUX?;*IDN?;:DIAG:SWV:DRIV;*OPC?;FOO"),
              "USB Connection Problem;USB Connection Problem;1.01;Unknown Cmd: FOO;1;");
    EXPECT_EQ(joined(meter->sent()), "10");  // the dead handle reaches nothing
    EXPECT_EQ(run(":MEAS:FLUX?"), "USB Connection Problem");
}

TEST_F(Interpreter, EveryKindOfHandlerPassesAFailedMeterCommandOn) {
    const struct {
        const char* line;
        int code;  // the command whose exchange fails
    } cases[] = {
        {":SENS:FLUX:RANG 1", 0x19}, {":SENS:FLUX:RANG?", 0x1A}, {"*STB?", 0x30},
        {":SYST:ERR?", 0x31},        {":DIAG:DAT:DAC 1 2", 0x1D}, {":DIAG:DAT:PROB? 1", 0x25},
        {":DIAG:DAT:EEPR 1 2", 0x15}, {":DIAG:DAT:FREQ?", 0x23},  {":UNIT:FLUX:AC:AM", 0x12},
    };
    for (const auto& c : cases) {
        meter->failing = {c.code};
        EXPECT_EQ(run(c.line), "USB Connection Problem") << c.line;
        closeKorvel(h);
        meter->failing.clear();
        h = openKorvel();
        ASSERT_NE(h, 0U);
    }
}

TEST_F(Interpreter, OperationCompleteFlagsBelongToOneCall) {
    // A second meter on its own handle: its lines never see this one's flags.
    auto other = std::make_shared<RecordingMeter>();
    bus.attach(other, wire::kVendorId, wire::kProductId);
    const MeterHandle second = openKorvel();
    ASSERT_NE(second, 0U);
    std::atomic<int> wrong{0};
    std::thread opc([&] {
        char reply[128];
        for (int i = 0; i < 300; ++i) {
            scpiCommand(h, "*OPC?", reply, 128);
            if (std::string(reply) != "1;") ++wrong;
        }
    });
    char reply[128];
    for (int i = 0; i < 300; ++i) {
        scpiCommand(second, "*STB?", reply, 128);
        if (std::string(reply) != "005") ++wrong;
    }
    opc.join();
    EXPECT_EQ(wrong.load(), 0);
    for (const std::string& s : other->sent()) EXPECT_NE(s, "37 00 01");
    closeKorvel(second);
}

TEST(Arguments, DecimalConversionSaturatesAndStopsAtTheFirstOtherCharacter) {
    const struct {
        const char* text;
        int value;
    } cases[] = {
        {"12", 12}, {"12X", 12}, {"ABC", 0}, {"", 0}, {"+2", 2}, {"-7", -7}, {"+", 0},
        {"\t 42", 42}, {"1.9", 1}, {"2147483647", INT_MAX}, {"2147483648", INT_MAX},
        {"4294967297", INT_MAX}, {"-2147483648", INT_MIN}, {"-2147483649", INT_MIN},
        {"99999999999999999999999", INT_MAX}, {"--1", 0}, {"007", 7},
    };
    for (const auto& c : cases) EXPECT_EQ(scpi::toInteger(c.text), c.value) << c.text;
}

TEST(Arguments, NumbersAreWrittenAsPrintfWould) {
    const long long values[] = {0, 5, 7, 42, 255, 256, 65535, -1, -12, -123, INT_MIN};
    for (long long v : values) {
        char piece[scpi::kPieceSize];
        char expected[32];
        scpi::writeThreeDigits(piece, v);
        std::snprintf(expected, sizeof expected, "%03lld", v);
        EXPECT_STREQ(piece, expected);
        scpi::writeDecimal(piece, v);
        std::snprintf(expected, sizeof expected, "%lld", v);
        EXPECT_STREQ(piece, expected);
    }
}

}  // namespace
}  // namespace korvel::test
