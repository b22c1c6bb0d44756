// Identity, memory and data-transfer commands.
#include <cstdio>
#include <cstring>

#include "commands/command.h"

namespace korvel::commands {
namespace {

//                                 code                         payload
constexpr Layout kReadEeprom{Command::ReadEeprom, "WW"};    // address, count
constexpr Layout kWriteEeprom{Command::WriteEeprom, "WW"};  // address, count, then count bytes
constexpr Layout kSendKey{Command::SendKey, "B"};
constexpr Layout kGetMeterInfo{Command::GetMeterInfo, ""};  // answer: d0..d39 verbatim
constexpr Layout kGetProbeInfo{Command::GetProbeInfo, ""};  // answer: d0..d23 verbatim
constexpr Layout kDspGetVersion{Command::DspGetVersion, ""};
constexpr Layout kStartDataTransfer{Command::StartDataTransfer, "BWW"};  // selector, first, second
constexpr Layout kReadNextDataPacket{Command::ReadNextDataPacket, ""};

// Memory read answer: d0 d1 address echo, d2 d3 bytes read, d4.. the bytes.
constexpr int kEepromHeader = 4;
// The most bytes one write request carries: 60 - 6 framing - 4 header.
constexpr int kMaxEepromWrite = wire::kMaxRequestPayload - kEepromHeader;  // 50

// Transfer answer: d0 accepted flag; elements 0-5 from d1..d12 (16-bit),
// 6 and 7 from d13 and d14, 8 and 9 from d15..d18 (16-bit); element 10 flag.
struct TransferField {
    int element, position, width;
};
constexpr TransferField kTransferFields[] = {
    {0, 1, 2}, {1, 3, 2}, {2, 5, 2},   {3, 7, 2},   {4, 9, 2},
    {5, 11, 2}, {6, 13, 1}, {7, 14, 1}, {8, 15, 2}, {9, 17, 2},
};
constexpr int kTransferAccepted = 10;

// Packet answer: d0 d1 value count, d2 flag byte, value i at d[3 + 2i].
constexpr int kPacketHeader = 3;

int minimum(int a, int b) { return a < b ? a : b; }

}  // namespace
}  // namespace korvel::commands

using namespace korvel::commands;

KORVEL_API int mtrReadEEPROM(MeterHandle h, int address, int count, unsigned int* values) {
    return query(h, kReadEeprom, {address, count}, [&](Data d) {
        const unsigned echoed = d.u16(0);
        const int reported = static_cast<int>(d.u16(2));
        std::printf("eepromAddr = %04x, bytesRead = %04x\n", echoed, static_cast<unsigned>(reported));
        std::fflush(stdout);
        // Store only what was asked for and what the frame really carries.
        const int held = d.count() > kEepromHeader ? d.count() - kEepromHeader : 0;
        const int stored = minimum(minimum(reported, count), held);
        for (int i = 0; i < stored; ++i) values[i] = d.u8(kEepromHeader + i);
    });
}

KORVEL_API int mtrWriteEEPROM(MeterHandle h, int address, int count, const int* values) {
    if (count < 0 || count > kMaxEepromWrite) return -1;  // would not fit one frame
    std::uint8_t payload[korvel::wire::kMaxRequestPayload];
    int n = encodePayload(kWriteEeprom, {address, count}, payload, kEepromHeader);
    for (int i = 0; i < count; ++i) payload[n++] = static_cast<std::uint8_t>(values[i] & 0xFF);
    MB_PDU response;
    return korvel::link::commandExchange(h, static_cast<std::uint8_t>(kWriteEeprom.code), payload,
                                         n, &response);
}

KORVEL_API int mtrSendKey(MeterHandle h, int key) { return send(h, kSendKey, {key}); }

KORVEL_API int mtrGetMeterInfo(MeterHandle h, char* info) {
    return query(h, kGetMeterInfo, {}, [&](Data d) {
        d.copy(0, info, korvel::wire::kMeterInfoSize);
    });
}

KORVEL_API int mtrGetProbeInfo(MeterHandle h, char* info) {
    return query(h, kGetProbeInfo, {}, [&](Data d) {
        d.copy(0, info, korvel::wire::kProbeInfoSize);
    });
}

KORVEL_API int mtrDspGetVersion(MeterHandle h, unsigned int* version) {
    return query(h, kDspGetVersion, {}, [&](Data d) { *version = d.u16(0); });
}

KORVEL_API int mtrStartDataTransfer(MeterHandle h, int selector, int first, int second,
                                    TransferInfo* info) {
    bool accepted = false;
    const int status = query(h, kStartDataTransfer, {selector, first, second}, [&](Data d) {
        accepted = d.u8(0) != 0;
        info->values[kTransferAccepted] = accepted ? 1 : 0;
        if (!accepted) return;  // refused: the connection stays open
        for (const TransferField& f : kTransferFields)
            info->values[f.element] = static_cast<int>(f.width == 2 ? d.u16(f.position) : d.u8(f.position));
    });
    if (status != 0) return status;
    return accepted ? 0 : -1;
}

KORVEL_API int mtrReadNextDataPacket(MeterHandle h, unsigned int* count, unsigned int* values) {
    int flag = 0;
    const int status = query(h, kReadNextDataPacket, {}, [&](Data d) {
        const int reported = static_cast<int>(d.u16(0));
        const int held = d.count() > kPacketHeader ? (d.count() - kPacketHeader) / 2 : 0;
        const int stored = minimum(reported, held);
        for (int i = 0; i < stored; ++i) values[i] = d.u16(kPacketHeader + 2 * i);
        *count = static_cast<unsigned>(stored);
        flag = d.u8(2) != 0 ? 1 : 0;
    });
    return status != 0 ? status : flag;
}
