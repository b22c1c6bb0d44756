// Diagnostic and signal-processor commands.
#include "commands/command.h"

namespace korvel::commands {
namespace {

//                                 code                            payload
constexpr Layout kSetDiagMode{Command::SetDiagMode, "B"};
constexpr Layout kSetDac{Command::SetDac, "WW"};  // dac, value
constexpr Layout kDiagSetRange{Command::DiagSetRange, "B"};
constexpr Layout kDiagSetAmpin{Command::DiagSetAmpin, "B"};
constexpr Layout kDiagGetAdc{Command::DiagGetAdc, ""};  // answer: d0 d1 unsigned
constexpr Layout kDspSetRange{Command::DspSetRange, "B"};
constexpr Layout kDspSetAnalogOut{Command::DspSetAnalogOut, "B"};
constexpr Layout kDspSetDacFilterBits{Command::DspSetDacFilterBits, "W"};
constexpr Layout kDspGetReadingDiag{Command::DspGetReadingDiag, ""};
constexpr Layout kDspDiagOperation{Command::DspDiagOperation, "WWW"};
constexpr Layout kDspSetDiagMode{Command::DspSetDiagMode, "B"};
constexpr Layout kDspSetDac{Command::DspSetDac, "WW"};

// Reading diagnostics: four 9-byte groups, group g at d[9g]:
//   byte 0 -> values[10]; bytes 1-2 -> [0]; 3-4 -> [2]; 5-6 -> [4]; 7-8 -> [9];
//   values[1], [3], [5] to [8] are always 0.
constexpr int kGroupSize = 9;
void decodeGroup(const Data& d, int group, DspDiagReading* out) {
    const int base = group * kGroupSize;
    for (int& v : out->values) v = 0;
    out->values[10] = static_cast<int>(d.u8(base));
    out->values[0] = static_cast<int>(d.u16(base + 1));
    out->values[2] = static_cast<int>(d.u16(base + 3));
    out->values[4] = static_cast<int>(d.u16(base + 5));
    out->values[9] = static_cast<int>(d.u16(base + 7));
}

// Diagnostic operation: eight 16-bit results, high byte first, at d[2i].
constexpr int kOperationResults = 8;

}  // namespace
}  // namespace korvel::commands

using namespace korvel::commands;

KORVEL_API int mtrSetDiagMode(MeterHandle h, int mode) { return send(h, kSetDiagMode, {mode}); }
KORVEL_API int mtrSetDAC(MeterHandle h, int dac, int value) { return send(h, kSetDac, {dac, value}); }
KORVEL_API int mtrDiagSetRange(MeterHandle h, int range) { return send(h, kDiagSetRange, {range}); }
KORVEL_API int mtrDiagSetAmpin(MeterHandle h, int ampin) { return send(h, kDiagSetAmpin, {ampin}); }
KORVEL_API int mtrDiagGetAdc(MeterHandle h, unsigned int* reading) {
    return query(h, kDiagGetAdc, {}, [&](Data d) { *reading = d.u16(0); });
}
KORVEL_API int mtrDspSetRange(MeterHandle h, int range) { return send(h, kDspSetRange, {range}); }
KORVEL_API int mtrDspSetAnalogOut(MeterHandle h, int setting) {
    return send(h, kDspSetAnalogOut, {setting});
}
KORVEL_API int mtrDspSetDacFilterBits(MeterHandle h, int bits) {
    return send(h, kDspSetDacFilterBits, {bits});
}
KORVEL_API int mtrDspGetReadingDiag(MeterHandle h, DspDiagReading* first, DspDiagReading* second,
                                    DspDiagReading* third, DspDiagReading* fourth) {
    return query(h, kDspGetReadingDiag, {}, [&](Data d) {
        DspDiagReading* records[] = {first, second, third, fourth};
        for (int g = 0; g < 4; ++g) decodeGroup(d, g, records[g]);
    });
}
KORVEL_API int mtrDspDiagOperation(MeterHandle h, int first, int second, int third,
                                   DspDiagResult* result) {
    return query(h, kDspDiagOperation, {first, second, third}, [&](Data d) {
        for (int i = 0; i < kOperationResults; ++i) result->values[i] = static_cast<int>(d.u16(2 * i));
    });
}
KORVEL_API int mtrDspSetDiagMode(MeterHandle h, int mode) { return send(h, kDspSetDiagMode, {mode}); }
KORVEL_API int mtrDspSetDAC(MeterHandle h, int first, int second) {
    return send(h, kDspSetDac, {first, second});
}
