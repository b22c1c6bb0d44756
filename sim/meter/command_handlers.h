// The meter's command handlers, one per command code, found through a table.
#pragma once

#include <cstdint>

#include "sim/meter/core.h"

namespace korvel::sim {

// One request being answered: its payload in, the answer's data bytes out.
struct Exchange {
    static constexpr int kMaxData = 54;  // what fits a 60-byte answer

    MeterCore& meter;
    const std::uint8_t* payload;
    int payloadLength;
    std::uint8_t data[kMaxData] = {};
    int length = 0;

    // Payload bytes; missing ones read as 0.
    std::uint8_t u8(int i) const { return i < payloadLength ? payload[i] : 0; }
    std::uint16_t u16(int i) const { return static_cast<std::uint16_t>((u8(i) << 8) | u8(i + 1)); }

    void put8(unsigned value) {
        if (length < kMaxData) data[length++] = static_cast<std::uint8_t>(value & 0xFF);
    }
    void put16(unsigned value) {
        put8(value >> 8);
        put8(value);
    }
    void putBytes(const std::uint8_t* bytes, int count) {
        for (int i = 0; i < count; ++i) put8(bytes[i]);
    }
};

using HandlerFn = void (*)(Exchange&);

struct Handler {
    HandlerFn run = nullptr;
    std::uint8_t payload = 0;  // payload bytes the command needs (at least)
    const char* name = nullptr;
};

// The handler of a command code; run is null for codes the meter does not know.
const Handler& handlerFor(std::uint8_t code);

}  // namespace korvel::sim
