// Talks to a simulated meter through raw frames, with no cable in between.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "sim/meter/simulated_meter.h"

namespace korvel::test {

// CRC-16/MODBUS the slow way, bit by bit: an independent check of the
// frames the meter builds with the shared table-driven routine.
inline std::uint16_t bitwiseCrc(const std::uint8_t* bytes, int count) {
    unsigned crc = 0xFFFF;
    for (int i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1U) ? (crc >> 1) ^ 0xA001U : crc >> 1;
    }
    return static_cast<std::uint16_t>(crc);
}

struct Answer {
    bool accepted = false;  // the request write was taken
    sim::Reply reply;

    int count() const { return reply.bytes[3]; }
    int code() const { return reply.bytes[2]; }
    std::uint8_t d(int k) const { return reply.bytes[4 + k]; }
    unsigned d16(int k) const { return (unsigned{d(k)} << 8) | d(k + 1); }
    // Address, function code, byte count within the frame, checksum high byte
    // first, zeros after it.
    bool wellFormed() const {
        const auto* f = reply.bytes;
        const int n = f[3];
        if (f[0] != 0x01 || f[1] != 0x2B || n > 54 || reply.length != 60) return false;
        const unsigned crc = bitwiseCrc(f, 4 + n);
        if (f[4 + n] != (crc >> 8) || f[5 + n] != (crc & 0xFF)) return false;
        for (int i = 6 + n; i < 60; ++i)
            if (f[i] != 0) return false;
        return true;
    }
    std::string hex(int count) const {
        static const char digits[] = "0123456789ABCDEF";
        std::string s;
        for (int i = 0; i < count; ++i) {
            if (i) s += ' ';
            s += digits[reply.bytes[i] >> 4];
            s += digits[reply.bytes[i] & 15];
        }
        return s;
    }
};

class MeterHarness : public ::testing::Test {
public:
    sim::Meter meter{1};

    // Sends 01 2B code N payload crc, zero-padded to 60 bytes.
    Answer send(std::uint8_t code, std::initializer_list<std::uint8_t> payload = {}) {
        std::uint8_t frame[60] = {0x01, 0x2B, code, static_cast<std::uint8_t>(payload.size())};
        int i = 4;
        for (auto b : payload) frame[i++] = b;
        const std::uint16_t crc = bitwiseCrc(frame, i);
        frame[i] = static_cast<std::uint8_t>(crc >> 8);
        frame[i + 1] = static_cast<std::uint8_t>(crc & 0xFF);
        return sendRaw(frame, 60);
    }
    Answer sendRaw(const std::uint8_t* frame, int length) {
        Answer a;
        a.accepted = meter.receive(frame, length, &a.reply);
        return a;
    }
    std::vector<std::int16_t> errors() const {
        std::int16_t codes[32];
        const int n = meter.peekErrors(codes, 32);
        return std::vector<std::int16_t>(codes, codes + (n < 32 ? n : 32));
    }
    // Empties the queue of errors and the event registers (power-on leaves
    // the power-on event).
    void settle() {
        send(0x2D);
    }
    sim::Settings settings() const { return meter.snapshot().settings; }
    void field(double tesla) {
        sim::FieldSource s;
        s.dc = tesla;
        meter.setField(s);
    }
    // Reads counts and range.
    std::pair<int, int> reading() {
        const Answer a = send(0x10);
        EXPECT_TRUE(a.wellFormed());
        return {static_cast<std::int16_t>(a.d16(0)), a.d(3)};
    }
};

}  // namespace korvel::test
