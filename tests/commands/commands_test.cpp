// Every meter command: the exact request it writes and how it decodes the
// answer, replayed against a scripted meter.
#include <gtest/gtest.h>

#include <functional>

#include "korvel.h"
#include "tests/support/bus_fixture.h"

namespace korvel {
namespace {

using test::ScriptedBus;

class Commands : public ScriptedBus {
protected:
    test::ScriptedPeer* meter = nullptr;
    MeterHandle h = 0;
    void SetUp() override {
        ScriptedBus::SetUp();
        meter = &attachMeter();
        h = openFirst();
    }
    void TearDown() override {
        closeKorvel(h);
        ScriptedBus::TearDown();
    }
};

TEST_F(Commands, EveryCommandWritesItsExactFrame) {
    unsigned u = 0;
    short s = 0;
    char info[40];
    MeterReading reading;
    LcdSnapshot snapshot;
    DspDiagReading d1, d2, d3, d4;
    DspDiagResult result;
    unsigned values[64];
    const int one[] = {0x5A};
    const int wide[] = {0x15A};
    struct Case {
        const char* frame;  // the request's meaningful bytes; the rest of the 60 must be zero
        std::function<int()> call;
    } cases[] = {
        {"01 2B 10 00 10 7C", [&] { return mtrGetReading(h, &reading); }},
        {"01 2B 17 00 20 7E", [&] { return mtrGetLCDSnapshot(h, &snapshot); }},
        {"01 2B 12 02 01 00 E4 80", [&] { return mtrSetUnits(h, 1, 0); }},
        {"01 2B 12 02 FF 00", [&] { return mtrSetUnits(h, -1, 0); }},
        {"01 2B 19 01 02 B2 41", [&] { return mtrSetRange(h, 2); }},
        {"01 2B 19 01 02 B2 41", [&] { return mtrSetRange(h, 258); }},
        {"01 2B 1A 00 B0 7A", [&] { return mtrGetRange(h, &u); }},
        {"01 2B 1B 01 01 73 A0", [&] { return mtrSetAnalogOut(h, 1); }},
        {"01 2B 1E 00 70 78", [&] { return mtrRecal(h); }},
        {"01 2B 1F 00 E0 79", [&] { return mtrAutoZero(h); }},
        {"01 2B 20 01 01", [&] { return mtrAutoRange(h, 1); }},
        {"01 2B 21 01 02", [&] { return mtrSetRelative(h, 2); }},
        {"01 2B 22 00 70 69", [&] { return mtrGetRelative(h, &u); }},
        {"01 2B 23 00 E0 68", [&] { return mtrGetFrequency(h, &u); }},
        {"01 2B 24 01 01", [&] { return mtrSetLimit(h, 1); }},
        {"01 2B 25 01 05 7C C0", [&] { return mtrGetProbeData(h, 5, &u); }},
        {"01 2B 26 01 03", [&] { return mtrSetHold(h, 3); }},
        {"01 2B 27 00 20 6A", [&] { return mtrGetHold(h, &u); }},
        {"01 2B 28 00 D0 6F", [&] { return mtrResetHold(h); }},
        {"01 2B 3B 01 01", [&] { return mtrSetPwroffTimer(h, 1); }},
        {"01 2B 29 02 01 24 DB 8D", [&] { return mtrSetEnableRegister(h, 1, 0x24); }},
        {"01 2B 29 02 00 20", [&] { return mtrSetEnableRegister(h, 0, 0x120); }},
        {"01 2B 2A 01 01 BC F1", [&] { return mtrGetEnableRegister(h, 1, &u); }},
        {"01 2B 2B 01 03", [&] { return mtrGetEventRegister(h, 3, &u); }},
        {"01 2B 2C 01 02", [&] { return mtrGetConditionRegister(h, 2, &u); }},
        {"01 2B 2D 00 80 6C", [&] { return mtrClearEventRegisters(h); }},
        {"01 2B 2E 01 FF", [&] { return mtrSetStatusEnable(h, 255); }},
        {"01 2B 2F 00", [&] { return mtrGetStatusEnable(h, &u); }},
        {"01 2B 30 00 D0 65", [&] { return mtrGetStatusByte(h, &u); }},
        {"01 2B 31 00", [&] { return mtrGetNextError(h, &s); }},
        {"01 2B 32 00 B0 64", [&] { return mtrClearErrorQueue(h); }},
        {"01 2B 33 02 FF 9A D3 4A", [&] { return mtrPostError(h, -102); }},
        {"01 2B 33 02 FF 9A D3 4A", [&] { return mtrPostError(h, 65434); }},
        {"01 2B 34 00 10 67", [&] { return mtrClearEnableRegisters(h); }},
        {"01 2B 35 01 01 7A C0", [&] { return mtrKeypadLockout(h, 1); }},
        {"01 2B 37 02 00 01 B8 4B", [&] { return mtrRaiseEvent(h, 0, 1); }},
        {"01 2B 14 04 00 10 00 01 14 28", [&] { return mtrReadEEPROM(h, 0x10, 1, values); }},
        {"01 2B 15 05 00 10 00 01 5A 34 85", [&] { return mtrWriteEEPROM(h, 0x10, 1, one); }},
        {"01 2B 15 05 00 10 00 01 5A 34 85", [&] { return mtrWriteEEPROM(h, 0x10, 1, wide); }},
        {"01 2B 15 04 00 10 00 00 05 E8", [&] { return mtrWriteEEPROM(h, 0x10, 0, nullptr); }},
        {"01 2B 16 01 03 71 B0", [&] { return mtrSendKey(h, 3); }},
        {"01 2B 18 00 D0 7B", [&] { return mtrGetMeterInfo(h, info); }},
        {"01 2B 36 00 70 66", [&] { return mtrGetProbeInfo(h, info); }},
        {"01 2B 60 00 D0 59", [&] { return mtrDspGetVersion(h, &u); }},
        {"01 2B 63 00 20 59", [&] { return mtrReadNextDataPacket(h, &u, values); }},
        {"01 2B 1C 01 01 B2 11", [&] { return mtrSetDiagMode(h, 1); }},
        {"01 2B 1D 04 00 02 80 00 88 28", [&] { return mtrSetDAC(h, 2, 0x8000); }},
        {"01 2B 38 01 06 7B 10", [&] { return mtrDiagSetRange(h, 6); }},
        {"01 2B 39 01 01 79 00", [&] { return mtrDiagSetAmpin(h, 1); }},
        {"01 2B 3A 00 70 63", [&] { return mtrDiagGetAdc(h, &u); }},
        {"01 2B 64 01 02 AA D1", [&] { return mtrDspSetRange(h, 2); }},
        {"01 2B 66 01 01 6B 30", [&] { return mtrDspSetAnalogOut(h, 1); }},
        {"01 2B 67 02 01 03 E9 DA", [&] { return mtrDspSetDacFilterBits(h, 0x0103); }},
        {"01 2B 68 00 10 5E", [&] { return mtrDspGetReadingDiag(h, &d1, &d2, &d3, &d4); }},
        {"01 2B 6A 06 00 01 00 02 00 03 65 F7", [&] { return mtrDspDiagOperation(h, 1, 2, 3, &result); }},
        {"01 2B 6B 01 01 A8 A1", [&] { return mtrDspSetDiagMode(h, 1); }},
        {"01 2B 6C 04 00 01 12 34 DE BE", [&] { return mtrDspSetDAC(h, 1, 0x1234); }},
    };
    testing::internal::CaptureStdout();  // the memory read prints its line
    for (const Case& c : cases) {
        SCOPED_TRACE(c.frame);
        EXPECT_EQ(c.call(), 0);
        const std::string sent = meter->lastRequest();
        const std::string expected = c.frame;
        EXPECT_EQ(sent.substr(0, expected.size()), expected);
        // The frame is complete (checksum right) and nothing follows it.
        std::uint8_t bytes[60];
        test::parseHex(sent.c_str(), bytes, 60);
        const int n = bytes[3];
        const std::uint16_t crc = mbChecksum(bytes, 4 + n);
        EXPECT_EQ(bytes[4 + n], crc >> 8);
        EXPECT_EQ(bytes[5 + n], crc & 0xFF);
        for (int i = 6 + n; i < 60; ++i) ASSERT_EQ(bytes[i], 0) << "byte " << i;
    }
    testing::internal::GetCapturedStdout();
}

TEST_F(Commands, ReadingAndDisplayDecodeSignsAndWidths) {
    meter->answerData(0x10, "FF 38 01 02 00 01 04");
    MeterReading r{};
    ASSERT_EQ(mtrGetReading(h, &r), 0);
    EXPECT_EQ(r.value, -200);
    EXPECT_EQ(r.units, 1);
    EXPECT_EQ(r.range, 2);
    EXPECT_EQ(r.aux, 0);
    EXPECT_EQ(r.acdc, 1);
    EXPECT_EQ(r.scale, 4);

    meter->answerData(0x10, "80 00 FE 00 FF 00 FF");
    ASSERT_EQ(mtrGetReading(h, &r), 0);
    EXPECT_EQ(r.value, -32768);
    EXPECT_EQ(r.units, 254);  // zero-extended, never negative
    EXPECT_EQ(r.aux, 255);

    LcdSnapshot lcd;
    std::memset(&lcd, 0x55, sizeof lcd);
    meter->answerData(0x17, "31 32 33 34 09 00 01 02 03 04 05 06 07 08 09 0A 0B FF");
    ASSERT_EQ(mtrGetLCDSnapshot(h, &lcd), 0);
    EXPECT_STREQ(lcd.text, "1234");  // terminated although the data holds no zero
    EXPECT_EQ(lcd.code, 9);
    for (int k = 0; k < 12; ++k) EXPECT_EQ(lcd.flags[k], k);
    EXPECT_EQ(lcd.flags[12], 255);
}

TEST_F(Commands, UnsignedAndSignedSixteenBitAnswers) {
    unsigned u = 0;
    meter->answerData(0x23, "12 34");
    ASSERT_EQ(mtrGetFrequency(h, &u), 0);
    EXPECT_EQ(u, 4660U);
    meter->answerData(0x23, "FF FF");
    ASSERT_EQ(mtrGetFrequency(h, &u), 0);
    EXPECT_EQ(u, 65535U);
    meter->answerRaw("01 2B 3A 02 FF 01 E4 08");
    ASSERT_EQ(mtrDiagGetAdc(h, &u), 0);
    EXPECT_EQ(u, 65281U);
    meter->answerRaw("01 2B 60 02 01 F4 1B 9A");
    ASSERT_EQ(mtrDspGetVersion(h, &u), 0);
    EXPECT_EQ(u, 500U);
    meter->answerData(0x30, "C4");
    ASSERT_EQ(mtrGetStatusByte(h, &u), 0);
    EXPECT_EQ(u, 196U);

    short e = 1;
    meter->answerData(0x31, "FF 88");
    ASSERT_EQ(mtrGetNextError(h, &e), 0);
    EXPECT_EQ(e, -120);
    meter->answerData(0x31, "00 00");
    ASSERT_EQ(mtrGetNextError(h, &e), 0);
    EXPECT_EQ(e, 0);
}

TEST_F(Commands, ShortAnswerWithAGoodChecksumDecodesAsZero) {
    // The meter sent no data at all: the fixed positions hold its checksum,
    // and positions it did not send read as zero, never as leftovers of an
    // earlier frame.
    meter->answerData(0x10, "12 34 01 02 00 01 04");
    MeterReading r{};
    ASSERT_EQ(mtrGetReading(h, &r), 0);
    meter->answerRaw("01 2B 10 00 10 7C", 6);
    ASSERT_EQ(mtrGetReading(h, &r), 0);
    EXPECT_EQ(r.value, 0x107C);
    EXPECT_EQ(r.units, 0);
    EXPECT_EQ(r.range, 0);
    EXPECT_EQ(r.scale, 0);
}

TEST_F(Commands, IdentityBlocksAreCopiedVerbatim) {
    char info[48];
    std::memset(info, '#', sizeof info);
    meter->answerData(0x18, "4B 4F 52 56 00 41");
    ASSERT_EQ(mtrGetMeterInfo(h, info), 0);
    EXPECT_EQ(std::string(info, 6), std::string("KORV\0A", 6));
    for (int i = 8; i < 40; ++i) EXPECT_EQ(info[i], 0);  // 6 and 7: the checksum
    EXPECT_EQ(info[40], '#');  // 40 bytes, not one more
    std::memset(info, '#', sizeof info);
    meter->answerData(0x36, "50");
    ASSERT_EQ(mtrGetProbeInfo(h, info), 0);
    EXPECT_EQ(info[0], 'P');
    EXPECT_EQ(info[24], '#');
}

TEST_F(Commands, MemoryReadPrintsTheMetersNumbersAndStoresOnlyWhatFits) {
    unsigned values[64];
    std::fill(std::begin(values), std::end(values), 0xDEADU);
    meter->answerRaw("01 2B 14 05 00 10 00 01 5A F4 95");
    testing::internal::CaptureStdout();
    ASSERT_EQ(mtrReadEEPROM(h, 0x10, 1, values), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "eepromAddr = 0010, bytesRead = 0001\n");
    EXPECT_EQ(values[0], 90U);
    EXPECT_EQ(values[1], 0xDEADU);

    // The meter claims 0x0100 bytes but carries 3, and only 2 were asked for.
    meter->answerData(0x14, "00 20 01 00 0A 0B 0C");
    testing::internal::CaptureStdout();
    ASSERT_EQ(mtrReadEEPROM(h, 0x20, 2, values), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "eepromAddr = 0020, bytesRead = 0100\n");
    EXPECT_EQ(values[0], 10U);
    EXPECT_EQ(values[1], 11U);
    EXPECT_EQ(values[2], 0xDEADU);

    // More asked for than the frame carries.
    meter->answerData(0x14, "00 20 00 32 01 02");
    testing::internal::CaptureStdout();
    ASSERT_EQ(mtrReadEEPROM(h, 0x20, 50, values), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(values[0], 1U);
    EXPECT_EQ(values[1], 2U);
    EXPECT_EQ(values[2], 0xDEADU);
}

TEST_F(Commands, MemoryWriteRefusesCountsThatDoNotFitOneFrame) {
    int values[51] = {};
    const int before = meter->requestCount();
    EXPECT_EQ(mtrWriteEEPROM(h, 0, 51, values), -1);
    EXPECT_EQ(mtrWriteEEPROM(h, 0, -1, values), -1);
    EXPECT_EQ(meter->requestCount(), before);
    unsigned u;
    EXPECT_EQ(mtrGetRange(h, &u), 0);  // the connection stayed open
    for (int i = 0; i < 50; ++i) values[i] = i;
    EXPECT_EQ(mtrWriteEEPROM(h, 0x1234, 50, values), 0);
    EXPECT_EQ(meter->lastRequest(9), "01 2B 15 36 12 34 00 32 00");
}

TEST_F(Commands, DataTransferAcceptedRefusedAndPackets) {
    TransferInfo t;
    for (int& v : t.values) v = -7;
    meter->answerRaw("01 2B 62 01 00 6A B0");
    EXPECT_EQ(mtrStartDataTransfer(h, 1, 2, 0x100, &t), -1);
    EXPECT_EQ(t.values[10], 0);
    EXPECT_EQ(t.values[0], -7);  // refused: the rest untouched
    unsigned count = 99, values[32];
    meter->answerRaw("01 2B 63 07 00 02 01 12 34 AB CD B2 49");
    EXPECT_EQ(mtrReadNextDataPacket(h, &count, values), 1);  // the connection is still open
    EXPECT_EQ(count, 2U);
    EXPECT_EQ(values[0], 4660U);
    EXPECT_EQ(values[1], 43981U);

    meter->answerData(0x62, "01 00 01 00 02 00 03 00 04 00 05 00 06 07 08 00 09 FF FF");
    ASSERT_EQ(mtrStartDataTransfer(h, 1, 2, 0x100, &t), 0);
    EXPECT_EQ(meter->lastRequest(11), "01 2B 62 05 01 00 02 01 00 C8 9A");
    const int expected[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 65535, 1};
    for (int i = 0; i < 11; ++i) EXPECT_EQ(t.values[i], expected[i]) << i;

    // A packet that claims 40 values but carries 2: only those are stored.
    std::fill(std::begin(values), std::end(values), 0xAAAAU);
    meter->answerData(0x63, "00 28 00 00 01 00 02");
    EXPECT_EQ(mtrReadNextDataPacket(h, &count, values), 0);
    EXPECT_EQ(count, 2U);
    EXPECT_EQ(values[2], 0xAAAAU);
    meter->answerData(0x63, "00 00 05");
    EXPECT_EQ(mtrReadNextDataPacket(h, &count, values), 1);
    EXPECT_EQ(count, 0U);
}

TEST_F(Commands, SignalProcessorDiagnostics) {
    DspDiagReading r[4];
    for (auto& rec : r)
        for (int& v : rec.values) v = -1;
    meter->answerRaw(
        "01 2B 68 24 05 01 02 03 04 05 06 07 08 06 00 00 00 00 00 00 00 FF 07 11 11 22 22 33 33 44 "
        "44 08 FF FF FF FF FF FF FF F0 66 AE");
    ASSERT_EQ(mtrDspGetReadingDiag(h, &r[0], &r[1], &r[2], &r[3]), 0);
    const int expected[4][11] = {
        {258, 0, 772, 0, 1286, 0, 0, 0, 0, 1800, 5},
        {0, 0, 0, 0, 0, 0, 0, 0, 0, 255, 6},
        {4369, 0, 8738, 0, 13107, 0, 0, 0, 0, 17476, 7},
        {65535, 0, 65535, 0, 65535, 0, 0, 0, 0, 65520, 8},
    };
    for (int g = 0; g < 4; ++g)
        for (int i = 0; i < 11; ++i) EXPECT_EQ(r[g].values[i], expected[g][i]) << g << "," << i;

    DspDiagResult res;
    meter->answerRaw("01 2B 6A 10 00 01 00 02 00 03 00 04 00 05 00 06 00 07 00 08 E8 92");
    ASSERT_EQ(mtrDspDiagOperation(h, 1, 2, 3, &res), 0);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(res.values[i], i + 1);
}

TEST_F(Commands, FailedExchangeLeavesEveryRecordUntouched) {
    DspDiagReading r[4];
    for (auto& rec : r)
        for (int& v : rec.values) v = 123;
    meter->answerRaw("01 2B 68 00 00 00");  // bad checksum
    EXPECT_EQ(mtrDspGetReadingDiag(h, &r[0], &r[1], &r[2], &r[3]), -1);
    for (auto& rec : r)
        for (int v : rec.values) EXPECT_EQ(v, 123);
    TransferInfo t;
    for (int& v : t.values) v = 5;
    EXPECT_EQ(mtrStartDataTransfer(h, 1, 2, 3, &t), -1);  // dead handle now
    for (int v : t.values) EXPECT_EQ(v, 5);
}

}  // namespace
}  // namespace korvel
