// The MQTT packets klbench drives a broker with: the length field at its byte boundaries, a
// packet taken off a buffer only when whole, and a broken or oversized one refused.

#include "mqtt.h"

#include <gtest/gtest.h>

#include <string>

namespace kormlink::sim::mqtt {
namespace {

TEST(Mqtt, RemainingLengthTakesOneByteMoreAtEachSevenBitBoundary) {
    const struct {
        std::size_t length;
        std::string bytes;
    } cases[] = {
        {0, std::string(1, '\0')},
        {127, "\x7F"},
        {128, "\x80\x01"},
        {16383, "\xFF\x7F"},
        {16384, std::string("\x80\x80\x01", 3)},
        {2097152, std::string("\x80\x80\x80\x01", 4)},
        {268435455, "\xFF\xFF\xFF\x7F"},
    };
    for (const auto& c : cases) EXPECT_EQ(remainingLength(c.length), c.bytes) << c.length;
}

TEST(Mqtt, APacketIsTakenOnlyWhenWholeAndABrokenOneIsRefused) {
    // A PUBLISH with a body past 127 bytes, so its length field has two bytes.
    const std::string payload(200, 'x');
    const std::string publishPacket = publish("bench/events", 513, payload);
    ASSERT_EQ(publishPacket.substr(1, 2), remainingLength(2 + 12 + 2 + 200));
    Packet p;
    for (std::size_t cut = 0; cut < publishPacket.size(); ++cut)
        EXPECT_EQ(takePacket(std::string_view(publishPacket).substr(0, cut), p), Parse::NeedMore)
            << cut;
    const std::string two = publishPacket + pubAck(513);
    ASSERT_EQ(takePacket(two, p), Parse::Packet);
    EXPECT_EQ(p.size, publishPacket.size());
    const auto m = parsePublish(p);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->qos, 1);
    EXPECT_EQ(m->topic, "bench/events");
    EXPECT_EQ(m->packetId, 513);
    EXPECT_EQ(m->payload, payload);
    ASSERT_EQ(takePacket(std::string_view(two).substr(p.size), p), Parse::Packet);
    EXPECT_EQ(p.type, kPubAck);
    EXPECT_EQ(packetIdOf(p), 513);

    EXPECT_EQ(takePacket(std::string("\x30\x80\x80\x80\x80\x01", 6), p), Parse::Malformed);
    EXPECT_EQ(takePacket("\x30" + remainingLength(kMaxPacket), p), Parse::Malformed);
    // A topic length that runs past the body.
    const std::string shortTopic("\x32\x03\x00\x09x", 5);  // p's body is a view into it
    ASSERT_EQ(takePacket(shortTopic, p), Parse::Packet);
    EXPECT_FALSE(parsePublish(p));
}

}  // namespace
}  // namespace kormlink::sim::mqtt
