// A meter that answers by command code from a fixed state and records every
// request as "CC PP PP" (command code, then payload bytes), so SCPI tests can
// say exactly what reached the meter.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "korvel.h"
#include "link/checksum.h"
#include "link/protocol.h"
#include "sim/bus/virtual_bus.h"
#include "tests/support/scripted_peer.h"

namespace korvel::test {

// " 00 00 ..": n zero bytes in hex
inline std::string zeros(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += " 00";
    return s;
}

class RecordingMeter : public sim::Peer {
public:
    // Data bytes answered per command code (hex); codes not listed answer no data.
    std::map<int, std::string> answers = {
        // "KORVEL KV100" and "PROBE-7", zero-filled to their 40 and 24 bytes
        {0x18, "4B 4F 52 56 45 4C 20 4B 56 31 30 30" + zeros(28)},
        {0x36, "50 52 4F 42 45 2D 37" + zeros(17)},
        {0x30, "05"},                                   // status byte
        {0x2A, "20"},                                   // enable register
        {0x2B, "81"},                                   // event register
        {0x2C, "07"},                                   // condition register
        {0x2F, "10"},                                   // service request enable
        {0x31, "FF 9A"},                                // next error: -102
        {0x22, "01"},                                   // relative mode
        {0x1A, "02"},                                   // range
        {0x27, "03"},                                   // hold mode
        {0x10, "04 D2 00 00 00 00 00"},                 // 1234, gauss, range 0
        {0x23, "12 34"},                                // frequency 4660
        {0x3A, "FF 01"},                                // converter 65281
        {0x25, "07"},                                   // probe data byte
        {0x14, "00 10 00 01 07"},                       // one memory byte: 7
    };
    std::set<int> failing;  // codes answered with a broken checksum

    bool receive(const std::uint8_t* request, int, sim::Reply* reply) override {
        std::lock_guard lock(mutex_);
        const int code = request[2];
        sent_.push_back(hex(request + 2, 1) + (request[3] ? " " + hex(request + 4, request[3]) : ""));
        std::uint8_t data[64];
        const auto known = answers.find(code);
        const int n = known == answers.end() ? 0 : parseHex(known->second.c_str(), data, 54);
        *reply = sim::Reply{};
        std::uint8_t* f = reply->bytes;
        f[0] = 0x01;
        f[1] = 0x2B;
        f[2] = static_cast<std::uint8_t>(code);
        f[3] = static_cast<std::uint8_t>(n);
        for (int i = 0; i < n; ++i) f[4 + i] = data[i];
        const std::uint16_t crc = mbChecksum(f, 4 + n);
        f[4 + n] = static_cast<std::uint8_t>(crc >> 8);
        f[5 + n] = static_cast<std::uint8_t>((crc & 0xFF) ^ (failing.count(code) ? 1 : 0));
        reply->length = 60;
        return true;
    }
    std::vector<std::string> sent() const {
        std::lock_guard lock(mutex_);
        return sent_;
    }
    void forget() {
        std::lock_guard lock(mutex_);
        sent_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> sent_;
};

// "33 FF 9C": the post of an error number as it travels.
inline std::string post(int code) {
    char text[16];
    std::snprintf(text, sizeof text, "33 %02X %02X", (code >> 8) & 0xFF, code & 0xFF);
    return text;
}

class ScpiTest : public ::testing::Test {
protected:
    sim::VirtualBus& bus = sim::VirtualBus::instance();
    std::shared_ptr<RecordingMeter> meter = std::make_shared<RecordingMeter>();
    MeterHandle h = 0;

    void SetUp() override {
        bus.reset();
        bus.setTimeScale(0.01);
        bus.setLatency(0);  // exchanges answered at once
        bus.attach(meter, wire::kVendorId, wire::kProductId);
        h = openKorvel();
        ASSERT_NE(h, 0U);
        meter->forget();
    }
    void TearDown() override {
        closeKorvel(h);
        bus.reset();
    }
    std::string run(const char* line, int size = 128) {
        char reply[256];
        std::memset(reply, '#', sizeof reply);
        EXPECT_EQ(scpiCommand(h, line, reply, size), 0);
        for (int i = size > 0 ? size : 0; i < static_cast<int>(sizeof reply); ++i)
            EXPECT_EQ(reply[i], '#') << "written beyond size at " << i;
        return size > 0 ? std::string(reply) : std::string();
    }
};

// Joins what the meter received with "|", for compact expectations.
inline std::string joined(const std::vector<std::string>& sent) {
    std::string out;
    for (const std::string& s : sent) out += (out.empty() ? "" : "|") + s;
    return out;
}

}  // namespace korvel::test
