// A peer that replays a byte-level conversation: each request the library
// writes is recorded, and each answer is taken from a script. With the script
// empty it answers every request with a valid frame without data. Fixed
// storage throughout, so tests can also check that an exchange allocates
// nothing.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>

#include "link/checksum.h"
#include "sim/peer.h"

namespace korvel::test {

// "01 2B 10 00" -> bytes; also accepts no spaces.
inline int parseHex(const char* text, std::uint8_t* out, int capacity) {
    int n = 0;
    for (const char* p = text; *p != '\0';) {
        if (*p == ' ') {
            ++p;
            continue;
        }
        unsigned value = 0;
        for (int i = 0; i < 2 && *p != '\0'; ++i, ++p) {
            const char c = *p;
            value = value * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
        }
        if (n < capacity) out[n] = static_cast<std::uint8_t>(value);
        ++n;
    }
    return n;
}

inline std::string hex(const std::uint8_t* bytes, int count) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (int i = 0; i < count; ++i) {
        if (i) s += ' ';
        s += digits[bytes[i] >> 4];
        s += digits[bytes[i] & 15];
    }
    return s;
}

class ScriptedPeer : public sim::Peer {
public:
    static constexpr int kDepth = 64;

    // An answer given verbatim (checksum included), zero-padded to 60 bytes.
    void answerRaw(const char* hexFrame, int delivered = 60,
                   sim::Delivery delivery = sim::Delivery::Now) {
        sim::Reply r;
        parseHex(hexFrame, r.bytes, 64);
        r.length = delivered;
        r.delivery = delivery;
        push(r);
    }
    // An answer with the given data bytes and a correct checksum.
    void answerData(std::uint8_t command, const char* hexData) {
        sim::Reply r;
        std::uint8_t data[64];
        const int n = parseHex(hexData, data, 54);
        r.bytes[0] = 0x01;
        r.bytes[1] = 0x2B;
        r.bytes[2] = command;
        r.bytes[3] = static_cast<std::uint8_t>(n);
        std::memcpy(r.bytes + 4, data, static_cast<std::size_t>(n));
        const std::uint16_t crc = mbChecksum(r.bytes, 4 + n);
        r.bytes[4 + n] = static_cast<std::uint8_t>(crc >> 8);
        r.bytes[5 + n] = static_cast<std::uint8_t>(crc & 0xFF);
        r.length = 60;
        push(r);
    }
    void silence() {
        sim::Reply r;
        r.delivery = sim::Delivery::Never;
        push(r);
    }
    void refuseWrite() {
        sim::Reply r;
        r.length = -1;  // marks a refused write
        push(r);
    }

    bool receive(const std::uint8_t* request, int length, sim::Reply* reply) override {
        std::lock_guard lock(mutex_);
        std::array<std::uint8_t, 60> copy{};
        std::memcpy(copy.data(), request, static_cast<std::size_t>(length < 60 ? length : 60));
        requests_[static_cast<std::size_t>(requestCount_ % kDepth)] = copy;
        ++requestCount_;
        if (scriptHead_ < scriptCount_) {
            *reply = script_[static_cast<std::size_t>(scriptHead_++ % kDepth)];
            return reply->length >= 0;
        }
        *reply = sim::Reply{};
        reply->bytes[0] = 0x01;
        reply->bytes[1] = 0x2B;
        reply->bytes[2] = request[2];
        const std::uint16_t crc = mbChecksum(reply->bytes, 4);
        reply->bytes[4] = static_cast<std::uint8_t>(crc >> 8);
        reply->bytes[5] = static_cast<std::uint8_t>(crc & 0xFF);
        reply->length = 60;
        return true;
    }

    int requestCount() const {
        std::lock_guard lock(mutex_);
        return requestCount_;
    }
    // The i-th request (0 = first), all 60 bytes, as hex.
    std::string request(int i) const {
        std::lock_guard lock(mutex_);
        return hex(requests_[static_cast<std::size_t>(i % kDepth)].data(), 60);
    }
    std::string lastRequest(int shown = 60) const {
        std::lock_guard lock(mutex_);
        return hex(requests_[static_cast<std::size_t>((requestCount_ - 1) % kDepth)].data(), shown);
    }

private:
    void push(const sim::Reply& r) {
        std::lock_guard lock(mutex_);
        script_[static_cast<std::size_t>(scriptCount_++ % kDepth)] = r;
    }

    mutable std::mutex mutex_;
    std::array<sim::Reply, kDepth> script_{};
    int scriptHead_ = 0;
    int scriptCount_ = 0;
    std::array<std::array<std::uint8_t, 60>, kDepth> requests_{};
    int requestCount_ = 0;
};

}  // namespace korvel::test
