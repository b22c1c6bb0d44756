// A meter that answers every request at once, so that what a benchmark
// measures is the library's own work.
#pragma once

#include <cstring>

#include "link/checksum.h"
#include "link/protocol.h"
#include "sim/peer.h"

namespace korvel::bench {

// Answers every request at once: a reading of 1234 counts, an identification
// text, and two zero data bytes for every other command.
class ZeroLatencyMeter : public korvel::sim::Peer {
public:
    bool receive(const std::uint8_t* request, int, korvel::sim::Reply* reply) override {
        std::uint8_t* f = reply->bytes;
        std::memset(f, 0, sizeof reply->bytes);
        f[0] = korvel::wire::kAddress;
        f[1] = korvel::wire::kFunction;
        f[2] = request[2];
        int n = 2;
        if (request[2] == static_cast<std::uint8_t>(korvel::wire::Command::GetReading)) {
            const std::uint8_t data[] = {0x04, 0xD2, 0x00, 0x00, 0x00, 0x00, 0x00};
            n = sizeof data;
            std::memcpy(f + 4, data, sizeof data);
        } else if (request[2] == static_cast<std::uint8_t>(korvel::wire::Command::GetMeterInfo)) {
            const char text[] = "KORVEL,KV-100,KV0001,1.02";
            n = korvel::wire::kMeterInfoSize;
            std::memcpy(f + 4, text, sizeof text);
        }
        f[3] = static_cast<std::uint8_t>(n);
        const std::uint16_t crc = korvel::mbChecksum(f, 4 + n);
        f[4 + n] = static_cast<std::uint8_t>(crc >> 8);
        f[5 + n] = static_cast<std::uint8_t>(crc & 0xFF);
        reply->length = korvel::wire::kTransferSize;
        reply->delivery = korvel::sim::Delivery::Now;
        return true;
    }
};

}  // namespace korvel::bench
