// The one request/response exchange every meter command goes through.
#pragma once

#include <cstdint>

#include "korvel.h"

namespace korvel::link {

// Writes request->frame[0..59] to the meter, reads up to 60 bytes into
// response->frame and validates them. Returns 0 on a valid response. On a
// failed write, read or validation: releases interface 0, closes the device,
// kills the handle and returns -1 (a dead handle returns -1 at once).
// With clearUndelivered, the frame bytes the read did not deliver are zeroed,
// so decoders see zeros there, never leftovers.
int transact(MeterHandle handle, const MB_PDU& request, MB_PDU* response,
             bool clearUndelivered = false);

// Builds the request for `command` with `count` payload bytes and runs
// transact() with clearUndelivered.
int commandExchange(MeterHandle handle, std::uint8_t command, const std::uint8_t* payload,
                    int count, MB_PDU* response);

}  // namespace korvel::link
