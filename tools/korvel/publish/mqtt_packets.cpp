#include "publish/mqtt_packets.h"

namespace korvel::cli::publish::mqtt {
namespace {

constexpr std::size_t kLongestLength = 268'435'455;  // four bytes of remaining length

void appendLength(std::string* out, std::size_t length) {
    do {
        auto byte = static_cast<char>(length % 128);
        length /= 128;
        if (length > 0) byte = static_cast<char>(byte | 0x80);
        out->push_back(byte);
    } while (length > 0);
}

void appendNumber(std::string* out, std::size_t value) {
    out->push_back(static_cast<char>((value >> 8) & 0xff));
    out->push_back(static_cast<char>(value & 0xff));
}

void appendText(std::string* out, std::string_view text) {
    appendNumber(out, text.size());
    out->append(text);
}

struct ConnackMeaning {
    int code;
    const char* text;
};

constexpr ConnackMeaning kConnackMeanings[] = {
    {0, "Connection Accepted."},
    {1, "Connection Refused: unacceptable protocol version."},
    {2, "Connection Refused: identifier rejected."},
    {3, "Connection Refused: broker unavailable."},
    {4, "Connection Refused: bad user name or password."},
    {5, "Connection Refused: not authorised."},
    {-1, "Connection Refused: unknown reason."},  // sentinel
};

}  // namespace

bool publishableTopic(std::string_view topic) {
    return !topic.empty() && topic.size() <= 0xffff && topic.find_first_of(std::string_view("+#\0", 3)) ==
                                                           std::string_view::npos;
}

bool appendConnect(std::string* out, const ConnectFields& fields) {
    for (const std::string_view text : {fields.clientId, fields.username, fields.password, fields.willTopic,
                                        fields.willPayload}) {
        if (text.size() > 0xffff) return false;
    }
    const bool will = !fields.willTopic.empty();
    if (will && !publishableTopic(fields.willTopic)) return false;
    const bool user = !fields.username.empty();
    std::uint8_t flags = 0x02;  // a clean session: the publisher resends from its spool itself
    if (will) flags |= 0x04 | 0x08 | 0x20;  // the will at QoS 1, retained
    if (user) flags |= 0x80 | 0x40;
    std::size_t length = 10 + 2 + fields.clientId.size();
    if (will) length += 4 + fields.willTopic.size() + fields.willPayload.size();
    if (user) length += 4 + fields.username.size() + fields.password.size();
    out->push_back(static_cast<char>(kConnect << 4));
    appendLength(out, length);
    appendText(out, "MQTT");
    out->push_back(4);  // protocol level: 3.1.1
    out->push_back(static_cast<char>(flags));
    appendNumber(out, static_cast<std::size_t>(fields.keepaliveSeconds) & 0xffff);
    appendText(out, fields.clientId);
    if (will) {
        appendText(out, fields.willTopic);
        appendText(out, fields.willPayload);
    }
    if (user) {
        appendText(out, fields.username);
        appendText(out, fields.password);
    }
    return true;
}

bool appendPublish(std::string* out, std::string_view topic, std::string_view payload, int qos, bool retain,
                   std::uint16_t id) {
    if (!publishableTopic(topic)) return false;
    const std::size_t length = 2 + topic.size() + (qos > 0 ? 2 : 0) + payload.size();
    if (length > kLongestLength) return false;
    out->push_back(static_cast<char>(kPublish << 4 | (qos > 0 ? 0x02 : 0) | (retain ? 0x01 : 0)));
    appendLength(out, length);
    appendText(out, topic);
    if (qos > 0) appendNumber(out, id);
    out->append(payload);
    return true;
}

void appendBare(std::string* out, PacketType type) {
    out->push_back(static_cast<char>(type << 4));
    out->push_back(0);
}

Parsed parsePacket(std::string_view bytes, std::size_t longest, Packet* packet, std::size_t* used) {
    std::size_t length = 0;
    std::size_t at = 1;
    for (std::size_t scale = 1;; scale *= 128, ++at) {
        if (at > 4) return Parsed::Malformed;  // a fifth length byte
        if (at >= bytes.size()) return Parsed::Incomplete;
        const auto byte = static_cast<std::uint8_t>(bytes[at]);
        length += (byte & 0x7fu) * scale;
        if ((byte & 0x80) == 0) break;
    }
    const std::size_t whole = at + 1 + length;
    if (whole > longest) return Parsed::Malformed;
    if (bytes.size() < whole) return Parsed::Incomplete;
    const auto first = static_cast<std::uint8_t>(bytes[0]);
    *packet = Packet{static_cast<std::uint8_t>(first >> 4), static_cast<std::uint8_t>(first & 0x0f),
                     bytes.substr(at + 1, length)};
    *used = whole;
    return Parsed::Packet;
}

bool packetId(const Packet& packet, std::uint16_t* id) {
    if (packet.body.size() != 2) return false;
    *id = static_cast<std::uint16_t>(static_cast<std::uint8_t>(packet.body[0]) << 8 |
                                     static_cast<std::uint8_t>(packet.body[1]));
    return true;
}

const char* connackText(int code) {
    const ConnackMeaning* meaning = kConnackMeanings;
    while (meaning->code >= 0 && meaning->code != code) ++meaning;
    return meaning->text;
}

}  // namespace korvel::cli::publish::mqtt
