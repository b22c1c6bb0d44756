// Status-register and error-queue commands.
#include "commands/command.h"

namespace korvel::commands {
namespace {

//                                code                             payload
constexpr Layout kSetEnableRegister{Command::SetEnableRegister, "BB"};  // selector, mask
constexpr Layout kGetEnableRegister{Command::GetEnableRegister, "B"};   // selector
constexpr Layout kGetEventRegister{Command::GetEventRegister, "B"};     // selector
constexpr Layout kGetConditionRegister{Command::GetConditionRegister, "B"};
constexpr Layout kClearEventRegisters{Command::ClearEventRegisters, ""};
constexpr Layout kSetStatusEnable{Command::SetStatusEnable, "B"};
constexpr Layout kGetStatusEnable{Command::GetStatusEnable, ""};
constexpr Layout kGetStatusByte{Command::GetStatusByte, ""};
constexpr Layout kGetNextError{Command::GetNextError, ""};  // answer: d0 d1 signed, high first
constexpr Layout kClearErrorQueue{Command::ClearErrorQueue, ""};
constexpr Layout kPostError{Command::PostError, "W"};  // error number, 16-bit two's complement
constexpr Layout kClearEnableRegisters{Command::ClearEnableRegisters, ""};
constexpr Layout kKeypadLockout{Command::KeypadLockout, "B"};
constexpr Layout kRaiseEvent{Command::RaiseEvent, "BB"};  // selector, event bits

}  // namespace
}  // namespace korvel::commands

using namespace korvel::commands;

KORVEL_API int mtrSetEnableRegister(MeterHandle h, int selector, int mask) {
    return send(h, kSetEnableRegister, {selector, mask});
}
KORVEL_API int mtrGetEnableRegister(MeterHandle h, int selector, unsigned int* mask) {
    return query(h, kGetEnableRegister, {selector}, [&](Data d) { *mask = d.u8(0); });
}
KORVEL_API int mtrGetEventRegister(MeterHandle h, int selector, unsigned int* events) {
    return query(h, kGetEventRegister, {selector}, [&](Data d) { *events = d.u8(0); });
}
KORVEL_API int mtrGetConditionRegister(MeterHandle h, int selector, unsigned int* condition) {
    return query(h, kGetConditionRegister, {selector}, [&](Data d) { *condition = d.u8(0); });
}
KORVEL_API int mtrClearEventRegisters(MeterHandle h) { return send(h, kClearEventRegisters); }
KORVEL_API int mtrSetStatusEnable(MeterHandle h, int mask) { return send(h, kSetStatusEnable, {mask}); }
KORVEL_API int mtrGetStatusEnable(MeterHandle h, unsigned int* mask) {
    return query(h, kGetStatusEnable, {}, [&](Data d) { *mask = d.u8(0); });
}
KORVEL_API int mtrGetStatusByte(MeterHandle h, unsigned int* status) {
    return query(h, kGetStatusByte, {}, [&](Data d) { *status = d.u8(0); });
}
KORVEL_API int mtrGetNextError(MeterHandle h, short* error) {
    return query(h, kGetNextError, {}, [&](Data d) { *error = static_cast<short>(d.s16(0)); });
}
KORVEL_API int mtrClearErrorQueue(MeterHandle h) { return send(h, kClearErrorQueue); }
KORVEL_API int mtrPostError(MeterHandle h, int error) { return send(h, kPostError, {error}); }
KORVEL_API int mtrClearEnableRegisters(MeterHandle h) { return send(h, kClearEnableRegisters); }
KORVEL_API int mtrKeypadLockout(MeterHandle h, int state) { return send(h, kKeypadLockout, {state}); }
KORVEL_API int mtrRaiseEvent(MeterHandle h, int selector, int events) {
    return send(h, kRaiseEvent, {selector, events});
}
