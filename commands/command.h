// The shape every meter command shares: a command code with a payload layout,
// one exchange, and a decoder that runs only on a validated response.
//
// Payload layouts are strings, one letter per argument, in argument order:
//   'B' the argument's low 8 bits
//   'W' the argument's low 16 bits, high byte first
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "korvel.h"
#include "link/exchange.h"
#include "link/protocol.h"

namespace korvel::commands {

using wire::Command;

struct Layout {
    Command code;
    const char* payload;  // layout letters; "" for no payload
};

// The data bytes of a validated response: d(k) is frame byte 4 + k. Positions
// beyond the 64-byte frame area read as 0, so a decoder can never overrun.
class Data {
public:
    explicit Data(const MB_PDU& pdu) : pdu_(pdu) {}
    unsigned u8(int k) const {
        const int at = wire::kPosData + k;
        return at >= 0 && at < static_cast<int>(sizeof pdu_.frame) ? pdu_.frame[at] : 0U;
    }
    unsigned u16(int k) const { return (u8(k) << 8) | u8(k + 1); }  // high byte first
    int s16(int k) const { return static_cast<std::int16_t>(static_cast<std::uint16_t>(u16(k))); }
    // Copies data bytes k .. k+n-1 into out; positions past the frame area read as 0.
    void copy(int k, char* out, int n) const {
        const int at = wire::kPosData + k;
        const int avail = at >= 0 && at < static_cast<int>(sizeof pdu_.frame) ? static_cast<int>(sizeof pdu_.frame) - at : 0;
        const int from = n < avail ? n : avail;
        if (from > 0) std::memcpy(out, pdu_.frame + at, static_cast<std::size_t>(from));
        for (int i = from; i < n; ++i) out[i] = 0;
    }
    // The byte count N the meter reported.
    int count() const { return pdu_.frame[wire::kPosCount]; }

private:
    const MB_PDU& pdu_;
};

// Encodes args by layout.payload into bytes (room for `capacity`); returns the
// number of bytes.
inline int encodePayload(const Layout& layout, std::initializer_list<int> args, std::uint8_t* bytes,
                         int capacity) {
    int n = 0;
    const int* arg = args.begin();
    for (const char* kind = layout.payload; *kind != '\0' && arg != args.end() && n + 2 <= capacity;
         ++kind, ++arg) {
        const auto value = static_cast<unsigned>(*arg);
        if (*kind == 'W') bytes[n++] = static_cast<std::uint8_t>(value >> 8);
        bytes[n++] = static_cast<std::uint8_t>(value & 0xFFU);
    }
    return n;
}

// One exchange; *response holds the validated frame when 0 is returned.
inline int run(MeterHandle handle, const Layout& layout, std::initializer_list<int> args, MB_PDU* response) {
    std::uint8_t payload[8] = {};  // the widest layout, "WWW", takes 6
    const int n = encodePayload(layout, args, payload, static_cast<int>(sizeof payload));
    return link::commandExchange(handle, static_cast<std::uint8_t>(layout.code), payload, n, response);
}

// A command whose answer carries no data: any valid frame is success.
inline int send(MeterHandle handle, const Layout& layout, std::initializer_list<int> args = {}) {
    MB_PDU response;
    return run(handle, layout, args, &response);
}

// A command with an answer: decode(Data) runs only after validation, so
// out-parameters are untouched on failure.
template <typename Decode>
int query(MeterHandle handle, const Layout& layout, std::initializer_list<int> args, Decode&& decode) {
    MB_PDU response;
    const int status = run(handle, layout, args, &response);
    if (status != 0) return status;
    decode(Data(response));
    return 0;
}

}  // namespace korvel::commands
