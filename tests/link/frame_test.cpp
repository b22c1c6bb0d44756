// Frames and checksum: built requests, and the validator's verdicts.
#include <gtest/gtest.h>

#include <cstring>

#include "link/checksum.h"
#include "link/frame.h"
#include "tests/support/scripted_peer.h"

namespace korvel {
namespace {

using test::hex;
using test::parseHex;

std::uint16_t bitwiseCrc(const std::uint8_t* bytes, int count) {
    unsigned crc = 0xFFFF;
    for (int i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int b = 0; b < 8; ++b) crc = (crc & 1U) ? (crc >> 1) ^ 0xA001U : crc >> 1;
    }
    return static_cast<std::uint16_t>(crc);
}

TEST(Checksum, KnownValuesAndAgreementWithTheBitwiseDefinition) {
    const auto* digits = reinterpret_cast<const std::uint8_t*>("123456789");
    EXPECT_EQ(mbChecksum(digits, 9), 0x4B37);
    std::uint8_t modbus[6];
    parseHex("01 03 00 00 00 01", modbus, 6);
    EXPECT_EQ(mbChecksum(modbus, 6), 0x0A84);
    std::uint8_t header[4];
    parseHex("01 2B 10 00", header, 4);
    EXPECT_EQ(mbChecksum(header, 4), 0x107C);

    std::uint8_t data[63];
    for (int i = 0; i < 63; ++i) data[i] = static_cast<std::uint8_t>(i * 37 + 11);
    for (int count = 4; count <= 63; ++count)
        EXPECT_EQ(mbChecksum(data, count), bitwiseCrc(data, count)) << count;
}

TEST(BuildRequest, FramesWithAndWithoutPayloadAreCompleteAndZeroPadded) {
    MB_PDU r;
    std::memset(&r, 0xEE, sizeof r);  // a dirty record must come out clean
    mbBuildRequest(&r, 0x10, nullptr, 0);
    EXPECT_EQ(r.length, 6);
    EXPECT_EQ(hex(r.frame, 6), "01 2B 10 00 10 7C");
    for (int i = 6; i < 64; ++i) ASSERT_EQ(r.frame[i], 0) << i;

    mbBuildRequest(&r, 0x1A, nullptr, 0);
    EXPECT_EQ(hex(r.frame, 6), "01 2B 1A 00 B0 7A");

    const std::uint8_t units[] = {0x01, 0x00};
    mbBuildRequest(&r, 0x12, units, 2);
    EXPECT_EQ(r.length, 8);
    EXPECT_EQ(hex(r.frame, 8), "01 2B 12 02 01 00 E4 80");

    std::uint8_t full[54];
    for (int i = 0; i < 54; ++i) full[i] = static_cast<std::uint8_t>(i);
    mbBuildRequest(&r, 0x15, full, 54);
    EXPECT_EQ(r.length, 60);
    EXPECT_EQ(r.frame[3], 54);
    for (int i = 60; i < 64; ++i) EXPECT_EQ(r.frame[i], 0);  // never beyond the transfer
}

// A response record as read: frame bytes from hex, the rest zero.
MB_PDU response(const char* hexFrame) {
    MB_PDU r{};
    parseHex(hexFrame, r.frame, 64);
    return r;
}

TEST(ValidateResponse, Verdicts) {
    struct Case {
        const char* frame;
        int delivered;
        bool valid;
        int length;
        const char* why;
    } cases[] = {
        {"01 2B 1A 00 B0 7A", 60, true, 6, "no data, checksum over 4 bytes"},
        {"01 2B 14 05 00 10 00 01 5A F4 95", 60, true, 11, "memory read answer"},
        {"01 2B 1A 00 7A B0", 60, false, 6, "checksum low byte first (Modbus RTU order)"},
        {"01 2B 1A 00 B0 7B", 60, false, 6, "checksum off by one bit"},
        {"01 2B 1A 3C", 60, false, 4, "byte count 60"},
        {"01 2B 1A FF", 60, false, 4, "byte count 255"},
        {"01 2B 1A 37", 60, false, 61, "byte count 55: checksum beyond the transfer"},
        {"01 2B 1A 3B", 60, false, 65, "byte count 59"},
        {"09 03 99 00 00 00", 60, false, 6, "another header with a wrong checksum"},
        {"01 2B 14 05 00 10 00 01 5A F4 95", 10, false, 11, "short read: checksum not delivered"},
        {"01 2B 14 05 00 10 00 01 5A F4 95", 11, true, 11, "exactly the frame delivered"},
    };
    for (const Case& c : cases) {
        MB_PDU r = response(c.frame);
        EXPECT_EQ(mbValidateResponse(&r, c.delivered), c.valid) << c.why;
        EXPECT_EQ(r.length, c.length) << c.why;
    }
}

TEST(ValidateResponse, AnotherCommandCodeWithAGoodChecksumIsValid) {
    std::uint8_t header[4] = {0x07, 0x03, 0x99, 0x00};
    const std::uint16_t crc = mbChecksum(header, 4);
    MB_PDU r{};
    std::memcpy(r.frame, header, 4);
    r.frame[4] = static_cast<std::uint8_t>(crc >> 8);
    r.frame[5] = static_cast<std::uint8_t>(crc);
    EXPECT_TRUE(mbValidateResponse(&r, 60));
}

TEST(ValidateResponse, EveryCoveredByteMattersAndTrailingBytesDoNot) {
    const MB_PDU good = response("01 2B 14 05 00 10 00 01 5A F4 95");
    for (int i = 0; i < 60; ++i) {
        if (i == 3) continue;  // the count itself moves the frame
        MB_PDU r = good;
        r.frame[i] ^= 0x01;
        EXPECT_EQ(mbValidateResponse(&r, 60), i > 10) << "byte " << i;
    }
}

}  // namespace
}  // namespace korvel
