// CRC-16/MODBUS (reflected polynomial 0xA001, initial 0xFFFF, no final XOR).
// Shared by the library and the simulated meter: both ends compute it alike.
#pragma once

#include <cstdint>

namespace korvel {

// Checksum of count bytes (the library uses 4 to 63). Check value: 0x4B37
// over the ASCII digits "123456789".
std::uint16_t mbChecksum(const std::uint8_t* bytes, int count);

}  // namespace korvel
