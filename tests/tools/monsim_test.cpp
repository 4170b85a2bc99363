// The monitoring-client simulator against a real server in the test process: over TCP on the
// output port, and as the serial output's receiver on a pseudo-terminal.

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "monitor_sim.h"
#include "sim_line.h"
#include "support/harness.h"

namespace kormlink {
namespace {

using sim::AnswerMode;
using sim::MonitorOptions;
using sim::MonitorSim;
using sim::SequenceChecker;
using test::ServerHarness;

constexpr std::uint32_t kRpt = 0x0A1B2C;

std::string tcpConfig(const std::string& outPort = "0") {
    return "[In]\nPort=0\n[Out]\nPort=" + outPort + "\nSyncP=1\n[Client0]\nId=A\n[ComIn]\nCom=0\n";
}

std::vector<std::string> events(std::uint32_t repeater, std::uint32_t from, std::uint32_t to) {
    std::vector<std::string> lines;
    for (std::uint32_t seq = from; seq <= to; ++seq)
        lines.push_back(sim::eventLine(repeater, seq, sim::wallUs32()));
    return lines;
}

MonitorOptions tcpOptions(ServerHarness& h, AnswerMode mode = AnswerMode::Ack) {
    MonitorOptions o;
    o.port = h.outPort();
    o.channel = "A";
    o.mode = mode;
    return o;
}

TEST(SequenceChecker, CountsGapsAndRepeatsPerRepeater) {
    using Seq = std::vector<std::pair<std::uint32_t, std::uint32_t>>;
    struct Case {
        const char* name;
        Seq seen;
        std::uint64_t gaps, missing, repeats, repeaters;
    };
    const Case cases[] = {
        {"in order", {{1, 1}, {1, 2}, {1, 3}}, 0, 0, 0, 1},
        {"any first number", {{1, 50}, {1, 51}}, 0, 0, 0, 1},
        {"one gap of two", {{1, 1}, {1, 4}, {1, 5}}, 1, 2, 0, 1},
        {"same line twice", {{1, 7}, {1, 7}}, 0, 0, 1, 1},
        // A redelivered stretch repeats up to the highest number seen, then goes on in order.
        {"redelivery", {{1, 1}, {1, 2}, {1, 3}, {1, 4}, {1, 2}, {1, 3}, {1, 4}, {1, 5}},
         0, 0, 3, 1},
        {"repeaters apart", {{1, 1}, {2, 1}, {1, 2}, {2, 3}, {2, 2}}, 1, 1, 1, 2},
        {"ids above 16 bits", {{0xFFFFFF, 1}, {0xFFFFFE, 9}, {0xFFFFFF, 3}}, 1, 1, 0, 2},
    };
    for (const auto& c : cases) {
        SequenceChecker checker;
        for (auto [id, seq] : c.seen) checker.note(id, seq);
        EXPECT_EQ(std::tuple(checker.gaps(), checker.missing(), checker.repeats(),
                             checker.repeaters()),
                  std::tuple(c.gaps, c.missing, c.repeats, c.repeaters)) << c.name;
    }
    // Beyond the cap further repeaters are only counted, never tracked.
    SequenceChecker capped(2);
    for (std::uint32_t id = 1; id <= 4; ++id) capped.note(id, 1);
    EXPECT_EQ(capped.note(3, 5), SequenceChecker::Verdict::Untracked);
    EXPECT_EQ(std::tuple(capped.repeaters(), capped.untracked(), capped.gaps()),
              std::tuple(2u, 3u, 0u));
}

TEST(SimLine, MicrosecondLatencyWrapsAndForwardedStatusLinesCarryNoData) {
    const std::uint32_t cases[][3] = {  // sent, received, latency
        {1000, 1250, 250},
        {0xFFFFFFF0u, 0x10u, 0x20u},            // across the 2^32 wrap (every 71 minutes)
        {1000, 990, 0},                         // clocks a little apart
        {0, 0x7FFFFFFFu, 0x7FFFFFFFu},          // the longest latency told apart from a negative
        {0, 0x80000000u, 0},
    };
    for (auto [sent, received, latency] : cases)
        EXPECT_EQ(sim::latencyUs(sent, received), latency) << sent << " " << received;

    auto event = sim::parseEvent(sim::eventLine(kRpt, 77, 0xDEADBEEF, 3));
    ASSERT_TRUE(event);
    EXPECT_EQ(event->sentUs, 0xDEADBEEFu);
    // A status line's state is no data; the one the server passes on, marked "8", is fed below.
    EXPECT_FALSE(sim::parseEvent(sim::statusLine(kRpt, "0123456789ABCDEF")));
}

TEST(LatencyHistogram, BucketsTileTheRangeWithinOneSixtyFourth) {
    using H = sim::LatencyHistogram;
    EXPECT_EQ(H::lowerBound(0), 0u);
    EXPECT_EQ(H::upperBound(H::kBucketCount - 1), std::uint64_t{1} << 32);
    for (std::size_t b = 0; b + 1 < H::kBucketCount; ++b) {
        ASSERT_EQ(H::upperBound(b), H::lowerBound(b + 1)) << b;
        const double width = static_cast<double>(H::upperBound(b) - H::lowerBound(b));
        ASSERT_TRUE(width == 1 || width <= H::lowerBound(b) / 64.0) << b;
    }
    for (std::uint32_t us : {0u, 1u, 127u, 128u, 129u, 255u, 256u, 1000u, 65'535u, 1u << 20,
                             0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
        const std::size_t b = H::bucketOf(us);
        ASSERT_LT(b, H::kBucketCount) << us;
        EXPECT_LE(H::lowerBound(b), us) << us;
        EXPECT_GT(H::upperBound(b), us) << us;
    }
}

TEST(LatencyHistogram, PercentilesAreNeverBelowTheTrueValueAndAtMostOneBucketAbove) {
    struct Case {
        const char* name;
        std::vector<std::uint32_t> samples;
        double q;
        std::uint32_t exact;  // the sample of rank ceil(q * n)
    };
    std::vector<std::uint32_t> uniform;
    for (std::uint32_t us = 1; us <= 10'000; ++us) uniform.push_back(us);
    std::vector<std::uint32_t> tail(990, 200);  // p99 just below a slow one per hundred
    tail.insert(tail.end(), 10, 15'000);
    const Case cases[] = {
        {"small values are exact", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 0.5, 5},
        {"uniform p50", uniform, 0.5, 5000},
        {"uniform p99", uniform, 0.99, 9900},
        {"uniform p100", uniform, 1.0, 10'000},
        {"one sample, capped by the max", {123'456}, 0.5, 123'456},
        {"the p99 sample is a fast one", tail, 0.99, 200},
        {"beyond the p99 the slow ones", tail, 0.995, 15'000},
        {"near the top of the range", {0xFFFFFFF0u}, 0.99, 0xFFFFFFF0u},
    };
    for (const Case& c : cases) {
        sim::LatencyHistogram h;
        for (std::uint32_t us : c.samples) h.add(us);
        const std::uint32_t got = h.percentile(c.q);
        EXPECT_GE(got, c.exact) << c.name;
        EXPECT_LE(got, c.exact + std::max(1.0, c.exact / 64.0)) << c.name;
        EXPECT_EQ(h.max(), *std::max_element(c.samples.begin(), c.samples.end())) << c.name;
        EXPECT_EQ(h.count(), c.samples.size()) << c.name;
    }
    EXPECT_EQ(sim::LatencyHistogram().percentile(0.99), 0u);

    // The text monsim --histogram writes: a comment, then the filled buckets in order (2 µs wide
    // above 128, 128 µs above 8192).
    sim::LatencyHistogram h;
    for (std::uint32_t us : tail) h.add(us);
    const std::string text = h.toText();
    EXPECT_EQ(text[0], '#');
    EXPECT_EQ(text.substr(text.find('\n') + 1), "200 202 990\n14976 15104 10\n");
}

TEST(MonitorSim, OnlyAcknowledgedLinesLeaveTheQueueAndAreRecordedWithTheirNumbers) {
    ServerHarness h(tcpConfig());
    auto lines = events(kRpt, 1, 5);
    lines.push_back(sim::statusLine(kRpt, "0000000000000001"));
    ASSERT_TRUE(h.feed(lines));
    {
        // Empty answers take nothing, and lines sent again unacknowledged are no repeats.
        MonitorSim empty(tcpOptions(h, AnswerMode::Empty));
        ASSERT_TRUE(empty.start(nullptr));
        EXPECT_TRUE(test::eventually([&] { return empty.snapshot().received >= 3; }));
        empty.stop();
        EXPECT_EQ(empty.snapshot().acked + empty.snapshot().repeats, 0u);
        EXPECT_EQ(h.queued(), 6u);
    }

    MonitorOptions o = tcpOptions(h);
    o.deliveredPath = h.dir().file("delivered.txt");
    o.idleExitMs = 1500;
    MonitorSim monitor(o);
    ASSERT_TRUE(monitor.start(nullptr));
    ASSERT_TRUE(test::eventually([&] { return monitor.snapshot().acked == 6; }));
    EXPECT_EQ(h.queued(), 0u);
    // A due time sync goes before the next line; it is answered and is no channel line.
    h.clock().advance(61'000);
    ASSERT_TRUE(h.feed(events(kRpt, 6, 6)));
    EXPECT_TRUE(test::eventually([&] { return monitor.snapshot().acked == 7; }));

    ASSERT_TRUE(monitor.waitFinished(3000));  // nothing more arrived: the idle limit ends it
    const auto s = monitor.snapshot();
    EXPECT_EQ(std::tuple(s.syncs, s.received, s.events, s.other, s.repeaters, s.gaps + s.repeats,
                         s.latencyCount),
              std::tuple(1u, 7u, 6u, 1u, 1u, 0u, 6u));
    EXPECT_EQ(h.dir().read("delivered.txt"),
              "0A1B2C 1\n0A1B2C 2\n0A1B2C 3\n0A1B2C 4\n0A1B2C 5\n0A1B2C 6\n");
}

TEST(MonitorSim, ReconnectsAfterTheServerRestartsAndGoesOn) {
    ServerHarness h(tcpConfig(std::to_string(test::freePort())));  // kept across the restart
    MonitorSim monitor(tcpOptions(h));
    ASSERT_TRUE(monitor.start(nullptr));
    ASSERT_TRUE(h.feed(events(kRpt, 1, 2)));
    ASSERT_TRUE(test::eventually([&] { return monitor.snapshot().acked == 2; }));

    h.onMain([](Server& s) { s.StopServer(); });
    // Refused while the server is down; it keeps trying.
    ASSERT_TRUE(test::eventually(
        [&] { return monitor.snapshot().lastError.rfind("cannot connect", 0) == 0; }));
    h.onMain([](Server& s) { s.LoadConfiguration(); });
    ASSERT_TRUE(h.feed(events(kRpt, 3, 4)));
    ASSERT_TRUE(test::eventually([&] { return monitor.snapshot().acked == 4; }, 5000));
    monitor.stop();
    const auto s = monitor.snapshot();
    EXPECT_EQ(std::tuple(s.reconnects, s.gaps + s.repeats), std::tuple(1u, 0u));
}

// As the serial output's receiver; the test plays the server's end on the pseudo-terminal.
TEST(MonitorSim, SerialReceiverAcknowledgesWithCr) {
    test::PtyReceiver server;
    MonitorOptions o;
    o.serialDevice = server.path();
    MonitorSim monitor(o);
    ASSERT_TRUE(monitor.start(nullptr));
    ASSERT_TRUE(test::eventually([&] { return monitor.snapshot().connected; }));
    // The server removes a line only on an answer that ends with CR.
    for (const std::string& line : events(kRpt, 1, 3)) {
        server.answer(line + "\n");
        EXPECT_EQ(server.readLine(3000, '\r'), "OK\r");
    }
    server.answer("systime45000\n");
    EXPECT_EQ(server.readLine(3000, '\r'), "OK\r");
    monitor.stop();
    const auto s = monitor.snapshot();
    EXPECT_EQ(std::tuple(s.events, s.acked, s.syncs), std::tuple(3u, 3u, 1u));
}

}  // namespace
}  // namespace kormlink
