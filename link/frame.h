// Building request frames and validating response frames (layout in protocol.h).
#pragma once

#include <cstdint>

#include "korvel.h"

namespace korvel {

// Fills record with a complete request: cleared in full, then 01 2B code N,
// the payload, and the checksum high byte first; record->length = N + 6.
// N must be 0 to 54 (the caller's limit; larger N is clamped to 54).
void mbBuildRequest(MB_PDU* record, std::uint8_t command, const std::uint8_t* payload, int count);

// Validates a response of which `delivered` bytes (0 to 60) came off the
// wire. Valid when the byte count N is at most 59, the whole frame (N + 6
// bytes) lies within the delivered bytes, and the checksum matches.
// Afterwards record->length holds N + 6, or 4 when N > 59. Reads no byte
// outside the record.
bool mbValidateResponse(MB_PDU* record, int delivered);

}  // namespace korvel
