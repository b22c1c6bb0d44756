// The one request/response exchange every meter command goes through.
#pragma once

#include <cstdint>

#include "korvel.h"

namespace korvel::link {

// Writes request->frame[0..59] to the meter, reads up to 60 bytes into
// response->frame and validates them. Returns 0 on a valid response. On a
// failed write, read or validation: releases interface 0, closes the device,
// kills the handle and returns -1 (a dead handle returns -1 at once).
int transact(MeterHandle handle, const MB_PDU& request, MB_PDU* response);

// Builds the request for `command` with `count` payload bytes, clears
// *response and runs transact().
int commandExchange(MeterHandle handle, std::uint8_t command, const std::uint8_t* payload,
                    int count, MB_PDU* response);

}  // namespace korvel::link
