// The meter's wire protocol: what both ends of the cable agree on.
//
// One request frame and one response frame per exchange, each carried in one
// 60-byte bulk transfer (OUT endpoint 0x01, IN endpoint 0x81):
//
//   byte:  0      1      2      3      4 .. 3+N     4+N      5+N     .. 59
//        +------+------+------+------+-----------+--------+--------+-------+
//        | 0x01 | 0x2B | code |  N   | data[N]   | crc hi | crc lo | 0 ... |
//        +------+------+------+------+-----------+--------+--------+-------+
//         addr   func   command count  payload    CRC-16/MODBUS of bytes
//                                                 0..3+N, high byte FIRST
//                                                 (Modbus RTU sends it low first)
//
// Multi-byte values inside the data travel most significant byte first.
// The simulated meter shares this file (and the checksum); it never shares the
// library's encoders or decoders.
#pragma once

#include <cstdint>

#ifndef KORVEL_USB_VENDOR_ID
#define KORVEL_USB_VENDOR_ID 0x1209
#endif
#ifndef KORVEL_USB_PRODUCT_ID
#define KORVEL_USB_PRODUCT_ID 0x0001
#endif

namespace korvel::wire {

// USB identity of the meter (configurable at build time for sites whose
// meters carry other ids).
inline constexpr std::uint16_t kVendorId = KORVEL_USB_VENDOR_ID;
inline constexpr std::uint16_t kProductId = KORVEL_USB_PRODUCT_ID;

inline constexpr int kConfiguration = 1;
inline constexpr int kInterface = 0;
inline constexpr int kEndpointOut = 0x01;
inline constexpr int kEndpointIn = 0x81;
inline constexpr int kTransferSize = 60;
inline constexpr int kWriteTimeoutMs = 500;
inline constexpr int kReadTimeoutMs = 2000;

inline constexpr std::uint8_t kAddress = 0x01;
inline constexpr std::uint8_t kFunction = 0x2B;
inline constexpr int kHeaderSize = 4;     // address, function, command, count
inline constexpr int kChecksumSize = 2;
inline constexpr int kMaxRequestPayload = kTransferSize - kHeaderSize - kChecksumSize;  // 54
inline constexpr int kMaxAcceptedCount = 59;  // a larger byte count is never valid

// Frame byte positions.
inline constexpr int kPosAddress = 0;
inline constexpr int kPosFunction = 1;
inline constexpr int kPosCommand = 2;
inline constexpr int kPosCount = 3;
inline constexpr int kPosData = 4;

// Command codes (frame byte 2).
enum class Command : std::uint8_t {
    GetReading = 0x10,
    SetUnits = 0x12,
    ReadEeprom = 0x14,
    WriteEeprom = 0x15,
    SendKey = 0x16,
    GetLcdSnapshot = 0x17,
    GetMeterInfo = 0x18,
    SetRange = 0x19,
    GetRange = 0x1A,
    SetAnalogOut = 0x1B,
    SetDiagMode = 0x1C,
    SetDac = 0x1D,
    Recal = 0x1E,
    AutoZero = 0x1F,
    AutoRange = 0x20,
    SetRelative = 0x21,
    GetRelative = 0x22,
    GetFrequency = 0x23,
    SetLimit = 0x24,
    GetProbeData = 0x25,
    SetHold = 0x26,
    GetHold = 0x27,
    ResetHold = 0x28,
    SetEnableRegister = 0x29,
    GetEnableRegister = 0x2A,
    GetEventRegister = 0x2B,
    GetConditionRegister = 0x2C,
    ClearEventRegisters = 0x2D,
    SetStatusEnable = 0x2E,
    GetStatusEnable = 0x2F,
    GetStatusByte = 0x30,
    GetNextError = 0x31,
    ClearErrorQueue = 0x32,
    PostError = 0x33,
    ClearEnableRegisters = 0x34,
    KeypadLockout = 0x35,
    GetProbeInfo = 0x36,
    RaiseEvent = 0x37,
    DiagSetRange = 0x38,
    DiagSetAmpin = 0x39,
    DiagGetAdc = 0x3A,
    SetPwroffTimer = 0x3B,
    DspGetVersion = 0x60,
    StartDataTransfer = 0x62,
    ReadNextDataPacket = 0x63,
    DspSetRange = 0x64,
    DspSetAnalogOut = 0x66,
    DspSetDacFilterBits = 0x67,
    DspGetReadingDiag = 0x68,
    DspDiagOperation = 0x6A,
    DspSetDiagMode = 0x6B,
    DspSetDac = 0x6C,
};

// Register set selectors of the status commands.
enum RegisterSet : std::uint8_t {
    kStandardEvent = 0,
    kMeasurement = 1,
    kOperation = 2,
    kQuestionable = 3,
};

// Sizes of the identification blocks.
inline constexpr int kMeterInfoSize = 40;
inline constexpr int kProbeInfoSize = 24;

}  // namespace korvel::wire
