// The MQTT packets the publisher writes, byte for byte as MQTT 3.1.1 lays
// them out (the expected bytes are written out by hand here), and the
// parser's limits on what a broker sends.
#include <gtest/gtest.h>

#include <string>

#include "publish/mqtt_packets.h"

namespace korvel::cli::publish::mqtt {
namespace {

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (const int v : values) out.push_back(static_cast<char>(v));
    return out;
}

TEST(MqttPackets, ConnectCarriesTheWillAndTheCredentialsInTheirOrder) {
    std::string out;
    ConnectFields fields;
    fields.clientId = "id";
    fields.username = "u";
    fields.password = "pw";
    fields.willTopic = "k/s";
    fields.willPayload = "off";
    fields.keepaliveSeconds = 300;
    ASSERT_TRUE(appendConnect(&out, fields));
    // 10 bytes of header, then 2+2, 2+3, 2+3, 2+1 and 2+2 of payload: 31.
    const std::string expected =
        bytes({0x10, 31, 0, 4}) + "MQTT" + bytes({4, 0xee, 0x01, 0x2c}) +  // level 4; user, password, will retained at QoS 1, clean
        bytes({0, 2}) + "id" + bytes({0, 3}) + "k/s" + bytes({0, 3}) + "off" + bytes({0, 1}) + "u" + bytes({0, 2}) + "pw";
    EXPECT_EQ(out, expected);

    out.clear();
    ASSERT_TRUE(appendConnect(&out, ConnectFields{"c", "", "", "", "", 30}));
    EXPECT_EQ(out, bytes({0x10, 13, 0, 4}) + "MQTT" + bytes({4, 0x02, 0, 30, 0, 1}) + "c");
}

TEST(MqttPackets, WhatCannotBeSentIsRefusedWithNothingWritten) {
    std::string out = "before";
    const std::string tooLong(70000, 'x');
    EXPECT_FALSE(appendConnect(&out, ConnectFields{tooLong, "", "", "", "", 30}));
    EXPECT_FALSE(appendConnect(&out, ConnectFields{"id", "", "", "a/+/b", "offline", 30}));
    EXPECT_FALSE(appendPublish(&out, "a/#", "x", 1, false, 1));
    EXPECT_FALSE(appendPublish(&out, "", "x", 1, false, 1));
    EXPECT_FALSE(appendPublish(&out, std::string("a\0b", 3), "x", 1, false, 1));
    EXPECT_FALSE(appendPublish(&out, tooLong, "x", 0, false, 1));
    EXPECT_EQ(out, "before");
}

TEST(MqttPackets, PublishHasItsIdOnlyAtQos1AndALengthOfSeveralBytesWhenLong) {
    std::string out;
    ASSERT_TRUE(appendPublish(&out, "t", "ab", 1, false, 0x1234));
    EXPECT_EQ(out, bytes({0x32, 7, 0, 1}) + "t" + bytes({0x12, 0x34}) + "ab");
    out.clear();
    ASSERT_TRUE(appendPublish(&out, "t", "on", 0, true, 0x1234));
    EXPECT_EQ(out, bytes({0x31, 5, 0, 1}) + "t" + "on");
    // 2 + 1 + 2 + 200 = 205 = 0x4d + 1 * 128: 0xcd 0x01.
    out.clear();
    ASSERT_TRUE(appendPublish(&out, "t", std::string(200, 'p'), 1, false, 7));
    EXPECT_EQ(out.substr(0, 3), bytes({0x32, 0xcd, 0x01}));
    EXPECT_EQ(out.size(), 3u + 205u);
}

TEST(MqttPackets, ManyAcknowledgementsInOneReadComeApartInOrder) {
    const std::string read = bytes({0x40, 2, 0, 1, 0x40, 2, 0xff, 0xff, 0xd0, 0, 0x20, 2, 0, 5, 0x40});
    std::string_view rest = read;
    std::vector<std::pair<int, int>> seen;  // type, id or code
    Packet packet;
    std::size_t used = 0;
    while (parsePacket(rest, 64, &packet, &used) == Parsed::Packet) {
        std::uint16_t id = 0;
        if (packet.type == kPuback) {
            ASSERT_TRUE(packetId(packet, &id));
        } else if (packet.type == kConnack) {
            id = static_cast<std::uint8_t>(packet.body[1]);
        }
        seen.emplace_back(packet.type, id);
        rest.remove_prefix(used);
    }
    EXPECT_EQ(seen, (std::vector<std::pair<int, int>>{{kPuback, 1}, {kPuback, 65535}, {kPingresp, 0}, {kConnack, 5}}));
    EXPECT_EQ(rest.size(), 1u);  // half a packet waits for the next read
    EXPECT_EQ(parsePacket(rest, 64, &packet, &used), Parsed::Incomplete);
    EXPECT_STREQ(connackText(5), "Connection Refused: not authorised.");
    EXPECT_STREQ(connackText(200), "Connection Refused: unknown reason.");
}

TEST(MqttPackets, ABrokerCannotMakeTheClientWaitForMoreThanItsBufferHolds) {
    Packet packet;
    std::size_t used = 0;
    // 16,384 bytes of body announced (0x80 0x80 0x01) against a 16 KiB buffer: refused at once.
    EXPECT_EQ(parsePacket(bytes({0x30, 0x80, 0x80, 0x01}), 16 * 1024, &packet, &used), Parsed::Malformed);
    // Five length bytes are no MQTT.
    EXPECT_EQ(parsePacket(bytes({0x30, 0x80, 0x80, 0x80, 0x80, 0x01}), 1u << 30, &packet, &used), Parsed::Malformed);
    // A PUBACK whose body is not two bytes has no id.
    ASSERT_EQ(parsePacket(bytes({0x40, 3, 0, 1, 2}), 64, &packet, &used), Parsed::Packet);
    std::uint16_t id = 0;
    EXPECT_FALSE(packetId(packet, &id));
}

}  // namespace
}  // namespace korvel::cli::publish::mqtt
