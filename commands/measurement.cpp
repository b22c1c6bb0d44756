// Measurement and configuration commands.
#include "commands/command.h"

namespace korvel::commands {
namespace {

//                           code                      payload
constexpr Layout kGetReading{Command::GetReading, ""};
constexpr Layout kGetLcdSnapshot{Command::GetLcdSnapshot, ""};
constexpr Layout kSetUnits{Command::SetUnits, "BB"};  // units, acdc
constexpr Layout kSetRange{Command::SetRange, "B"};
constexpr Layout kGetRange{Command::GetRange, ""};
constexpr Layout kSetAnalogOut{Command::SetAnalogOut, "B"};
constexpr Layout kRecal{Command::Recal, ""};
constexpr Layout kAutoZero{Command::AutoZero, ""};
constexpr Layout kAutoRange{Command::AutoRange, "B"};
constexpr Layout kSetRelative{Command::SetRelative, "B"};
constexpr Layout kGetRelative{Command::GetRelative, ""};
constexpr Layout kGetFrequency{Command::GetFrequency, ""};
constexpr Layout kSetLimit{Command::SetLimit, "B"};
constexpr Layout kGetProbeData{Command::GetProbeData, "B"};  // index
constexpr Layout kSetHold{Command::SetHold, "B"};
constexpr Layout kGetHold{Command::GetHold, ""};
constexpr Layout kResetHold{Command::ResetHold, ""};
constexpr Layout kSetPwroffTimer{Command::SetPwroffTimer, "B"};

// Reading:  d0 d1 value (signed, high first), d2 units, d3 range, d4 aux,
//           d5 acdc, d6 scale.
// Snapshot: d0..d3 text, d4 code, d5..d17 flags[0..12].
constexpr int kSnapshotFlags = 13;

}  // namespace
}  // namespace korvel::commands

using namespace korvel::commands;

KORVEL_API int mtrGetReading(MeterHandle h, MeterReading* reading) {
    return query(h, kGetReading, {}, [&](Data d) {
        reading->value = static_cast<short>(d.s16(0));
        reading->units = static_cast<int>(d.u8(2));
        reading->range = static_cast<int>(d.u8(3));
        reading->aux = static_cast<int>(d.u8(4));
        reading->acdc = static_cast<int>(d.u8(5));
        reading->scale = static_cast<int>(d.u8(6));
    });
}

KORVEL_API int mtrGetLCDSnapshot(MeterHandle h, LcdSnapshot* snapshot) {
    return query(h, kGetLcdSnapshot, {}, [&](Data d) {
        for (int i = 0; i < 4; ++i) snapshot->text[i] = static_cast<char>(d.u8(i));
        snapshot->text[4] = '\0';
        snapshot->code = static_cast<int>(d.u8(4));
        for (int k = 0; k < kSnapshotFlags; ++k) snapshot->flags[k] = static_cast<int>(d.u8(5 + k));
    });
}

KORVEL_API int mtrSetUnits(MeterHandle h, int units, int acdc) { return send(h, kSetUnits, {units, acdc}); }
KORVEL_API int mtrSetRange(MeterHandle h, int range) { return send(h, kSetRange, {range}); }
KORVEL_API int mtrGetRange(MeterHandle h, unsigned int* range) {
    return query(h, kGetRange, {}, [&](Data d) { *range = d.u8(0); });
}
KORVEL_API int mtrSetAnalogOut(MeterHandle h, int mode) { return send(h, kSetAnalogOut, {mode}); }
KORVEL_API int mtrRecal(MeterHandle h) { return send(h, kRecal); }
KORVEL_API int mtrAutoZero(MeterHandle h) { return send(h, kAutoZero); }
KORVEL_API int mtrAutoRange(MeterHandle h, int state) { return send(h, kAutoRange, {state}); }
KORVEL_API int mtrSetRelative(MeterHandle h, int mode) { return send(h, kSetRelative, {mode}); }
KORVEL_API int mtrGetRelative(MeterHandle h, unsigned int* mode) {
    return query(h, kGetRelative, {}, [&](Data d) { *mode = d.u8(0); });
}
KORVEL_API int mtrGetFrequency(MeterHandle h, unsigned int* frequency) {
    return query(h, kGetFrequency, {}, [&](Data d) { *frequency = d.u16(0); });
}
KORVEL_API int mtrSetLimit(MeterHandle h, int state) { return send(h, kSetLimit, {state}); }
KORVEL_API int mtrGetProbeData(MeterHandle h, int index, unsigned int* value) {
    return query(h, kGetProbeData, {index}, [&](Data d) { *value = d.u8(0); });
}
KORVEL_API int mtrSetHold(MeterHandle h, int mode) { return send(h, kSetHold, {mode}); }
KORVEL_API int mtrGetHold(MeterHandle h, unsigned int* mode) {
    return query(h, kGetHold, {}, [&](Data d) { *mode = d.u8(0); });
}
KORVEL_API int mtrResetHold(MeterHandle h) { return send(h, kResetHold); }
KORVEL_API int mtrSetPwroffTimer(MeterHandle h, int state) { return send(h, kSetPwroffTimer, {state}); }
