// The shipped library (libkorvel-x64.so over Debian's libusb-0.1) against the
// simulated meter on emulated usbfs: the open, every meter command's frame on
// the wire and its decoding, and the raw exchange.
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>

#include "sim/meter/display.h"
#include "sim/meter/eeprom.h"
#include "tests/usbfs/usbfs_fixture.h"

namespace korvel::test {
namespace {

using sim::UsbfsEvent;

constexpr double kField = 0.0123;  // tesla: 123 G, 1230 counts on the finest range

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

// Every exported meter command once, in an order that lets each check what
// the one before left in the meter: the request exactly as it crossed the
// wire, and the decoded answer against the meter's own state.
TEST_F(Commands, EveryCommandCrossesTheWireAndDecodes) {
    auto meter = attachMeter(1);
    sim::FieldSource field;
    field.dc = kField;
    field.acAmplitude = 1e-3;
    field.acFrequency = 60.0;
    meter->setField(field);
    const MeterHandle h = open();
    ASSERT_NE(h, 0U);
    const auto settings = [&] { return meter->snapshot().settings; };
    const auto eeprom = [&](int address) {
        std::uint8_t byte = 0;
        meter->readEeprom(address, &byte, 1);
        return unsigned{byte};
    };
    const auto word = [&](int address) { return (eeprom(address) << 8) | eeprom(address + 1); };
    short firstQueued = 0;

    struct Row {
        const char* request;
        std::function<void()> run;
    };
    const Row rows[] = {
        // ---- measurement and settings
        {"01 2B 10 00 10 7C",
         [&] {
             MeterReading r{};
             ASSERT_EQ(mtrGetReading(h, &r), 0);
             EXPECT_EQ(r.value, 1230);
             EXPECT_EQ(r.units, 0);
             EXPECT_EQ(r.range, 0);
             EXPECT_EQ(r.aux, 8);  // auto-range on
             EXPECT_EQ(r.acdc, 0);
             EXPECT_EQ(r.scale, 0);
         }},
        {"01 2B 17 00 20 7E",
         [&] {
             LcdSnapshot s;
             std::memset(&s, 0x7F, sizeof s);
             ASSERT_EQ(mtrGetLCDSnapshot(h, &s), 0);
             const sim::LcdImage image = sim::renderLcd(sim::toCounts(kField, 0, 0, true), settings());
             EXPECT_EQ(std::string(s.text), std::string(image.text, 4));
             EXPECT_EQ(s.code, image.decimals);
             for (int k = 0; k < 13; ++k) EXPECT_EQ(s.flags[k], image.flags[k]) << k;
         }},
        {"01 2B 12 02 01 00 E4 80",
         [&] {
             ASSERT_EQ(mtrSetUnits(h, 1, 0), 0);
             EXPECT_EQ(settings().units, 1);
         }},
        {"01 2B 19 01 02 B2 41",
         [&] {
             ASSERT_EQ(mtrSetRange(h, 2), 0);
             EXPECT_EQ(settings().range, 2);
             EXPECT_EQ(settings().autoRange, 0);
         }},
        {"01 2B 1A 00 B0 7A",
         [&] {
             unsigned range = 99;
             ASSERT_EQ(mtrGetRange(h, &range), 0);
             EXPECT_EQ(range, 2U);
         }},
        {"01 2B 20 01 01 BE D1",
         [&] {
             ASSERT_EQ(mtrAutoRange(h, 1), 0);
             EXPECT_EQ(settings().autoRange, 1);
         }},
        {"01 2B 1B 01 01 73 A0",
         [&] {
             ASSERT_EQ(mtrSetAnalogOut(h, 1), 0);
             EXPECT_EQ(settings().analogOut, 1);
         }},
        {"01 2B 1E 00 70 78",
         [&] {
             ASSERT_EQ(mtrRecal(h), 0);
             EXPECT_EQ(meter->snapshot().counters.recalibrations, 1);
         }},
        {"01 2B 1F 00 E0 79",
         [&] {
             // 123 G is no zero chamber: the meter refuses with -224.
             ASSERT_EQ(mtrAutoZero(h), 0);
             EXPECT_EQ(meter->snapshot().counters.autoZeros, 1);
         }},
        {"01 2B 21 01 01 7E 80",
         [&] {
             ASSERT_EQ(mtrSetRelative(h, 1), 0);
             EXPECT_EQ(settings().relative, 1);
         }},
        {"01 2B 22 00 70 69",
         [&] {
             unsigned mode = 99;
             ASSERT_EQ(mtrGetRelative(h, &mode), 0);
             EXPECT_EQ(mode, 1U);
         }},
        {"01 2B 21 01 00 BE 41", [&] { ASSERT_EQ(mtrSetRelative(h, 0), 0); }},
        {"01 2B 23 00 E0 68",
         [&] {
             unsigned frequency = 0;
             ASSERT_EQ(mtrGetFrequency(h, &frequency), 0);
             EXPECT_EQ(frequency, 60U);
         }},
        {"01 2B 24 01 01 7F 90",
         [&] {
             ASSERT_EQ(mtrSetLimit(h, 1), 0);
             EXPECT_EQ(settings().limit, 1);
         }},
        {"01 2B 25 01 05 7C C0",
         [&] {
             unsigned value = 999;
             ASSERT_EQ(mtrGetProbeData(h, 5, &value), 0);
             EXPECT_EQ(value, eeprom(sim::eeprom::kProbeData + 5));
         }},
        {"01 2B 26 01 01 BF 31",
         [&] {
             ASSERT_EQ(mtrSetHold(h, 1), 0);
             EXPECT_EQ(settings().hold, 1);
         }},
        {"01 2B 27 00 20 6A",
         [&] {
             unsigned mode = 99;
             ASSERT_EQ(mtrGetHold(h, &mode), 0);
             EXPECT_EQ(mode, 1U);
         }},
        {"01 2B 28 00 D0 6F", [&] { ASSERT_EQ(mtrResetHold(h), 0); }},
        {"01 2B 26 01 00 7F F0", [&] { ASSERT_EQ(mtrSetHold(h, 0), 0); }},
        {"01 2B 3B 01 00 79 60",
         [&] {
             ASSERT_EQ(mtrSetPwroffTimer(h, 0), 0);
             EXPECT_EQ(settings().powerOffTimer, 0);
         }},
        // ---- status registers and error queue
        {"01 2B 29 02 01 24 DB 8D",
         [&] {
             ASSERT_EQ(mtrSetEnableRegister(h, 1, 0x24), 0);
             EXPECT_EQ(meter->registers(1).enable, 0x24);
         }},
        {"01 2B 2A 01 01 BC F1",
         [&] {
             unsigned mask = 0;
             ASSERT_EQ(mtrGetEnableRegister(h, 1, &mask), 0);
             EXPECT_EQ(mask, 0x24U);
         }},
        {"01 2B 37 02 00 01 B8 4B",
         [&] {
             ASSERT_EQ(mtrRaiseEvent(h, 0, 1), 0);
             EXPECT_EQ(meter->registers(0).event & 1, 1);
         }},
        {"01 2B 2B 01 00 BC 61",
         [&] {
             const unsigned before = meter->registers(0).event;
             unsigned events = 0;
             ASSERT_EQ(mtrGetEventRegister(h, 0, &events), 0);
             EXPECT_EQ(events, before);
             EXPECT_EQ(meter->registers(0).event, 0);  // reading clears
         }},
        {"01 2B 2C 01 01 BD 11",
         [&] {
             unsigned condition = 999;
             ASSERT_EQ(mtrGetConditionRegister(h, 1, &condition), 0);
             EXPECT_EQ(condition, meter->registers(1).condition);
             EXPECT_NE(condition & 0x08U, 0U);  // auto-range on
         }},
        {"01 2B 2E 01 20 65 70",
         [&] {
             ASSERT_EQ(mtrSetStatusEnable(h, 0x20), 0);
             EXPECT_EQ(meter->snapshot().serviceRequestEnable, 0x20);
         }},
        {"01 2B 2F 00 E0 6D",
         [&] {
             unsigned mask = 0;
             ASSERT_EQ(mtrGetStatusEnable(h, &mask), 0);
             EXPECT_EQ(mask, 0x20U);
         }},
        {"01 2B 30 00 D0 65",
         [&] {
             unsigned status = 999;
             ASSERT_EQ(mtrGetStatusByte(h, &status), 0);
             EXPECT_EQ(status, meter->snapshot().statusByte);
             EXPECT_NE(status & 0x04U, 0U);  // the auto-zero's error waits
         }},
        {"01 2B 33 02 FF 9A D3 4A",
         [&] {
             ASSERT_EQ(mtrPostError(h, -102), 0);
             std::int16_t queued[16];
             const int n = meter->peekErrors(queued, 16);
             ASSERT_GE(n, 2);
             EXPECT_EQ(queued[n - 1], -102);
             firstQueued = queued[0];
         }},
        {"01 2B 31 00 40 64",
         [&] {
             short error = 0;
             ASSERT_EQ(mtrGetNextError(h, &error), 0);
             EXPECT_EQ(error, firstQueued);
             EXPECT_EQ(error, -224);
         }},
        {"01 2B 32 00 B0 64",
         [&] {
             ASSERT_EQ(mtrClearErrorQueue(h), 0);
             EXPECT_EQ(meter->snapshot().errorCount, 0);
         }},
        {"01 2B 2D 00 80 6C",
         [&] {
             EXPECT_NE(meter->registers(2).event, 0);  // the recalibration's event
             ASSERT_EQ(mtrClearEventRegisters(h), 0);
             for (int set = 0; set < 4; ++set) EXPECT_EQ(meter->registers(set).event, 0) << set;
         }},
        {"01 2B 34 00 10 67",
         [&] {
             ASSERT_EQ(mtrClearEnableRegisters(h), 0);
             EXPECT_EQ(meter->registers(1).enable, 0);
         }},
        {"01 2B 35 01 01 7A C0",
         [&] {
             ASSERT_EQ(mtrKeypadLockout(h, 1), 0);
             EXPECT_EQ(settings().keypadLockout, 1);
         }},
        {"01 2B 35 01 00 BA 01", [&] { ASSERT_EQ(mtrKeypadLockout(h, 0), 0); }},
        // ---- identity, memory, data transfer
        {"01 2B 18 00 D0 7B",
         [&] {
             char info[41] = {};
             ASSERT_EQ(mtrGetMeterInfo(h, info), 0);
             for (int i = 0; i < 40; ++i)
                 EXPECT_EQ(static_cast<unsigned char>(info[i]), eeprom(sim::eeprom::kMeterInfo + i)) << i;
             EXPECT_STREQ(info, "KORVEL,KV-100,KV0001,1.02");
         }},
        {"01 2B 36 00 70 66",
         [&] {
             char info[25] = {};
             ASSERT_EQ(mtrGetProbeInfo(h, info), 0);
             for (int i = 0; i < 24; ++i)
                 EXPECT_EQ(static_cast<unsigned char>(info[i]), eeprom(sim::eeprom::kProbeInfo + i)) << i;
         }},
        {"01 2B 60 00 D0 59",
         [&] {
             unsigned version = 0;
             ASSERT_EQ(mtrDspGetVersion(h, &version), 0);
             EXPECT_EQ(version, 500U);
         }},
        {"01 2B 15 07 02 00 00 03 5A 01 FF A6 83",
         [&] {
             const int values[] = {0x15A, 0x01, 0xFF};  // only the low 8 bits travel
             ASSERT_EQ(mtrWriteEEPROM(h, 0x0200, 3, values), 0);
             EXPECT_EQ(eeprom(0x200), 0x5AU);
             EXPECT_EQ(eeprom(0x201), 0x01U);
             EXPECT_EQ(eeprom(0x202), 0xFFU);
         }},
        {"01 2B 14 04 02 00 00 03 A8 A9",
         [&] {
             unsigned values[4] = {7, 7, 7, 7};
             testing::internal::CaptureStdout();
             ASSERT_EQ(mtrReadEEPROM(h, 0x0200, 3, values), 0);
             EXPECT_EQ(testing::internal::GetCapturedStdout(), "eepromAddr = 0200, bytesRead = 0003\n");
             EXPECT_EQ(values[0], 0x5AU);
             EXPECT_EQ(values[1], 0x01U);
             EXPECT_EQ(values[2], 0xFFU);
             EXPECT_EQ(values[3], 7U);
         }},
        {"01 2B 16 01 03 71 B0",
         [&] {
             ASSERT_EQ(mtrSendKey(h, 3), 0);
             EXPECT_EQ(meter->snapshot().counters.lastKey, 3);
         }},
        {"01 2B 62 05 02 02 00 00 1E 28 FF",
         [&] {
             // A block of 30 memory bytes from 0x200, in packets of 25 values.
             TransferInfo info{};
             ASSERT_EQ(mtrStartDataTransfer(h, 2, 0x0200, 30, &info), 0);
             EXPECT_EQ(info.values[10], 1);
             EXPECT_EQ(info.values[0], 30);
             EXPECT_EQ(info.values[1], 2);
             EXPECT_EQ(info.values[2], 25);
             EXPECT_EQ(info.values[3], 0x200);
             EXPECT_EQ(info.values[4], 30);
         }},
        {"01 2B 63 00 20 59",
         [&] {
             unsigned count = 0;
             unsigned values[28] = {};
             ASSERT_EQ(mtrReadNextDataPacket(h, &count, values), 1);  // more follows
             ASSERT_EQ(count, 25U);
             for (int i = 0; i < 25; ++i) EXPECT_EQ(values[i], eeprom(0x200 + i)) << i;
         }},
        {"01 2B 63 00 20 59",
         [&] {
             unsigned count = 0;
             unsigned values[28] = {};
             ASSERT_EQ(mtrReadNextDataPacket(h, &count, values), 0);
             ASSERT_EQ(count, 5U);
             for (int i = 0; i < 5; ++i) EXPECT_EQ(values[i], eeprom(0x200 + 25 + i)) << i;
         }},
        {"01 2B 62 05 09 00 00 00 00 59 DB",
         [&] {
             // Refused: -1, the flag cleared, the rest untouched, the link kept.
             TransferInfo info;
             for (int& v : info.values) v = 77;
             EXPECT_EQ(mtrStartDataTransfer(h, 9, 0, 0, &info), -1);
             EXPECT_EQ(info.values[10], 0);
             EXPECT_EQ(info.values[0], 77);
             EXPECT_TRUE(cable->claimed(0));
         }},
        // ---- diagnostics
        {"01 2B 1C 01 01 B2 11",
         [&] {
             ASSERT_EQ(mtrSetDiagMode(h, 1), 0);
             EXPECT_EQ(settings().diagMode, 1);
         }},
        {"01 2B 1D 04 00 02 12 34 3F 44",
         [&] {
             ASSERT_EQ(mtrSetDAC(h, 2, 0x1234), 0);
             EXPECT_EQ(settings().dac[2], 0x1234);
         }},
        {"01 2B 38 01 06 7B 10",
         [&] {
             ASSERT_EQ(mtrDiagSetRange(h, 6), 0);
             EXPECT_EQ(settings().muxRange, 6);
         }},
        {"01 2B 39 01 01 79 00",
         [&] {
             ASSERT_EQ(mtrDiagSetAmpin(h, 1), 0);
             EXPECT_EQ(settings().ampInput, 1);
         }},
        {"01 2B 3A 00 70 63",
         [&] {
             unsigned adc = 0;
             ASSERT_EQ(mtrDiagGetAdc(h, &adc), 0);
             EXPECT_EQ(adc, word(sim::eeprom::kMeterCal + 12));  // input 1: the converter's reference
         }},
        {"01 2B 64 01 02 AA D1",
         [&] {
             ASSERT_EQ(mtrDspSetRange(h, 2), 0);
             EXPECT_EQ(settings().dspRange, 2);
         }},
        {"01 2B 66 01 01 6B 30",
         [&] {
             ASSERT_EQ(mtrDspSetAnalogOut(h, 1), 0);
             EXPECT_EQ(settings().dspAnalogOut, 1);
         }},
        {"01 2B 67 02 01 03 E9 DA",
         [&] {
             ASSERT_EQ(mtrDspSetDacFilterBits(h, 0x0103), 0);
             EXPECT_EQ(settings().dspFilterBits, 0x0103);
         }},
        {"01 2B 6B 01 01 A8 A1",
         [&] {
             ASSERT_EQ(mtrDspSetDiagMode(h, 1), 0);
             EXPECT_EQ(settings().dspDiagMode, 1);
         }},
        {"01 2B 6C 04 00 01 12 34 DE BE",
         [&] {
             ASSERT_EQ(mtrDspSetDAC(h, 1, 0x1234), 0);
             EXPECT_EQ(settings().dspDac[1], 0x1234);
         }},
        {"01 2B 6A 06 00 01 00 02 00 03 65 F7",
         [&] {
             // The meter echoes the parameters and reports its processor's settings.
             DspDiagResult r{};
             ASSERT_EQ(mtrDspDiagOperation(h, 1, 2, 3, &r), 0);
             const int expected[8] = {1, 2, 3, 2, 1, 0x0103, 1, 0x1234};
             for (int i = 0; i < 8; ++i) EXPECT_EQ(r.values[i], expected[i]) << i;
         }},
        {"01 2B 68 00 10 5E",
         [&] {
             DspDiagReading g[4];
             for (auto& rec : g)
                 for (int& v : rec.values) v = -5;
             ASSERT_EQ(mtrDspGetReadingDiag(h, &g[0], &g[1], &g[2], &g[3]), 0);
             const int reference = static_cast<int>(word(sim::eeprom::kMeterCal + 12));
             const int raw[4] = {reference, reference, 2982, 4950};  // amplifier input 1: the reference
             for (int c = 0; c < 4; ++c) {
                 SCOPED_TRACE(c);
                 EXPECT_EQ(g[c].values[10], c);
                 EXPECT_EQ(g[c].values[0], raw[c]);
                 EXPECT_EQ(g[c].values[9], raw[c]);
                 for (int zero : {1, 3, 5, 6, 7, 8}) EXPECT_EQ(g[c].values[zero], 0) << zero;
             }
             EXPECT_EQ(g[2].values[2], 0);
             EXPECT_EQ(g[2].values[4], 0x8000);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.request);
        cable->clearLog();
        row.run();
        const auto outs = eventsOf(UsbfsEvent::Out);
        ASSERT_EQ(outs.size(), 1U);
        EXPECT_EQ(hex(outs[0].data, outs[0].length), onWire(row.request));
        const auto ins = eventsOf(UsbfsEvent::In);
        ASSERT_EQ(ins.size(), 1U);
        EXPECT_EQ(ins[0].result, 0);
        EXPECT_EQ(ins[0].length, 60);
    }
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
