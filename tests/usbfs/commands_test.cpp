// The shipped library (libkorvel-x64.so over Debian's libusb-0.1) against the
// simulated meter on emulated usbfs: the open, every meter command's frame on
// the wire and its decoding, and the raw exchange.
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>

#include "sim/meter/memory_chip.h"
#include "tests/usbfs/usbfs_fixture.h"

namespace korvel::test {
namespace {

using sim::UsbfsEvent;

class Commands : public UsbfsTest {};

TEST_F(Commands, OpenClaimsDrainsAndVerifiesWithOneRangeQuery) {
    int index = -1;
    attachMeter(1, &index);
    const MeterHandle h = open();
    ASSERT_NE(h, 0U);

    const auto all = events();
    ASSERT_GE(all.size(), 5U);
    EXPECT_EQ(all[0].kind, UsbfsEvent::SetConfiguration);
    EXPECT_EQ(all[0].argument, 1);
    EXPECT_EQ(all[1].kind, UsbfsEvent::ClaimInterface);
    EXPECT_EQ(all[1].argument, 0);
    EXPECT_EQ(all[1].result, 0);
    // Nothing stale waits, so the drain's first read is discarded unanswered.
    EXPECT_EQ(all[2].kind, UsbfsEvent::In);
    EXPECT_EQ(all[2].result, -ECONNRESET);
    const auto outs = eventsOf(UsbfsEvent::Out);
    ASSERT_EQ(outs.size(), 1U);
    EXPECT_EQ(hex(outs[0].data, outs[0].length), onWire("01 2B 1A 00 B0 7A"));
    EXPECT_EQ(all.back().kind, UsbfsEvent::In);
    EXPECT_EQ(all.back().length, 60);
    EXPECT_TRUE(cable->claimed(index));

    cable->clearLog();
    closeKorvel(h);
    const auto closing = events();
    ASSERT_EQ(closing.size(), 1U);
    EXPECT_EQ(closing[0].kind, UsbfsEvent::ReleaseInterface);
    EXPECT_TRUE(eventually([&] { return cable->openConnections(index) == 0; }));
    unsigned range = 99;
    EXPECT_EQ(mtrGetRange(h, &range), -1);
    EXPECT_EQ(range, 99U);
    EXPECT_EQ(cable->eventCount(), 1);  // the dead handle never reached the cable
}

// Every exported meter command once over the real libusb-0.1 and usbfs: the
// request exactly as it crossed the wire, one whole 60-byte answer back, and
// the function's result. (What each answer decodes to is the command layer's
// tests' business; here only what could go wrong on the way is checked: long
// answers arriving intact, a refusal leaving the link in place.)
TEST_F(Commands, EveryCommandCrossesTheWire) {
    auto meter = attachMeter(1);
    const MeterHandle h = open();
    ASSERT_NE(h, 0U);

    unsigned u = 0;
    short e = 0;
    MeterReading reading{};
    LcdSnapshot lcd{};
    char meterInfo[41] = {};
    char probeInfo[25] = {};
    unsigned values[28] = {};
    unsigned packet[28] = {};
    unsigned count = 0;
    const int written[] = {0x15A, 0x01, 0xFF};  // only the low 8 bits travel
    TransferInfo transfer{};
    DspDiagResult result{};
    DspDiagReading g[4];

    struct Row {
        const char* request;
        std::function<int()> call;
        int expected;
    };
    const Row rows[] = {
        {"01 2B 10 00 10 7C", [&] { return mtrGetReading(h, &reading); }, 0},
        {"01 2B 17 00 20 7E", [&] { return mtrGetLCDSnapshot(h, &lcd); }, 0},
        {"01 2B 12 02 01 00 E4 80", [&] { return mtrSetUnits(h, 1, 0); }, 0},
        {"01 2B 19 01 02 B2 41", [&] { return mtrSetRange(h, 2); }, 0},
        {"01 2B 1A 00 B0 7A", [&] { return mtrGetRange(h, &u); }, 0},
        {"01 2B 20 01 01 BE D1", [&] { return mtrAutoRange(h, 1); }, 0},
        {"01 2B 1B 01 01 73 A0", [&] { return mtrSetAnalogOut(h, 1); }, 0},
        {"01 2B 1E 00 70 78", [&] { return mtrRecal(h); }, 0},
        {"01 2B 1F 00 E0 79", [&] { return mtrAutoZero(h); }, 0},
        {"01 2B 21 01 01 7E 80", [&] { return mtrSetRelative(h, 1); }, 0},
        {"01 2B 22 00 70 69", [&] { return mtrGetRelative(h, &u); }, 0},
        {"01 2B 23 00 E0 68", [&] { return mtrGetFrequency(h, &u); }, 0},
        {"01 2B 24 01 01 7F 90", [&] { return mtrSetLimit(h, 1); }, 0},
        {"01 2B 25 01 05 7C C0", [&] { return mtrGetProbeData(h, 5, &u); }, 0},
        {"01 2B 26 01 01 BF 31", [&] { return mtrSetHold(h, 1); }, 0},
        {"01 2B 27 00 20 6A", [&] { return mtrGetHold(h, &u); }, 0},
        {"01 2B 28 00 D0 6F", [&] { return mtrResetHold(h); }, 0},
        {"01 2B 3B 01 00 79 60", [&] { return mtrSetPwroffTimer(h, 0); }, 0},
        {"01 2B 29 02 01 24 DB 8D", [&] { return mtrSetEnableRegister(h, 1, 0x24); }, 0},
        {"01 2B 2A 01 01 BC F1", [&] { return mtrGetEnableRegister(h, 1, &u); }, 0},
        {"01 2B 37 02 00 01 B8 4B", [&] { return mtrRaiseEvent(h, 0, 1); }, 0},
        {"01 2B 2B 01 00 BC 61", [&] { return mtrGetEventRegister(h, 0, &u); }, 0},
        {"01 2B 2C 01 01 BD 11", [&] { return mtrGetConditionRegister(h, 1, &u); }, 0},
        {"01 2B 2E 01 20 65 70", [&] { return mtrSetStatusEnable(h, 0x20); }, 0},
        {"01 2B 2F 00 E0 6D", [&] { return mtrGetStatusEnable(h, &u); }, 0},
        {"01 2B 30 00 D0 65", [&] { return mtrGetStatusByte(h, &u); }, 0},
        {"01 2B 33 02 FF 9A D3 4A", [&] { return mtrPostError(h, -102); }, 0},
        {"01 2B 31 00 40 64", [&] { return mtrGetNextError(h, &e); }, 0},
        {"01 2B 32 00 B0 64", [&] { return mtrClearErrorQueue(h); }, 0},
        {"01 2B 2D 00 80 6C", [&] { return mtrClearEventRegisters(h); }, 0},
        {"01 2B 34 00 10 67", [&] { return mtrClearEnableRegisters(h); }, 0},
        {"01 2B 35 01 01 7A C0", [&] { return mtrKeypadLockout(h, 1); }, 0},
        {"01 2B 18 00 D0 7B", [&] { return mtrGetMeterInfo(h, meterInfo); }, 0},
        {"01 2B 36 00 70 66", [&] { return mtrGetProbeInfo(h, probeInfo); }, 0},
        {"01 2B 60 00 D0 59", [&] { return mtrDspGetVersion(h, &u); }, 0},
        {"01 2B 15 07 02 00 00 03 5A 01 FF A6 83", [&] { return mtrWriteEEPROM(h, 0x0200, 3, written); }, 0},
        {"01 2B 14 04 02 00 00 03 A8 A9", [&] { return mtrReadEEPROM(h, 0x0200, 3, values); }, 0},
        {"01 2B 16 01 03 71 B0", [&] { return mtrSendKey(h, 3); }, 0},
        // 30 memory bytes from 0x200, in packets of 25 values: more follows, then the last.
        {"01 2B 62 05 02 02 00 00 1E 28 FF", [&] { return mtrStartDataTransfer(h, 2, 0x0200, 30, &transfer); }, 0},
        {"01 2B 63 00 20 59", [&] { return mtrReadNextDataPacket(h, &count, packet); }, 1},
        {"01 2B 63 00 20 59", [&] { return mtrReadNextDataPacket(h, &count, values); }, 0},
        // Refused by the meter: -1, and the link stays.
        {"01 2B 62 05 09 00 00 00 00 59 DB", [&] { return mtrStartDataTransfer(h, 9, 0, 0, &transfer); }, -1},
        {"01 2B 1C 01 01 B2 11", [&] { return mtrSetDiagMode(h, 1); }, 0},
        {"01 2B 1D 04 00 02 12 34 3F 44", [&] { return mtrSetDAC(h, 2, 0x1234); }, 0},
        {"01 2B 38 01 06 7B 10", [&] { return mtrDiagSetRange(h, 6); }, 0},
        {"01 2B 39 01 01 79 00", [&] { return mtrDiagSetAmpin(h, 1); }, 0},
        {"01 2B 3A 00 70 63", [&] { return mtrDiagGetAdc(h, &u); }, 0},
        {"01 2B 64 01 02 AA D1", [&] { return mtrDspSetRange(h, 2); }, 0},
        {"01 2B 66 01 01 6B 30", [&] { return mtrDspSetAnalogOut(h, 1); }, 0},
        {"01 2B 67 02 01 03 E9 DA", [&] { return mtrDspSetDacFilterBits(h, 0x0103); }, 0},
        {"01 2B 6B 01 01 A8 A1", [&] { return mtrDspSetDiagMode(h, 1); }, 0},
        {"01 2B 6C 04 00 01 12 34 DE BE", [&] { return mtrDspSetDAC(h, 1, 0x1234); }, 0},
        {"01 2B 6A 06 00 01 00 02 00 03 65 F7", [&] { return mtrDspDiagOperation(h, 1, 2, 3, &result); }, 0},
        {"01 2B 68 00 10 5E", [&] { return mtrDspGetReadingDiag(h, &g[0], &g[1], &g[2], &g[3]); }, 0},
    };
    testing::internal::CaptureStdout();  // the memory read prints its numbers
    for (const Row& row : rows) {
        SCOPED_TRACE(row.request);
        cable->clearLog();
        EXPECT_EQ(row.call(), row.expected);
        const auto outs = eventsOf(UsbfsEvent::Out);
        ASSERT_EQ(outs.size(), 1U);
        EXPECT_EQ(hex(outs[0].data, outs[0].length), onWire(row.request));
        const auto ins = eventsOf(UsbfsEvent::In);
        ASSERT_EQ(ins.size(), 1U);
        EXPECT_EQ(ins[0].result, 0);
        EXPECT_EQ(ins[0].length, 60);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "eepromAddr = 0200, bytesRead = 0003\n");
    EXPECT_TRUE(cable->claimed(0));

    // The long answers arrived whole: identity blocks, a memory packet.
    const auto memory = [&](int address) {
        std::uint8_t byte = 0;
        meter->readEeprom(address, &byte, 1);
        return unsigned{byte};
    };
    for (int i = 0; i < 40; ++i)
        EXPECT_EQ(static_cast<unsigned char>(meterInfo[i]), memory(sim::eeprom::kMeterInfo + i)) << i;
    for (int i = 0; i < 24; ++i)
        EXPECT_EQ(static_cast<unsigned char>(probeInfo[i]), memory(sim::eeprom::kProbeInfo + i)) << i;
    for (int i = 0; i < 25; ++i) EXPECT_EQ(packet[i], memory(0x200 + i)) << i;
    EXPECT_EQ(memory(0x200), 0x5AU);
    EXPECT_EQ(memory(0x202), 0xFFU);
}

// Answers the model never gives (negative counts, high bit set, odd groups)
// decode exactly, after crossing the real stack byte for byte.
TEST_F(Commands, DecodesAnswersByteForByte) {
    auto peer = attachScripted();
    const MeterHandle h = open();
    ASSERT_NE(h, 0U);

    struct Row {
        const char* answer;
        std::function<void()> check;
    };
    const Row rows[] = {
        {"01 2B 10 07 FF 38 01 02 00 01 04 2D C9",
         [&] {
             MeterReading r{};
             ASSERT_EQ(mtrGetReading(h, &r), 0);
             EXPECT_EQ(r.value, -200);
             EXPECT_EQ(r.units, 1);
             EXPECT_EQ(r.range, 2);
             EXPECT_EQ(r.aux, 0);
             EXPECT_EQ(r.acdc, 1);
             EXPECT_EQ(r.scale, 4);
         }},
        {"01 2B 23 02 FF FF 38 8E",
         [&] {
             unsigned f = 0;
             ASSERT_EQ(mtrGetFrequency(h, &f), 0);
             EXPECT_EQ(f, 65535U);
         }},
        {"01 2B 3A 02 FF 01 E4 08",
         [&] {
             unsigned adc = 0;
             ASSERT_EQ(mtrDiagGetAdc(h, &adc), 0);
             EXPECT_EQ(adc, 65281U);
         }},
        {"01 2B 31 02 FF 88 66 CB",
         [&] {
             short e = 0;
             ASSERT_EQ(mtrGetNextError(h, &e), 0);
             EXPECT_EQ(e, -120);
         }},
        {"01 2B 30 01 C4 28 10",
         [&] {
             unsigned s = 0;
             ASSERT_EQ(mtrGetStatusByte(h, &s), 0);
             EXPECT_EQ(s, 196U);
         }},
        {"01 2B 63 07 00 02 01 12 34 AB CD B2 49",
         [&] {
             unsigned count = 0;
             unsigned values[28] = {};
             ASSERT_EQ(mtrReadNextDataPacket(h, &count, values), 1);
             ASSERT_EQ(count, 2U);
             EXPECT_EQ(values[0], 0x1234U);
             EXPECT_EQ(values[1], 0xABCDU);
         }},
        {"01 2B 68 24 05 01 02 03 04 05 06 07 08 06 00 00 00 00 00 00 00 FF 07 11 11 22 22 33 33 44 44 08 FF FF "
         "FF FF FF FF FF F0 66 AE",
         [&] {
             DspDiagReading g[4];
             ASSERT_EQ(mtrDspGetReadingDiag(h, &g[0], &g[1], &g[2], &g[3]), 0);
             EXPECT_EQ(g[0].values[0], 258);
             EXPECT_EQ(g[0].values[9], 1800);
             EXPECT_EQ(g[1].values[9], 255);
             EXPECT_EQ(g[2].values[4], 13107);
             EXPECT_EQ(g[3].values[0], 65535);
             EXPECT_EQ(g[3].values[9], 65520);
             EXPECT_EQ(g[3].values[10], 8);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.answer);
        peer->answerRaw(row.answer);
        row.check();
    }
}

TEST_F(Commands, RawTransactionSendsTheFrameAsItStands) {
    auto meter = attachMeter(1);
    const MeterHandle h = open();
    ASSERT_NE(h, 0U);

    // A wrong checksum and stray bytes after it: all 60 bytes go as they are.
    MB_PDU request{};
    parseHex("01 2B 1A 00 B0 7B", request.frame, 64);
    request.frame[40] = 0xEE;
    request.frame[59] = 0x5A;
    request.length = 0;
    MB_PDU response{};
    response.length = 0xAA;
    cable->clearLog();
    ASSERT_EQ(mtrTransaction(h, &request, &response), 0);  // the meter answers even garbage
    const auto outs = eventsOf(UsbfsEvent::Out);
    ASSERT_EQ(outs.size(), 1U);
    EXPECT_EQ(hex(outs[0].data, outs[0].length), hex(request.frame, 60));
    EXPECT_EQ(response.length, 6);
    std::int16_t queued[4];
    ASSERT_EQ(meter->peekErrors(queued, 4), 1);
    EXPECT_EQ(queued[0], -100);

    parseHex("01 2B 1A 00 B0 7A", request.frame, 64);
    request.frame[40] = request.frame[59] = 0;
    ASSERT_EQ(mtrTransaction(h, &request, &response), 0);
    EXPECT_EQ(response.length, 7);
    EXPECT_EQ(hex(response.frame, 5), "01 2B 1A 01 00");
}

}  // namespace
}  // namespace korvel::test
