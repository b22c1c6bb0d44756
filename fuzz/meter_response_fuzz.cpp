// Fuzz target `meter_response`: every exported meter command and
// mtrTransaction against a meter whose answers the input chooses (bytes, the
// number delivered, silence, late answers, refused writes), with unplugs and
// closes between the calls.
//
// Input: a series of steps. Each step is an operation byte (which command, or
// unplug / close), the command's arguments, then whatever the meter consumes
// to answer (fuzz_support.h). After every call:
//   - out-parameters sit in guarded heap blocks: nothing is written past their
//     documented size, nothing at all on failure, and on success they hold
//     exactly the data bytes of the answer that arrived;
//   - the request that reached the meter carries the command's code and its
//     arguments cut to 8 or 16 bits, with a correct checksum;
//   - a sound answer succeeds, a broken or missing one gives -1;
//   - every -1 has released and closed the device (the one refusal of a data
//     transfer aside), and the dead handle never reaches the meter again.
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz/fuzz_support.h"
#include "korvel.h"
#include "link/protocol.h"
#include "sim/bus/virtual_bus.h"

namespace {

using namespace korvel;
using namespace korvel::fuzz;

constexpr int kMaxSteps = 64;

struct Step {
    Input& in;
    FuzzMeter& meter;
    MeterHandle handle;
    // A -1 that leaves the connection open (refused transfer, refused count).
    bool openFailure = false;
    // The call must not reach the meter.
    bool sendsNothing = false;
};

// Bytes of one request payload as the arguments should travel.
struct Payload {
    std::uint8_t bytes[64] = {};
    int n = 0;
    void add8(int v) { bytes[n++] = static_cast<std::uint8_t>(static_cast<unsigned>(v) & 0xFFU); }
    void add16(int v) {
        add8(static_cast<int>(static_cast<unsigned>(v) >> 8));
        add8(v);
    }
    void addLayout(const char* layout, const int* args) {
        for (int i = 0; layout[i] != '\0'; ++i) layout[i] == 'W' ? add16(args[i]) : add8(args[i]);
    }
};

unsigned d8(const FuzzMeter& m, int k) { return m.data(k); }
unsigned d16(const FuzzMeter& m, int k) { return (m.data(k) << 8) | m.data(k + 1); }

void checkRequest(const FuzzMeter& m, std::uint8_t code, const Payload& p, const char* name) {
    const std::uint8_t* q = m.lastRequest();
    FUZZ_REQUIRE(q[0] == 0x01 && q[1] == 0x2B && q[2] == code && q[3] == p.n, "%s: request header %02X %02X %02X %02X",
                 name, q[0], q[1], q[2], q[3]);
    FUZZ_REQUIRE(std::memcmp(q + 4, p.bytes, static_cast<std::size_t>(p.n)) == 0, "%s: payload differs", name);
    const std::uint16_t crc = mbChecksum(q, 4 + p.n);
    FUZZ_REQUIRE(q[4 + p.n] == (crc >> 8) && q[5 + p.n] == (crc & 0xFF), "%s: request checksum", name);
    for (int i = 6 + p.n; i < wire::kTransferSize; ++i) FUZZ_REQUIRE(q[i] == 0, "%s: request byte %d not zero", name, i);
}

// --------------------------------------------------------------- the commands

struct NoArgSetter {
    const char* name;
    std::uint8_t code;
    int (*call)(MeterHandle);
};
constexpr NoArgSetter kNoArgSetters[] = {
    {"mtrRecal", 0x1E, mtrRecal},
    {"mtrAutoZero", 0x1F, mtrAutoZero},
    {"mtrResetHold", 0x28, mtrResetHold},
    {"mtrClearEventRegisters", 0x2D, mtrClearEventRegisters},
    {"mtrClearErrorQueue", 0x32, mtrClearErrorQueue},
    {"mtrClearEnableRegisters", 0x34, mtrClearEnableRegisters},
};

struct OneArgSetter {
    const char* name;
    std::uint8_t code;
    const char* layout;
    int (*call)(MeterHandle, int);
};
constexpr OneArgSetter kOneArgSetters[] = {
    {"mtrSetRange", 0x19, "B", mtrSetRange},
    {"mtrSetAnalogOut", 0x1B, "B", mtrSetAnalogOut},
    {"mtrAutoRange", 0x20, "B", mtrAutoRange},
    {"mtrSetRelative", 0x21, "B", mtrSetRelative},
    {"mtrSetLimit", 0x24, "B", mtrSetLimit},
    {"mtrSetHold", 0x26, "B", mtrSetHold},
    {"mtrSetPwroffTimer", 0x3B, "B", mtrSetPwroffTimer},
    {"mtrSetStatusEnable", 0x2E, "B", mtrSetStatusEnable},
    {"mtrPostError", 0x33, "W", mtrPostError},
    {"mtrKeypadLockout", 0x35, "B", mtrKeypadLockout},
    {"mtrSendKey", 0x16, "B", mtrSendKey},
    {"mtrSetDiagMode", 0x1C, "B", mtrSetDiagMode},
    {"mtrDiagSetRange", 0x38, "B", mtrDiagSetRange},
    {"mtrDiagSetAmpin", 0x39, "B", mtrDiagSetAmpin},
    {"mtrDspSetRange", 0x64, "B", mtrDspSetRange},
    {"mtrDspSetAnalogOut", 0x66, "B", mtrDspSetAnalogOut},
    {"mtrDspSetDacFilterBits", 0x67, "W", mtrDspSetDacFilterBits},
    {"mtrDspSetDiagMode", 0x6B, "B", mtrDspSetDiagMode},
};

struct TwoArgSetter {
    const char* name;
    std::uint8_t code;
    const char* layout;
    int (*call)(MeterHandle, int, int);
};
constexpr TwoArgSetter kTwoArgSetters[] = {
    {"mtrSetUnits", 0x12, "BB", mtrSetUnits},
    {"mtrSetEnableRegister", 0x29, "BB", mtrSetEnableRegister},
    {"mtrRaiseEvent", 0x37, "BB", mtrRaiseEvent},
    {"mtrSetDAC", 0x1D, "WW", mtrSetDAC},
    {"mtrDspSetDAC", 0x6C, "WW", mtrDspSetDAC},
};

// Getters of one unsigned value: a byte ('B') or a 16-bit value ('W') at d0.
struct Getter {
    const char* name;
    std::uint8_t code;
    char width;
    int (*call)(MeterHandle, unsigned int*);
};
constexpr Getter kGetters[] = {
    {"mtrGetRange", 0x1A, 'B', mtrGetRange},
    {"mtrGetRelative", 0x22, 'B', mtrGetRelative},
    {"mtrGetFrequency", 0x23, 'W', mtrGetFrequency},
    {"mtrGetHold", 0x27, 'B', mtrGetHold},
    {"mtrGetStatusEnable", 0x2F, 'B', mtrGetStatusEnable},
    {"mtrGetStatusByte", 0x30, 'B', mtrGetStatusByte},
    {"mtrDiagGetAdc", 0x3A, 'W', mtrDiagGetAdc},
    {"mtrDspGetVersion", 0x60, 'W', mtrDspGetVersion},
};

// Getters of one byte at d0 with one byte of argument.
struct ArgGetter {
    const char* name;
    std::uint8_t code;
    int (*call)(MeterHandle, int, unsigned int*);
};
constexpr ArgGetter kArgGetters[] = {
    {"mtrGetProbeData", 0x25, mtrGetProbeData},
    {"mtrGetEnableRegister", 0x2A, mtrGetEnableRegister},
    {"mtrGetEventRegister", 0x2B, mtrGetEventRegister},
    {"mtrGetConditionRegister", 0x2C, mtrGetConditionRegister},
};

template <typename T, std::size_t N>
constexpr int countOf(const T (&)[N]) { return static_cast<int>(N); }

int runNoArg(Step& s, int index) {
    const NoArgSetter& c = kNoArgSetters[index];
    const int result = c.call(s.handle);
    checkRequest(s.meter, c.code, Payload{}, c.name);
    return result;
}

int runOneArg(Step& s, int index) {
    const OneArgSetter& c = kOneArgSetters[index];
    const int args[] = {s.in.argument()};
    const int result = c.call(s.handle, args[0]);
    Payload p;
    p.addLayout(c.layout, args);
    checkRequest(s.meter, c.code, p, c.name);
    return result;
}

int runTwoArg(Step& s, int index) {
    const TwoArgSetter& c = kTwoArgSetters[index];
    const int args[] = {s.in.argument(), s.in.argument()};
    const int result = c.call(s.handle, args[0], args[1]);
    Payload p;
    p.addLayout(c.layout, args);
    checkRequest(s.meter, c.code, p, c.name);
    return result;
}

int runGetter(Step& s, int index) {
    const Getter& c = kGetters[index];
    Guarded out(sizeof(unsigned int));
    const int result = c.call(s.handle, out.as<unsigned int>());
    checkRequest(s.meter, c.code, Payload{}, c.name);
    FUZZ_REQUIRE(out.guardsIntact(), "%s wrote outside its value", c.name);
    if (result != 0) {
        FUZZ_REQUIRE(out.untouched(), "%s wrote its value on failure", c.name);
    } else {
        const unsigned expected = c.width == 'W' ? d16(s.meter, 0) : d8(s.meter, 0);
        FUZZ_REQUIRE(*out.as<unsigned int>() == expected, "%s gave %u, the meter sent %u", c.name,
                     *out.as<unsigned int>(), expected);
    }
    return result;
}

int runArgGetter(Step& s, int index) {
    const ArgGetter& c = kArgGetters[index];
    const int arg = s.in.argument();
    Guarded out(sizeof(unsigned int));
    const int result = c.call(s.handle, arg, out.as<unsigned int>());
    Payload p;
    p.add8(arg);
    checkRequest(s.meter, c.code, p, c.name);
    FUZZ_REQUIRE(out.guardsIntact(), "%s wrote outside its value", c.name);
    if (result != 0) {
        FUZZ_REQUIRE(out.untouched(), "%s wrote its value on failure", c.name);
    } else {
        FUZZ_REQUIRE(*out.as<unsigned int>() == d8(s.meter, 0), "%s value differs from the meter's", c.name);
    }
    return result;
}

int runReading(Step& s) {
    Guarded out(sizeof(MeterReading));
    const int result = mtrGetReading(s.handle, out.as<MeterReading>());
    checkRequest(s.meter, 0x10, Payload{}, "mtrGetReading");
    FUZZ_REQUIRE(out.guardsIntact(), "mtrGetReading wrote outside the record");
    if (result != 0) {
        FUZZ_REQUIRE(out.untouched(), "mtrGetReading wrote the record on failure");
        return result;
    }
    const MeterReading& r = *out.as<MeterReading>();
    const FuzzMeter& m = s.meter;
    FUZZ_REQUIRE(r.value == static_cast<short>(d16(m, 0)) && r.units == static_cast<int>(d8(m, 2)) &&
                     r.range == static_cast<int>(d8(m, 3)) && r.aux == static_cast<int>(d8(m, 4)) &&
                     r.acdc == static_cast<int>(d8(m, 5)) && r.scale == static_cast<int>(d8(m, 6)),
                 "mtrGetReading decoded other values than the meter sent");
    return result;
}

int runSnapshot(Step& s) {
    Guarded out(sizeof(LcdSnapshot));
    const int result = mtrGetLCDSnapshot(s.handle, out.as<LcdSnapshot>());
    checkRequest(s.meter, 0x17, Payload{}, "mtrGetLCDSnapshot");
    FUZZ_REQUIRE(out.guardsIntact(), "mtrGetLCDSnapshot wrote outside the record");
    if (result != 0) {
        FUZZ_REQUIRE(out.untouched(), "mtrGetLCDSnapshot wrote the record on failure");
        return result;
    }
    const LcdSnapshot& r = *out.as<LcdSnapshot>();
    for (int i = 0; i < 4; ++i)
        FUZZ_REQUIRE(static_cast<unsigned char>(r.text[i]) == d8(s.meter, i), "snapshot text %d", i);
    FUZZ_REQUIRE(r.text[4] == '\0', "snapshot text not terminated");
    FUZZ_REQUIRE(r.code == static_cast<int>(d8(s.meter, 4)), "snapshot code");
    for (int k = 0; k < 13; ++k)
        FUZZ_REQUIRE(r.flags[k] == static_cast<int>(d8(s.meter, 5 + k)), "snapshot flag %d", k);
    return result;
}

int runNextError(Step& s) {
    Guarded out(sizeof(short));
    const int result = mtrGetNextError(s.handle, out.as<short>());
    checkRequest(s.meter, 0x31, Payload{}, "mtrGetNextError");
    FUZZ_REQUIRE(out.guardsIntact(), "mtrGetNextError wrote outside its short");
    if (result != 0)
        FUZZ_REQUIRE(out.untouched(), "mtrGetNextError wrote on failure");
    else
        FUZZ_REQUIRE(*out.as<short>() == static_cast<short>(d16(s.meter, 0)), "error number differs");
    return result;
}

int runInfo(Step& s, bool meterInfo) {
    const char* name = meterInfo ? "mtrGetMeterInfo" : "mtrGetProbeInfo";
    const int size = meterInfo ? wire::kMeterInfoSize : wire::kProbeInfoSize;
    Guarded out(static_cast<std::size_t>(size));
    const int result = meterInfo ? mtrGetMeterInfo(s.handle, out.as<char>()) : mtrGetProbeInfo(s.handle, out.as<char>());
    checkRequest(s.meter, meterInfo ? 0x18 : 0x36, Payload{}, name);
    FUZZ_REQUIRE(out.guardsIntact(), "%s wrote past its %d bytes", name, size);
    if (result != 0) {
        FUZZ_REQUIRE(out.untouched(), "%s wrote on failure", name);
        return result;
    }
    for (int i = 0; i < size; ++i) FUZZ_REQUIRE(out.bytes()[i] == d8(s.meter, i), "%s byte %d", name, i);
    return result;
}

// A count as callers pass it: mostly within a frame, sometimes negative or
// with bits above the 16 that travel.
int eepromCount(Input& in) {
    const std::uint8_t kind = in.byte();
    if (kind < 0xF0) return static_cast<std::int8_t>(in.byte());
    return 0x10000 + in.byte() % 8;
}

int runReadEeprom(Step& s) {
    const int address = s.in.argument();
    const int count = eepromCount(s.in);
    const std::size_t room = count > 0 ? static_cast<std::size_t>(count) : 0U;
    Guarded out(room * sizeof(unsigned int));
    const int result = mtrReadEEPROM(s.handle, address, count, out.as<unsigned int>());
    Payload p;
    p.add16(address);
    p.add16(count);
    checkRequest(s.meter, 0x14, p, "mtrReadEEPROM");
    FUZZ_REQUIRE(out.guardsIntact(), "mtrReadEEPROM wrote past the caller's %d values", count);
    if (result != 0) {
        FUZZ_REQUIRE(out.untouched(), "mtrReadEEPROM wrote on failure");
        return result;
    }
    // Only bytes the frame carries, only as many as asked and reported.
    const int n = s.meter.lastReply().bytes[wire::kPosCount];
    const int held = n > 4 ? n - 4 : 0;
    int stored = static_cast<int>(d16(s.meter, 2));
    if (stored > count) stored = count;
    if (stored > held) stored = held;
    if (stored < 0) stored = 0;
    for (int i = 0; i < stored; ++i)
        FUZZ_REQUIRE(out.as<unsigned int>()[i] == d8(s.meter, 4 + i), "memory byte %d differs", i);
    FUZZ_REQUIRE(out.untouchedFrom(static_cast<std::size_t>(stored) * sizeof(unsigned int)),
                 "mtrReadEEPROM stored more than the %d bytes its frame held", stored);
    return result;
}

int runWriteEeprom(Step& s) {
    const int address = s.in.argument();
    const int count = static_cast<std::int8_t>(s.in.byte());
    const std::size_t room = count > 0 ? static_cast<std::size_t>(count) : 1U;
    std::unique_ptr<int[]> values(new int[room]);
    for (std::size_t i = 0; i < room; ++i) values[i] = s.in.argument();
    std::unique_ptr<int[]> before(new int[room]);
    std::memcpy(before.get(), values.get(), room * sizeof(int));

    const int result = mtrWriteEEPROM(s.handle, address, count, values.get());
    FUZZ_REQUIRE(std::memcmp(before.get(), values.get(), room * sizeof(int)) == 0, "mtrWriteEEPROM changed the values");
    if (count < 0 || count > 50) {  // does not fit one request: refused before the cable
        FUZZ_REQUIRE(result == -1, "mtrWriteEEPROM took a count of %d", count);
        s.sendsNothing = true;
        s.openFailure = true;
        return result;
    }
    Payload p;
    p.add16(address);
    p.add16(count);
    for (int i = 0; i < count; ++i) p.add8(values[static_cast<std::size_t>(i)]);
    checkRequest(s.meter, 0x15, p, "mtrWriteEEPROM");
    return result;
}

int runStartTransfer(Step& s) {
    const int args[] = {s.in.argument(), s.in.argument(), s.in.argument()};
    Guarded out(sizeof(TransferInfo));
    const int result = mtrStartDataTransfer(s.handle, args[0], args[1], args[2], out.as<TransferInfo>());
    Payload p;
    p.addLayout("BWW", args);
    checkRequest(s.meter, 0x62, p, "mtrStartDataTransfer");
    FUZZ_REQUIRE(out.guardsIntact(), "mtrStartDataTransfer wrote outside the record");
    const TransferInfo& info = *out.as<TransferInfo>();
    const bool stillOpen = sim::VirtualBus::instance().claimed(0);
    if (result == -1 && stillOpen) {  // refused by the meter
        FUZZ_REQUIRE(d8(s.meter, 0) == 0, "a transfer the meter accepted (d0 = %u) was refused", d8(s.meter, 0));
        FUZZ_REQUIRE(info.values[10] == 0, "a refused transfer left element 10 at %d", info.values[10]);
        for (int i = 0; i < 10; ++i) {
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(&info.values[i]);
            for (std::size_t b = 0; b < sizeof(int); ++b)
                FUZZ_REQUIRE(bytes[b] == Guarded::kPattern, "a refused transfer wrote element %d", i);
        }
        s.openFailure = true;
        return result;
    }
    if (result != 0) {
        FUZZ_REQUIRE(out.untouched(), "a failed transfer start wrote the record");
        return result;
    }
    FUZZ_REQUIRE(d8(s.meter, 0) != 0 && info.values[10] == 1, "an accepted transfer without its flag");
    const int positions[10][2] = {{1, 2}, {3, 2}, {5, 2}, {7, 2}, {9, 2}, {11, 2}, {13, 1}, {14, 1}, {15, 2}, {17, 2}};
    for (int i = 0; i < 10; ++i) {
        const unsigned expected = positions[i][1] == 2 ? d16(s.meter, positions[i][0]) : d8(s.meter, positions[i][0]);
        FUZZ_REQUIRE(info.values[i] == static_cast<int>(expected), "transfer element %d", i);
    }
    return result;
}

int runNextPacket(Step& s) {
    constexpr int kRoom = 28;  // the documented room of the caller's array
    Guarded count(sizeof(unsigned int));
    Guarded values(kRoom * sizeof(unsigned int));
    const int result = mtrReadNextDataPacket(s.handle, count.as<unsigned int>(), values.as<unsigned int>());
    checkRequest(s.meter, 0x63, Payload{}, "mtrReadNextDataPacket");
    FUZZ_REQUIRE(count.guardsIntact() && values.guardsIntact(), "mtrReadNextDataPacket wrote outside its arrays");
    if (result == -1) {
        FUZZ_REQUIRE(count.untouched() && values.untouched(), "mtrReadNextDataPacket wrote on failure");
        return result;
    }
    FUZZ_REQUIRE(result == (d8(s.meter, 2) != 0 ? 1 : 0), "packet result %d for flag byte %u", result, d8(s.meter, 2));
    const int n = s.meter.lastReply().bytes[wire::kPosCount];
    const int held = n > 3 ? (n - 3) / 2 : 0;
    int expected = static_cast<int>(d16(s.meter, 0));
    if (expected > held) expected = held;
    const unsigned stored = *count.as<unsigned int>();
    FUZZ_REQUIRE(stored == static_cast<unsigned>(expected), "packet count %u, frame holds %d", stored, expected);
    for (unsigned i = 0; i < stored; ++i)
        FUZZ_REQUIRE(values.as<unsigned int>()[i] == d16(s.meter, 3 + 2 * static_cast<int>(i)), "packet value %u", i);
    FUZZ_REQUIRE(values.untouchedFrom(stored * sizeof(unsigned int)), "packet values past the count written");
    return result;
}

int runReadingDiag(Step& s) {
    Guarded records[4] = {Guarded(sizeof(DspDiagReading)), Guarded(sizeof(DspDiagReading)),
                          Guarded(sizeof(DspDiagReading)), Guarded(sizeof(DspDiagReading))};
    const int result = mtrDspGetReadingDiag(s.handle, records[0].as<DspDiagReading>(), records[1].as<DspDiagReading>(),
                                            records[2].as<DspDiagReading>(), records[3].as<DspDiagReading>());
    checkRequest(s.meter, 0x68, Payload{}, "mtrDspGetReadingDiag");
    for (int g = 0; g < 4; ++g) {
        Guarded& r = records[g];
        FUZZ_REQUIRE(r.guardsIntact(), "mtrDspGetReadingDiag wrote outside record %d", g);
        if (result != 0) {
            FUZZ_REQUIRE(r.untouched(), "mtrDspGetReadingDiag wrote record %d on failure", g);
            continue;
        }
        const int* v = r.as<DspDiagReading>()->values;
        const int base = 9 * g;
        const int expected[11] = {static_cast<int>(d16(s.meter, base + 1)), 0, static_cast<int>(d16(s.meter, base + 3)),
                                  0, static_cast<int>(d16(s.meter, base + 5)), 0, 0, 0, 0,
                                  static_cast<int>(d16(s.meter, base + 7)), static_cast<int>(d8(s.meter, base))};
        for (int i = 0; i < 11; ++i) FUZZ_REQUIRE(v[i] == expected[i], "diag record %d element %d", g, i);
    }
    return result;
}

int runDiagOperation(Step& s) {
    const int args[] = {s.in.argument(), s.in.argument(), s.in.argument()};
    Guarded out(sizeof(DspDiagResult));
    const int result = mtrDspDiagOperation(s.handle, args[0], args[1], args[2], out.as<DspDiagResult>());
    Payload p;
    p.addLayout("WWW", args);
    checkRequest(s.meter, 0x6A, p, "mtrDspDiagOperation");
    FUZZ_REQUIRE(out.guardsIntact(), "mtrDspDiagOperation wrote outside the record");
    if (result != 0) {
        FUZZ_REQUIRE(out.untouched(), "mtrDspDiagOperation wrote on failure");
        return result;
    }
    for (int i = 0; i < 8; ++i)
        FUZZ_REQUIRE(out.as<DspDiagResult>()->values[i] == static_cast<int>(d16(s.meter, 2 * i)), "operation result %d", i);
    return result;
}

int runTransaction(Step& s) {
    Guarded request(sizeof(MB_PDU));
    Guarded response(sizeof(MB_PDU));
    s.in.take(request.bytes(), static_cast<int>(sizeof(MB_PDU)));
    MB_PDU before;
    std::memcpy(&before, request.bytes(), sizeof before);

    const int result = mtrTransaction(s.handle, request.as<MB_PDU>(), response.as<MB_PDU>());
    FUZZ_REQUIRE(request.guardsIntact() && response.guardsIntact(), "mtrTransaction wrote outside the records");
    FUZZ_REQUIRE(std::memcmp(&before, request.bytes(), sizeof before) == 0, "mtrTransaction changed the request");
    FUZZ_REQUIRE(std::memcmp(s.meter.lastRequest(), before.frame, wire::kTransferSize) == 0,
                 "mtrTransaction did not send the caller's 60 bytes as they stand");
    const MB_PDU& r = *response.as<MB_PDU>();
    const int delivered = s.meter.lastDelivered();
    if (delivered == 0) {  // nothing read: no validation ran
        FUZZ_REQUIRE(result == -1 && r.length == Guarded::kPattern, "mtrTransaction touched the length without a read");
        return result;
    }
    for (int i = 0; i < delivered; ++i)
        FUZZ_REQUIRE(r.frame[i] == s.meter.lastReply().bytes[i], "response byte %d is not what was read", i);
    FUZZ_REQUIRE(response.untouchedFrom(1 + static_cast<std::size_t>(delivered)), "bytes past the read were written");
    const int n = r.frame[wire::kPosCount];
    FUZZ_REQUIRE(r.length == (n > wire::kMaxAcceptedCount ? wire::kHeaderSize : n + 6), "response length %d for count %d",
                 r.length, n);
    return result;
}

// ------------------------------------------------------------------ the driver

int totalCommands() {
    return countOf(kNoArgSetters) + countOf(kOneArgSetters) + countOf(kTwoArgSetters) + countOf(kGetters) +
           countOf(kArgGetters) + 13;
}

int runCommand(Step& s, int which) {
    if (which < countOf(kNoArgSetters)) return runNoArg(s, which);
    which -= countOf(kNoArgSetters);
    if (which < countOf(kOneArgSetters)) return runOneArg(s, which);
    which -= countOf(kOneArgSetters);
    if (which < countOf(kTwoArgSetters)) return runTwoArg(s, which);
    which -= countOf(kTwoArgSetters);
    if (which < countOf(kGetters)) return runGetter(s, which);
    which -= countOf(kGetters);
    if (which < countOf(kArgGetters)) return runArgGetter(s, which);
    which -= countOf(kArgGetters);
    switch (which) {
    case 0: return runReading(s);
    case 1: return runSnapshot(s);
    case 2: return runNextError(s);
    case 3: return runInfo(s, true);
    case 4: return runInfo(s, false);
    case 5: return runReadEeprom(s);
    case 6: return runWriteEeprom(s);
    case 7: return runStartTransfer(s);
    case 8: return runNextPacket(s);
    case 9: return runReadingDiag(s);
    case 10: return runDiagOperation(s);
    case 11: return runTransaction(s);
    default: return runReading(s);
    }
}

bool connectionOpen() {
    const sim::VirtualBus& bus = sim::VirtualBus::instance();
    return bus.claimed(0) && bus.openHandles() == 1;
}
bool connectionClosed() {
    const sim::VirtualBus& bus = sim::VirtualBus::instance();
    return !bus.claimed(0) && bus.openHandles() == 0;
}

// A dead handle answers -1 at once and never reaches the meter.
void checkDead(FuzzMeter& meter, MeterHandle handle) {
    const int before = meter.requests();
    unsigned int value = 0;
    FUZZ_REQUIRE(mtrGetStatusByte(handle, &value) == -1, "a dead handle still exchanges");
    FUZZ_REQUIRE(meter.requests() == before, "a dead handle reached the meter");
    closeKorvel(handle);  // does nothing
    FUZZ_REQUIRE(connectionClosed(), "closing a dead handle touched the bus");
}

MeterHandle reopen(FuzzMeter& meter, Input& in) {
    meter.detach();  // the open's range query gets a sound answer
    const MeterHandle handle = openKorvel();
    FUZZ_REQUIRE(handle != 0, "the meter could not be opened again");
    FUZZ_REQUIRE(connectionOpen(), "an open handle without a claimed interface");
    meter.attach(&in);
    return handle;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    sim::VirtualBus& bus = sim::VirtualBus::instance();
    bus.reset();
    bus.setTimeScale(0);  // timeouts cost nothing
    bus.setLatency(0);  // exchanges answered at once
    auto meter = std::make_shared<FuzzMeter>();
    bus.attach(meter, wire::kVendorId, wire::kProductId);

    Input in(data, size);
    MeterHandle handle = reopen(*meter, in);
    for (int step = 0; step < kMaxSteps && !in.empty(); ++step) {
        const std::uint8_t op = in.byte();
        if (op == 0xFF) {  // the cable is pulled between two calls
            bus.unplug(0);
            const int before = meter->requests();
            unsigned int value = 0;
            FUZZ_REQUIRE(mtrGetRange(handle, &value) == -1, "an exchange with an unplugged meter succeeded");
            FUZZ_REQUIRE(meter->requests() == before, "an unplugged meter was reached");
            FUZZ_REQUIRE(bus.openHandles() == 0, "the device was not closed after the unplug");
            bus.replug(0);
            checkDead(*meter, handle);
            handle = reopen(*meter, in);
            continue;
        }
        if (op == 0xFE) {  // closed and opened again: the old handle stays dead
            closeKorvel(handle);
            FUZZ_REQUIRE(connectionClosed(), "closeKorvel left the device open");
            checkDead(*meter, handle);
            handle = reopen(*meter, in);
            continue;
        }

        Step s{in, *meter, handle};
        const int before = meter->requests();
        const int result = runCommand(s, op % totalCommands());
        const int reached = meter->requests() - before;
        FUZZ_REQUIRE(result >= -1 && result <= 1, "result %d", result);
        if (s.sendsNothing) {
            FUZZ_REQUIRE(reached == 0, "a refused call reached the meter");
        } else {
            FUZZ_REQUIRE(reached == 1, "one call made %d exchanges", reached);
            const Expect expect = meter->lastExpect();
            if (expect == Expect::Failure)
                FUZZ_REQUIRE(result == -1, "a broken answer gave %d", result);
            if (expect == Expect::Success && !s.openFailure)
                FUZZ_REQUIRE(result != -1, "a sound answer gave -1");
        }
        if (result == -1 && !s.openFailure) {
            FUZZ_REQUIRE(connectionClosed(), "a failed exchange left the device open");
            checkDead(*meter, handle);
            handle = reopen(*meter, in);
        } else {
            FUZZ_REQUIRE(connectionOpen(), "a successful call closed the device");
        }
    }
    closeKorvel(handle);
    FUZZ_REQUIRE(connectionClosed(), "closeKorvel left the device open");
    meter->detach();
    return 0;
}
