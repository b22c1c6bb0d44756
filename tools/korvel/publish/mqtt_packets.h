// MQTT 3.1.1 packets as the publisher writes and reads them on a plain TCP
// connection: CONNECT (clean session, last will, user name and password),
// PUBLISH at QoS 0 and 1, PINGREQ and DISCONNECT out; CONNACK, PUBACK and
// PINGRESP in. Encoders append to the caller's buffer, so many packets go
// out in one write; the parser takes whole packets off the front of what
// was read, so one read serves many acknowledgements.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace korvel::cli::publish::mqtt {

enum PacketType : std::uint8_t {
    kConnect = 1,
    kConnack = 2,
    kPublish = 3,
    kPuback = 4,
    kPingreq = 12,
    kPingresp = 13,
    kDisconnect = 14,
};

struct ConnectFields {
    std::string_view clientId;
    std::string_view username;  // "": none (and then no password)
    std::string_view password;
    std::string_view willTopic;  // "": no last will
    std::string_view willPayload;
    int keepaliveSeconds = 30;
};

// A topic a client may publish to: 1 to 65535 bytes, no wildcard (+ #), no NUL.
bool publishableTopic(std::string_view topic);

// False, and nothing appended, when a field does not fit its 2-byte length
// or the will's topic is not publishable.
bool appendConnect(std::string* out, const ConnectFields& fields);
// `id` is sent at QoS 1 only. False, nothing appended: the topic is not
// publishable or the packet would pass MQTT's 256 MiB bound.
bool appendPublish(std::string* out, std::string_view topic, std::string_view payload, int qos, bool retain,
                   std::uint16_t id);
// PINGREQ and DISCONNECT: a type and no body.
void appendBare(std::string* out, PacketType type);

struct Packet {
    std::uint8_t type = 0;
    std::uint8_t flags = 0;  // the low four bits of the first byte
    std::string_view body;   // the variable header and payload
};

enum class Parsed { Packet, Incomplete, Malformed };
// The packet at the front of `bytes` and the bytes it takes. A packet
// longer than `longest` bytes in all is Malformed: the caller's buffer could
// never hold it.
Parsed parsePacket(std::string_view bytes, std::size_t longest, Packet* packet, std::size_t* used);

// The two-byte number at the front of a PUBACK's body; false when the body is not two bytes.
bool packetId(const Packet& packet, std::uint16_t* id);

// What a CONNACK's return code means, as a sentence.
const char* connackText(int code);

}  // namespace korvel::cli::publish::mqtt
