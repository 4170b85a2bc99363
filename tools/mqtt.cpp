#include "mqtt.h"

namespace kormlink::sim::mqtt {
namespace {

void putU16(std::string& out, std::uint16_t v) {
    out += static_cast<char>(v >> 8);
    out += static_cast<char>(v & 0xFF);
}

void putString(std::string& out, std::string_view text) {
    putU16(out, static_cast<std::uint16_t>(text.size()));
    out += text;
}

std::string packet(std::uint8_t first, const std::string& body) {
    return static_cast<char>(first) + remainingLength(body.size()) + body;
}

std::uint16_t u16At(std::string_view s, std::size_t at) {
    return static_cast<std::uint16_t>((static_cast<std::uint8_t>(s[at]) << 8) |
                                      static_cast<std::uint8_t>(s[at + 1]));
}

}  // namespace

std::string remainingLength(std::size_t length) {
    std::string out;
    do {
        std::uint8_t byte = length % 128;
        length /= 128;
        if (length > 0) byte |= 0x80;
        out += static_cast<char>(byte);
    } while (length > 0);
    return out;
}

std::string connect(std::string_view clientId, bool cleanSession) {
    std::string body;
    putString(body, "MQTT");
    body += '\x04';  // protocol level 3.1.1
    body += static_cast<char>(cleanSession ? 0x02 : 0x00);
    putU16(body, 0);  // no keep-alive
    putString(body, clientId);
    return packet(kConnect << 4, body);
}

std::string publish(std::string_view topic, std::uint16_t packetId, std::string_view payload,
                    bool dup) {
    std::string body;
    body.reserve(topic.size() + payload.size() + 4);
    putString(body, topic);
    putU16(body, packetId);
    body += payload;
    return packet(static_cast<std::uint8_t>(kPublish << 4 | (dup ? 0x08 : 0) | 0x02), body);
}

std::string pubAck(std::uint16_t packetId) {
    std::string body;
    putU16(body, packetId);
    return packet(kPubAck << 4, body);
}

std::string subscribe(std::uint16_t packetId, std::string_view topicFilter, int qos) {
    std::string body;
    putU16(body, packetId);
    putString(body, topicFilter);
    body += static_cast<char>(qos);
    // SUBSCRIBE's fixed header has the reserved flags 0010.
    return packet(kSubscribe << 4 | 0x02, body);
}

std::string disconnect() { return std::string("\xE0\x00", 2); }

Parse takePacket(std::string_view buffer, Packet& out) {
    if (buffer.size() < 2) return Parse::NeedMore;
    std::size_t length = 0, at = 1;
    for (int shift = 0;; shift += 7) {
        if (at > 4) return Parse::Malformed;  // a fifth length byte
        if (at >= buffer.size()) return Parse::NeedMore;
        const auto byte = static_cast<std::uint8_t>(buffer[at++]);
        length |= static_cast<std::size_t>(byte & 0x7F) << shift;
        if (!(byte & 0x80)) break;
    }
    if (at + length > kMaxPacket) return Parse::Malformed;
    if (buffer.size() < at + length) return Parse::NeedMore;
    const auto first = static_cast<std::uint8_t>(buffer[0]);
    out.type = first >> 4;
    out.flags = first & 0x0F;
    out.body = buffer.substr(at, length);
    out.size = at + length;
    return Parse::Packet;
}

std::optional<std::uint16_t> packetIdOf(const Packet& p) {
    if (p.body.size() < 2) return std::nullopt;
    return u16At(p.body, 0);
}

std::optional<Publish> parsePublish(const Packet& p) {
    if (p.type != kPublish || p.body.size() < 2) return std::nullopt;
    Publish m;
    m.qos = (p.flags >> 1) & 0x03;
    if (m.qos == 3) return std::nullopt;
    const std::size_t topicLength = u16At(p.body, 0);
    std::size_t at = 2 + topicLength;
    if (at > p.body.size()) return std::nullopt;
    m.topic = p.body.substr(2, topicLength);
    if (m.qos > 0) {
        if (at + 2 > p.body.size()) return std::nullopt;
        m.packetId = u16At(p.body, at);
        at += 2;
    }
    m.payload = p.body.substr(at);
    return m;
}

}  // namespace kormlink::sim::mqtt
