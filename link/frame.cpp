#include "link/frame.h"

#include <cstring>

#include "link/checksum.h"
#include "link/protocol.h"

namespace korvel {

using namespace wire;

void mbBuildRequest(MB_PDU* record, std::uint8_t command, const std::uint8_t* payload, int count) {
    if (count < 0) count = 0;
    if (count > kMaxRequestPayload) count = kMaxRequestPayload;
    std::memset(record, 0, sizeof *record);  // every byte after the checksum goes on the wire
    std::uint8_t* f = record->frame;
    f[kPosAddress] = kAddress;
    f[kPosFunction] = kFunction;
    f[kPosCommand] = command;
    f[kPosCount] = static_cast<std::uint8_t>(count);
    if (count > 0) std::memcpy(f + kPosData, payload, static_cast<std::size_t>(count));
    const int covered = kHeaderSize + count;
    const std::uint16_t crc = mbChecksum(f, covered);
    f[covered] = static_cast<std::uint8_t>(crc >> 8);
    f[covered + 1] = static_cast<std::uint8_t>(crc & 0xFF);
    record->length = static_cast<unsigned char>(covered + kChecksumSize);
}

bool mbValidateResponse(MB_PDU* record, int delivered) {
    const int n = record->frame[kPosCount];
    if (n > kMaxAcceptedCount) {
        record->length = kHeaderSize;
        return false;
    }
    const int total = n + kHeaderSize + kChecksumSize;
    record->length = static_cast<unsigned char>(total);
    // A frame whose checksum lies beyond what the meter sent (N of 55 to 59,
    // or a short read) would be judged on bytes that never crossed the wire.
    if (total > delivered || total > kTransferSize) return false;
    const int covered = kHeaderSize + n;
    const unsigned received = (unsigned{record->frame[covered]} << 8) | record->frame[covered + 1];
    return received == mbChecksum(record->frame, covered);
}

}  // namespace korvel
