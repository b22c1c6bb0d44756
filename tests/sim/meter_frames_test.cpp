// The simulated meter through raw frames: request bytes in, answer bytes out.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "tests/sim/meter_harness.h"

namespace korvel::test {
namespace {

using Frames = MeterHarness;

// Every command code the library sends gets one well-formed answer carrying
// the same code and the data length the command's decoder reads.
TEST_F(Frames, EveryCommandAnswersWithItsDataLength) {
    struct Case {
        std::uint8_t code;
        std::initializer_list<std::uint8_t> payload;
        int count;
    };
    const Case cases[] = {
        {0x10, {}, 7},        {0x12, {1, 0}, 0},           {0x14, {0, 0x10, 0, 3}, 7},
        {0x15, {0, 0x10, 0, 1, 7}, 4},                     {0x16, {9}, 0},
        {0x17, {}, 18},       {0x18, {}, 40},              {0x19, {1}, 0},
        {0x1A, {}, 1},        {0x1B, {1}, 0},              {0x1C, {1}, 0},
        {0x1D, {0, 2, 0x80, 0}, 0},                        {0x1E, {}, 0},
        {0x1F, {}, 0},        {0x20, {1}, 0},              {0x21, {1}, 0},
        {0x22, {}, 1},        {0x23, {}, 2},               {0x24, {1}, 0},
        {0x25, {5}, 1},       {0x26, {1}, 0},              {0x27, {}, 1},
        {0x28, {}, 0},        {0x29, {1, 0x24}, 0},        {0x2A, {1}, 1},
        {0x2B, {0}, 1},       {0x2C, {3}, 1},              {0x2D, {}, 0},
        {0x2E, {0x20}, 0},    {0x2F, {}, 1},               {0x30, {}, 1},
        {0x31, {}, 2},        {0x32, {}, 0},               {0x33, {0xFF, 0x9A}, 0},
        {0x34, {}, 0},        {0x35, {1}, 0},              {0x36, {}, 24},
        {0x37, {0, 1}, 0},    {0x38, {6}, 0},              {0x39, {1}, 0},
        {0x3A, {}, 2},        {0x3B, {1}, 0},              {0x60, {}, 2},
        {0x62, {2, 0, 0, 0, 30}, 19},                      {0x63, {}, 3 + 2 * 25},
        {0x64, {2}, 0},       {0x66, {1}, 0},              {0x67, {1, 3}, 0},
        {0x68, {}, 36},       {0x6A, {0, 1, 0, 2, 0, 3}, 16},
        {0x6B, {1}, 0},       {0x6C, {0, 1, 0x12, 0x34}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "command 0x" << std::hex << int{c.code});
        const Answer a = send(c.code, c.payload);
        ASSERT_TRUE(a.accepted);
        EXPECT_EQ(a.reply.delivery, sim::Delivery::Now);
        EXPECT_TRUE(a.wellFormed()) << a.hex(60);
        EXPECT_EQ(a.code(), c.code);
        EXPECT_EQ(a.count(), c.count);
    }
    // Only the deliberate post (-102) and nothing refused along the way.
    EXPECT_EQ(errors(), std::vector<std::int16_t>{-102});
}

// Answers worked out by hand (checksums computed bit by bit on paper).
TEST_F(Frames, AnswersMatchHandWorkedFrames) {
    struct Case {
        const char* what;
        std::uint8_t code;
        std::initializer_list<std::uint8_t> payload;
        const char* frame;
    };
    meter.writeEeprom(0x10, reinterpret_cast<const std::uint8_t*>("\x5A"), 1);
    field(0.01234);
    const Case cases[] = {
        {"range query, range 0", 0x1A, {}, "01 2B 1A 01 00 73 30"},
        {"123.4 G under auto-range", 0x10, {}, "01 2B 10 07 04 D2 00 00 08 00 00 C1 28"},
        {"set command", 0x19, {2}, "01 2B 19 00 40 7A"},
        {"range query, range 2", 0x1A, {}, "01 2B 1A 01 02 B2 B1"},
        {"empty error queue", 0x31, {}, "01 2B 31 02 00 00 F0 8A"},
        {"post -102", 0x33, {0xFF, 0x9A}, "01 2B 33 00 20 65"},
        {"-102 comes back", 0x31, {}, "01 2B 31 02 FF 9A 6B 4B"},
        {"refused transfer", 0x62, {9, 0, 0, 0, 0}, "01 2B 62 01 00 6A B0"},
        {"signal processor version 500", 0x60, {}, "01 2B 60 02 01 F4 1B 9A"},
        {"memory byte 0x5A at 0x0010", 0x14, {0x00, 0x10, 0x00, 0x01}, "01 2B 14 05 00 10 00 01 5A F4 95"},
        {"unknown command", 0x11, {}, "01 2B 11 00 80 7D"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Answer a = send(c.code, c.payload);
        const int n = static_cast<int>((std::strlen(c.frame) + 1) / 3);
        EXPECT_EQ(a.hex(n), c.frame);
        EXPECT_TRUE(a.wellFormed());
    }
}

TEST_F(Frames, OverrangeReadingSaturatesAndSetsQuestionableBit) {
    settle();
    send(0x12, {1, 0});  // tesla, DC
    field(-40.0);
    const Answer a = send(0x10);
    EXPECT_EQ(a.hex(13), "01 2B 10 07 80 01 01 02 09 00 00 D2 92");
    EXPECT_EQ(send(0x2C, {3}).d(0) & 0x01, 0x01);  // questionable condition: overrange
    EXPECT_EQ(send(0x2B, {3}).d(0) & 0x01, 0x01);  // ... latched as an event
    field(0.1);
    send(0x10);
    EXPECT_EQ(send(0x2C, {3}).d(0) & 0x01, 0x00);  // condition follows the field
    EXPECT_EQ(send(0x2B, {3}).d(0), 0x00);         // the event was read away
}

// A request the meter cannot take is answered without data and queues -100;
// nothing changes.
TEST_F(Frames, GarbledRequestsAreAnsweredAndQueueCommandError) {
    settle();
    std::uint8_t good[60] = {0x01, 0x2B, 0x19, 0x01, 0x02, 0xB2, 0x41};  // SetRange 2
    struct Case {
        const char* what;
        int position;  // byte to change, -1 none
        std::uint8_t value;
        int length;
    };
    const Case cases[] = {
        {"checksum wrong", 6, 0x40, 60},
        {"another address", 0, 0x02, 60},
        {"another function code", 1, 0x03, 60},
        {"payload missing", 3, 0x00, 60},  // count 0, checksum no longer matches either
        {"byte count beyond the frame", 3, 0x37, 60},
        {"truncated write", -1, 0, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::uint8_t frame[60];
        std::memcpy(frame, good, sizeof frame);
        if (c.position >= 0) frame[c.position] = c.value;
        const Answer a = sendRaw(frame, c.length);
        EXPECT_TRUE(a.wellFormed());
        EXPECT_EQ(a.count(), 0);
        EXPECT_EQ(settings().range, 0);
        EXPECT_EQ(errors(), std::vector<std::int16_t>{-100});
        send(0x32);
    }
    // A well-formed set command whose payload is too short is refused too.
    const Answer shortPayload = send(0x12, {1});
    EXPECT_EQ(shortPayload.count(), 0);
    EXPECT_EQ(settings().units, 0);
    EXPECT_EQ(errors(), std::vector<std::int16_t>{-100});
}

TEST_F(Frames, SettingsStickAndOutOfRangeValuesAreRefused) {
    settle();
    struct Case {
        const char* what;
        std::uint8_t code;
        std::initializer_list<std::uint8_t> good;
        std::initializer_list<std::uint8_t> bad;
        int (*get)(const sim::Settings&);
        int expected;
    };
    const Case cases[] = {
        {"units", 0x12, {2, 1}, {3, 0}, [](const sim::Settings& s) { return s.units * 10 + s.acdc; }, 21},
        {"range", 0x19, {2}, {3}, [](const sim::Settings& s) { return int{s.range}; }, 2},
        {"analog out", 0x1B, {2}, {3}, [](const sim::Settings& s) { return int{s.analogOut}; }, 2},
        {"diag mode", 0x1C, {1}, {2}, [](const sim::Settings& s) { return int{s.diagMode}; }, 1},
        {"auto-range off", 0x20, {0}, {2}, [](const sim::Settings& s) { return int{s.autoRange}; }, 0},
        {"relative", 0x21, {2}, {3}, [](const sim::Settings& s) { return int{s.relative}; }, 2},
        {"limit", 0x24, {1}, {2}, [](const sim::Settings& s) { return int{s.limit}; }, 1},
        {"hold", 0x26, {3}, {4}, [](const sim::Settings& s) { return int{s.hold}; }, 3},
        {"keypad", 0x35, {1}, {2}, [](const sim::Settings& s) { return int{s.keypadLockout}; }, 1},
        {"mux range", 0x38, {6}, {7}, [](const sim::Settings& s) { return int{s.muxRange}; }, 6},
        {"amp input", 0x39, {1}, {2}, [](const sim::Settings& s) { return int{s.ampInput}; }, 1},
        {"power-off timer", 0x3B, {0}, {2}, [](const sim::Settings& s) { return int{s.powerOffTimer}; }, 0},
        {"DAC 2", 0x1D, {0, 2, 0xBE, 0xEF}, {0, 4, 0, 1}, [](const sim::Settings& s) { return int{s.dac[2]}; }, 0xBEEF},
        {"signal processor DAC 1", 0x6C, {0, 1, 0x12, 0x34}, {0, 9, 0, 0}, [](const sim::Settings& s) { return int{s.dspDac[1]}; }, 0x1234},
        {"signal processor filter bits", 0x67, {1, 3}, {}, [](const sim::Settings& s) { return int{s.dspFilterBits}; }, 0x0103},
        {"signal processor range", 0x64, {2}, {}, [](const sim::Settings& s) { return int{s.dspRange}; }, 2},
        {"signal processor analog out", 0x66, {1}, {}, [](const sim::Settings& s) { return int{s.dspAnalogOut}; }, 1},
        {"signal processor diag mode", 0x6B, {1}, {}, [](const sim::Settings& s) { return int{s.dspDiagMode}; }, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(send(c.code, c.good).count(), 0);
        EXPECT_EQ(c.get(settings()), c.expected);
        EXPECT_TRUE(errors().empty());
        if (c.bad.size() == 0) continue;
        EXPECT_TRUE(send(c.code, c.bad).wellFormed());
        EXPECT_EQ(c.get(settings()), c.expected) << "a refused value must not change the setting";
        EXPECT_EQ(errors(), std::vector<std::int16_t>{-224});
        send(0x32);
    }
    // The queries read back what was set.
    EXPECT_EQ(send(0x1A).d(0), 2);
    EXPECT_EQ(send(0x22).d(0), 2);
    EXPECT_EQ(send(0x27).d(0), 3);
}

TEST_F(Frames, ManualRangeEndsAutoRange) {
    EXPECT_EQ(settings().autoRange, 1);
    send(0x19, {1});
    EXPECT_EQ(settings().autoRange, 0);
    EXPECT_EQ(settings().range, 1);
}

TEST_F(Frames, IdentificationTextsComeFromTheMemory) {
    const Answer info = send(0x18);
    char text[41] = {};
    std::memcpy(text, &info.reply.bytes[4], 40);
    EXPECT_STREQ(text, "KORVEL,KV-100,KV0001,1.02");
    for (int i = 25; i < 40; ++i) EXPECT_EQ(info.d(i), 0) << "zero padding at " << i;

    const Answer probe = send(0x36);
    char probeText[25] = {};
    std::memcpy(probeText, &probe.reply.bytes[4], 24);
    EXPECT_STREQ(probeText, "HP-100 AXIAL,P-10001");

    // Rewriting the memory changes what the meter says about itself.
    send(0x15, {0x00, 0x13, 0x00, 0x01, '9'});
    const Answer renamed = send(0x18);
    std::memcpy(text, &renamed.reply.bytes[4], 40);
    EXPECT_STREQ(text, "KORVEL,KV-100,KV0009,1.02");

    sim::Meter second(2);
    Answer a;
    std::uint8_t request[60] = {0x01, 0x2B, 0x18, 0x00, 0xD0, 0x7B};
    second.receive(request, 60, &a.reply);
    std::memcpy(text, &a.reply.bytes[4], 40);
    EXPECT_STREQ(text, "KORVEL,KV-100,KV0002,1.02");
}

TEST_F(Frames, ProbeDataBytesAreTheProbeBlock) {
    std::uint8_t block[256];
    ASSERT_TRUE(meter.readEeprom(0x100, block, 256));
    for (int index : {0, 1, 5, 128, 255}) {
        SCOPED_TRACE(index);
        EXPECT_EQ(send(0x25, {static_cast<std::uint8_t>(index)}).d(0), block[index]);
    }
    EXPECT_EQ(block[0], 0x01);  // an axial probe
}

TEST_F(Frames, MemoryReadsAndWritesStayWithinTheMemory) {
    settle();
    const int size = meter.eepromSize();
    ASSERT_EQ(size, 4096);
    // Write 50 bytes, read them back in one go.
    std::uint8_t frame[60] = {0x01, 0x2B, 0x15, 54, 0x02, 0x00, 0x00, 50};
    for (int i = 0; i < 50; ++i) frame[8 + i] = static_cast<std::uint8_t>(i * 5);
    const std::uint16_t crc = bitwiseCrc(frame, 58);
    frame[58] = static_cast<std::uint8_t>(crc >> 8);
    frame[59] = static_cast<std::uint8_t>(crc & 0xFF);
    const Answer written = sendRaw(frame, 60);
    EXPECT_EQ(written.d16(0), 0x0200u);
    EXPECT_EQ(written.d16(2), 50u);
    const Answer read = send(0x14, {0x02, 0x00, 0x00, 50});
    EXPECT_EQ(read.count(), 54);
    EXPECT_EQ(read.d16(0), 0x0200u);
    EXPECT_EQ(read.d16(2), 50u);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(read.d(4 + i), i * 5);
    EXPECT_TRUE(errors().empty());

    struct Case {
        const char* what;
        int address, count;
        unsigned reported;
        bool refused;
    };
    const Case cases[] = {
        {"more than one answer holds", 0x0000, 200, 50, false},
        {"runs past the end", size - 3, 10, 3, false},
        {"last byte", size - 1, 1, 1, false},
        {"beyond the end", size, 1, 0, true},
        {"far beyond", 0xFFFF, 0xFFFF, 0, true},
        {"nothing asked", 0x0010, 0, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto a = send(0x14, {static_cast<std::uint8_t>(c.address >> 8), static_cast<std::uint8_t>(c.address),
                                   static_cast<std::uint8_t>(c.count >> 8), static_cast<std::uint8_t>(c.count)});
        EXPECT_TRUE(a.wellFormed());
        EXPECT_EQ(a.d16(2), c.reported);
        EXPECT_EQ(a.count(), 4 + static_cast<int>(c.reported));
        EXPECT_EQ(errors().size(), c.refused ? 1u : 0u);
        send(0x32);
    }
    // A write that runs past the end keeps what fits and says so.
    const auto tail = send(0x15, {static_cast<std::uint8_t>((size - 1) >> 8), static_cast<std::uint8_t>(size - 1), 0, 2, 0xAA, 0xBB});
    EXPECT_EQ(tail.d16(2), 1u);
    std::uint8_t last = 0;
    meter.readEeprom(size - 1, &last, 1);
    EXPECT_EQ(last, 0xAA);
    EXPECT_EQ(errors(), std::vector<std::int16_t>{-224});
    send(0x32);
    // A count the request does not carry writes only the bytes carried.
    const auto claimed = send(0x15, {0x03, 0x00, 0x00, 9, 0x11});
    EXPECT_EQ(claimed.d16(2), 1u);
    EXPECT_EQ(errors(), std::vector<std::int16_t>{-224});
}

TEST_F(Frames, CalibrationDamageIsReportedAtPowerOn) {
    settle();
    EXPECT_EQ(meter.registers(3).condition & 0x06, 0);
    std::uint8_t byte = 0;
    meter.readEeprom(0x41, &byte, 1);
    byte ^= 0x01;
    meter.writeEeprom(0x41, &byte, 1);  // a bit of the meter's calibration
    meter.powerCycle();
    EXPECT_EQ(errors(), std::vector<std::int16_t>{3});
    EXPECT_EQ(meter.registers(3).condition & 0x06, 0x02);
    // The probe block too, found by a recalibration.
    meter.readEeprom(0x180, &byte, 1);
    byte ^= 0x80;
    meter.writeEeprom(0x180, &byte, 1);
    send(0x32);
    send(0x1E);
    EXPECT_EQ(errors(), (std::vector<std::int16_t>{3, 43}));
    EXPECT_EQ(meter.registers(3).condition & 0x06, 0x06);
    // A factory reset restores the memory.
    meter.factoryReset();
    settle();
    EXPECT_EQ(meter.registers(3).condition & 0x06, 0);
    EXPECT_TRUE(errors().empty());
}

TEST_F(Frames, DataTransferDeliversTheBlockInPackets) {
    settle();
    std::uint8_t memory[60];
    meter.readEeprom(0x20, memory, 60);
    // 60 bytes of memory from 0x0020: three packets of 25, 25 and 10.
    const Answer start = send(0x62, {2, 0x00, 0x20, 0x00, 60});
    ASSERT_EQ(start.count(), 19);
    EXPECT_EQ(start.d(0), 1);
    EXPECT_EQ(start.d16(1), 60u);  // values
    EXPECT_EQ(start.d16(3), 3u);   // packets
    EXPECT_EQ(start.d16(5), 25u);  // per packet
    EXPECT_EQ(start.d16(7), 0x20u);
    EXPECT_EQ(start.d16(9), 60u);
    std::uint8_t wire[120];
    int got = 0;
    const int sizes[] = {25, 25, 10};
    const int flags[] = {1, 1, 0};
    for (int p = 0; p < 3; ++p) {
        SCOPED_TRACE(p);
        const Answer packet = send(0x63);
        EXPECT_TRUE(packet.wellFormed());
        ASSERT_EQ(packet.d16(0), static_cast<unsigned>(sizes[p]));
        EXPECT_EQ(packet.d(2), flags[p]);
        EXPECT_EQ(packet.count(), 3 + 2 * sizes[p]);
        for (int i = 0; i < sizes[p]; ++i, ++got) {
            EXPECT_EQ(packet.d16(3 + 2 * i), memory[got]);
            wire[2 * got] = packet.d(3 + 2 * i);
            wire[2 * got + 1] = packet.d(4 + 2 * i);
        }
    }
    EXPECT_EQ(start.d16(17), bitwiseCrc(wire, 120)) << "block checksum";
    // After the last packet: empty packets without the flag.
    const Answer after = send(0x63);
    EXPECT_EQ(after.d16(0), 0u);
    EXPECT_EQ(after.d(2), 0);

    // Refusals: unknown selector, too many values, a block past the end.
    for (auto payload : {std::initializer_list<std::uint8_t>{0, 0, 0, 0, 0},
                         std::initializer_list<std::uint8_t>{1, 0x04, 0x01, 0, 0},
                         std::initializer_list<std::uint8_t>{2, 0x0F, 0xFF, 0, 2}}) {
        const Answer refused = send(0x62, payload);
        EXPECT_EQ(refused.count(), 1);
        EXPECT_EQ(refused.d(0), 0);
    }
    EXPECT_EQ(errors(), (std::vector<std::int16_t>{-224, -224, -224}));
}

TEST_F(Frames, WaveformCaptureFollowsTheAcField) {
    sim::FieldSource s;
    s.acAmplitude = 0.02;  // 200 G peak
    s.acFrequency = 50.0;
    meter.setField(s);
    meter.setClock(0.0);
    // 20 samples 1 ms apart: one period of 50 Hz.
    const Answer start = send(0x62, {1, 0, 20, 0x03, 0xE8});
    ASSERT_EQ(start.d(0), 1);
    EXPECT_EQ(start.d(14), 0);  // range 0 holds 200 G (2000 counts)
    const Answer packet = send(0x63);
    ASSERT_EQ(packet.d16(0), 20u);
    EXPECT_EQ(packet.d(2), 0);
    for (int i = 0; i < 20; ++i) {
        SCOPED_TRACE(i);
        const double expected = 2000.0 * std::sin(2.0 * 3.141592653589793 * 50.0 * 0.001 * i);
        EXPECT_NEAR(static_cast<std::int16_t>(packet.d16(3 + 2 * i)), expected, 1.0);
    }
    EXPECT_EQ(send(0x23).d16(0), 50u);  // the frequency it reports
}

TEST_F(Frames, LcdShowsWhatTheDisplayWould) {
    struct Case {
        const char* what;
        double tesla;
        std::uint8_t units, acdc;
        const char* text;
        int decimals;
        int flag;  // one annunciator that must be lit
    };
    const Case cases[] = {
        {"123.4 G", 0.01234, 0, 0, "1234", 1, 1},
        {"12.34 mT", 0.01234, 1, 0, "1234", 2, 5},
        {"12.34 kA/m", 0.0155, 2, 0, "1233", 2, 4},
        {"3277 G", 0.32767, 0, 0, "3277", 0, 1},
        {"negative", -0.0005, 0, 0, "  50", 1, 0},
        {"beyond the top range", 50.0, 0, 0, "  OL", 0, 11},
        {"AC", 0.0, 0, 1, " 0.0", 0, 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        field(c.tesla);
        send(0x12, {c.units, c.acdc});
        const Answer a = send(0x17);
        ASSERT_EQ(a.count(), 18);
        const std::string text(reinterpret_cast<const char*>(&a.reply.bytes[4]), 4);
        if (std::string(c.what) != "AC") {
            EXPECT_EQ(text, c.text);
            EXPECT_EQ(a.d(4), c.decimals);
        }
        EXPECT_EQ(a.d(5 + c.flag), 1);
        EXPECT_EQ(a.d(5 + 10), 1);  // AUTO
    }
}

TEST_F(Frames, KeysWorkUnlessTheKeypadIsLockedOut) {
    send(0x16, {1});  // units: gauss -> tesla
    EXPECT_EQ(settings().units, 1);
    send(0x16, {3});  // range: manual, next
    EXPECT_EQ(settings().autoRange, 0);
    EXPECT_EQ(settings().range, 1);
    send(0x35, {1});
    send(0x16, {2});  // AC/DC, ignored
    EXPECT_EQ(settings().acdc, 0);
    EXPECT_EQ(meter.snapshot().counters.lastKey, 2);
    EXPECT_EQ(meter.registers(2).condition & 0x20, 0x20);  // keypad locked
}

TEST_F(Frames, SignalProcessorDiagnostics) {
    field(0.0);
    const Answer groups = send(0x68);
    ASSERT_EQ(groups.count(), 36);
    for (int g = 0; g < 4; ++g) EXPECT_EQ(groups.d(9 * g), g);
    EXPECT_EQ(groups.d16(1), 32768u);  // zero field: mid-scale converter
    send(0x6C, {0, 2, 0xAB, 0xCD});
    const Answer op = send(0x6A, {0, 2, 0, 7, 0, 9});
    ASSERT_EQ(op.count(), 16);
    EXPECT_EQ(op.d16(0), 2u);
    EXPECT_EQ(op.d16(2), 7u);
    EXPECT_EQ(op.d16(4), 9u);
    EXPECT_EQ(op.d16(14), 0xABCDu);
}

TEST_F(Frames, ConverterFollowsFieldMultiplexerAndInput) {
    field(0.015);  // half of range 0's 30 mT
    send(0x38, {0});
    EXPECT_NEAR(send(0x3A).d16(0), 32768 + 16384, 1);
    send(0x38, {3});  // 1 T full scale
    EXPECT_NEAR(send(0x3A).d16(0), 32768 + 491, 1);
    field(-5.0);
    send(0x38, {0});
    EXPECT_EQ(send(0x3A).d16(0), 0u);  // pinned
    send(0x39, {1});                   // the reference input
    EXPECT_EQ(send(0x3A).d16(0), 0x9C40u);
}

}  // namespace
}  // namespace korvel::test
