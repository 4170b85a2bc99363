#pragma once

// The few MQTT 3.1.1 packets klbench needs to drive a common MQTT broker the way it drives the
// relay: CONNECT / CONNACK, PUBLISH with QoS 1 / PUBACK, SUBSCRIBE / SUBACK and DISCONNECT.
// No keep-alive (CONNECT says 0), so no PINGREQ. Encoding builds whole packets into a string;
// decoding takes one packet off the front of a receive buffer, with a cap on its size so a
// broker gone wrong cannot make the buffer grow without bound.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kormlink::sim::mqtt {

enum PacketType : std::uint8_t {
    kConnect = 1,
    kConnAck = 2,
    kPublish = 3,
    kPubAck = 4,
    kSubscribe = 8,
    kSubAck = 9,
    kDisconnect = 14,
};

// The largest packet taken from a broker; anything larger is malformed here.
constexpr std::size_t kMaxPacket = 64 * 1024;

std::string connect(std::string_view clientId, bool cleanSession);
std::string publish(std::string_view topic, std::uint16_t packetId, std::string_view payload,
                    bool dup = false);
std::string pubAck(std::uint16_t packetId);
std::string subscribe(std::uint16_t packetId, std::string_view topicFilter, int qos);
std::string disconnect();

// The remaining-length field: 1 to 4 bytes of 7 bits each, least significant first.
std::string remainingLength(std::size_t length);

struct Packet {
    std::uint8_t type = 0;   // PacketType
    std::uint8_t flags = 0;  // the low four bits of the first byte
    std::string_view body;   // the variable header and payload (a view into the buffer)
    std::size_t size = 0;    // the whole packet's bytes in the buffer
};

enum class Parse { Packet, NeedMore, Malformed };

// The packet at the front of buffer: Packet with `out` set, NeedMore when it is not complete
// yet, Malformed when its length field is broken or it exceeds kMaxPacket.
Parse takePacket(std::string_view buffer, Packet& out);

// The packet identifier at the front of a PUBACK's or SUBACK's body.
std::optional<std::uint16_t> packetIdOf(const Packet& p);

// A received PUBLISH: its topic, packet identifier (QoS > 0) and payload.
struct Publish {
    int qos = 0;
    std::string_view topic;
    std::uint16_t packetId = 0;
    std::string_view payload;
};
std::optional<Publish> parsePublish(const Packet& p);

}  // namespace kormlink::sim::mqtt
