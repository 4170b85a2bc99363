// Monitoring clients on the output port, byte for byte, over loopback.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <filesystem>
#include <iterator>
#include <regex>
#include <set>
#include <thread>

#include "output/channels.h"
#include "core/event_line.h"
#include "support/harness.h"

namespace kormlink {
namespace {

using test::EventSpec;
using test::eventFrom;
using test::ScriptedRepeater;
using test::ServerHarness;

// One channel, A1, that takes everything.
std::string config(const std::string& outKeys = "") {
    return "[In]\nPort=0\n[Out]\nPort=0\n" + outKeys + "[Client0]\nId=A1\n";
}
const std::string kIni = config();

// A client that named its channel and is attached, as the expected-th client of the channel.
std::unique_ptr<ScriptedRepeater> attach(ServerHarness& h, const std::string& id, int expected = 1,
                                         std::size_t channel = 0) {
    auto client = std::make_unique<ScriptedRepeater>(h.outPort());
    EXPECT_EQ(client->readLine(), "Kormlink");
    client->send(id);
    EXPECT_TRUE(test::eventually([&] { return h.attached(channel) >= expected; }));
    return client;
}

// A client's life: any answer but an empty one takes the line, and only the line it follows;
// an idle client is kept by the time sync and the keep-alive and woken by the next line, and
// silence, after a line or a time sync, ends the connection.
TEST(OutputServer, AClientIsServedUntilItFallsSilent) {
    ServerHarness h(config("SyncP=1\n"));
    ASSERT_TRUE(h.feed({eventFrom("101"), eventFrom("102")}));
    auto client = attach(h, "A1");
    EXPECT_EQ(client->readLine(), eventFrom("101"));
    client->send("");
    EXPECT_EQ(client->readLine(), eventFrom("101"));  // the same line again
    client->send("ok");
    EXPECT_EQ(client->readLine(), eventFrom("102"));
    client->send("x");
    EXPECT_TRUE(test::eventually([&] { return h.queued() == 0; }));
    h.clock().advance(61'000);  // the sync period has passed, and the idle time too
    std::set<std::string> both;  // the sync and the keep-alive, in either order
    for (int i = 0; i < 2; ++i) {
        auto line = client->readLine(12'000);
        ASSERT_TRUE(line);
        const bool sync = std::regex_match(*line, std::regex(R"(systime\d{5}(\.\d+)?)"));
        both.insert(sync ? "systime" : *line);
        client->send(sync ? "ok" : "alive");
    }
    EXPECT_EQ(both, (std::set<std::string>{"@", "systime"}));
    ASSERT_TRUE(h.feed({eventFrom("103")}));
    EXPECT_EQ(client->readLine(1000), eventFrom("103"));

    EXPECT_TRUE(client->closedByServer(7000));  // no answer within 5 s
    EXPECT_EQ(h.queued(), 1u);
    EXPECT_TRUE(test::eventually([&] { return h.attached() == 0; }));
    // The client's open record, and its close record once it has gone.
    EXPECT_TRUE(test::eventually([&] {
        std::string records;
        for (const std::string& line : h.logLines(2))
            if (std::smatch m; std::regex_match(line, m, std::regex(R"(.+ (Open|Close) Id=A1)")))
                records += m[1].str() + " ";
        return records == "Open Close ";
    }));
    // The next client gets the line that stayed at the head.
    EXPECT_EQ(attach(h, "A1")->readLine(), eventFrom("103"));
}

TEST(OutputServer, AnAnswerCountsOnlyForTheLineItFollows) {
    ServerHarness h(config("SyncP=1\n"));
    ASSERT_TRUE(h.feed({eventFrom("301"), eventFrom("302")}));
    auto client = attach(h, "A1");
    EXPECT_EQ(client->readLine(), eventFrom("301"));
    client->sendRaw("ok\r\nok\r\n");
    EXPECT_EQ(client->readLine(), eventFrom("302"));
    client->close();
    EXPECT_TRUE(test::eventually([&] { return h.attached() == 0; }));
    EXPECT_EQ(h.queued(), 1u);

    client = attach(h, "A1");
    EXPECT_EQ(client->readLine(), eventFrom("302"));
    client->send("ok");
    h.clock().advance(61'000);  // the sync is due, and the keep-alive too: either may come first
    auto sync = client->readLine(12'000);
    if (sync == "@") {
        client->send("ok");
        sync = client->readLine(12'000);
    }
    ASSERT_TRUE(sync && sync->rfind("systime", 0) == 0) << sync.value_or("(none)");
    EXPECT_TRUE(client->closedByServer(7000));
}

TEST(OutputServer, TwoClientsOnOneChannelRemoveEachLineOnce) {
    ServerHarness h(kIni + "[Opt]\nLifeTime=soon\n");  // no time: 4:00, and still served
    ASSERT_TRUE(h.feed({eventFrom("301"), eventFrom("302")}));
    auto a = attach(h, "A1", 1);
    EXPECT_EQ(a->readLine(), eventFrom("301"));
    auto b = attach(h, "A1", 2);
    EXPECT_EQ(b->readLine(), eventFrom("301"));  // both hold the same head
    b->send("ok");                              // b's answer removes 301
    EXPECT_EQ(b->readLine(), eventFrom("302"));
    a->send("ok");                              // a's answer must not remove 302
    EXPECT_TRUE(test::eventually([&] { return h.queued() == 1; }));
    sleepMs(100);
    EXPECT_EQ(h.onMain([](Server& s) { return s.channels()->at(0).Queue.front().text; }),
              eventFrom("302"));
}

TEST(OutputServer, UnknownOrUntrimmedIdIsHeldWithoutAnswerAndEndsAtStop) {
    ServerHarness h(kIni + "[CList]\na=10.0.0.5\nb=127.000.0.001\n");  // 127.0.0.1 is listed
    // An address the list leaves out is closed without a greeting, and leaves no record.
    EXPECT_TRUE(ScriptedRepeater(h.outPort(), "127.0.0.2").closedByServer(2000));
    EXPECT_TRUE(h.logLines(2).empty());
    ScriptedRepeater client(h.outPort());
    EXPECT_EQ(client.readLine(), "Kormlink");
    client.send(" A1");  // compared as received: no such channel
    EXPECT_FALSE(client.readLine(1000));
    EXPECT_EQ(h.attached(), 0);
    auto log = h.logLines(2);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_TRUE(std::regex_match(log[0], std::regex(R"(.+ Open Id= A1)"))) << log[0];
    EXPECT_TRUE(std::regex_match(log[1], std::regex(R"(.+ Close)"))) << log[1];
    // A held connection is not attached, yet the stop ends it at once.
    const Millis start = steadyClock().now();
    h.onMain([](Server& s) { s.StopServer(); });
    EXPECT_LT(steadyClock().now() - start, 3000);
    EXPECT_TRUE(client.closedByServer(1000));
}

TEST(OutputServer, ExpiredLinesAreDroppedUnsent) {
    // Lifetime one minute; the first line is stamped an hour ago (today, so routing keeps it).
    ServerHarness h(kIni + "[Opt]\nLifeTime=0:01\n");
    LocalTime t = localNow();
    if (t.hour == 0) GTEST_SKIP() << "an hour ago is yesterday";
    t.hour -= 1;
    const std::string fresh =
        EventSpec{.stamp = formatTimeStamp(localNow()), .transmitter = "402"}.build();
    ASSERT_TRUE(
        h.feed({EventSpec{.stamp = formatTimeStamp(t), .transmitter = "401"}.build(), fresh}));
    EXPECT_EQ(attach(h, "A1")->readLine(), fresh);
}

// While the main thread cannot write removals, a client gets at most 16 lines: what a kill at
// that moment would deliver again.
TEST(OutputServer, AtMostSixteenAnsweredLinesWaitForTheirRemoval) {
    ServerHarness h(kIni);
    std::vector<std::string> lines;
    for (int i = 0; i < 40; ++i) lines.push_back(eventFrom(test::hex3(0x400 + i)));
    ASSERT_TRUE(h.feed(lines));
    auto client = attach(h, "A1");
    ASSERT_EQ(client->readLine(), lines[0]);
    std::thread stall([&] { h.onMain([](Server&) { sleepMs(1500); }); });
    sleepMs(100);
    int sent = 0;
    do {
        client->send("ok");
        ++sent;
    } while (client->readLine(500));
    stall.join();
    EXPECT_LE(sent, 16);
}

// An Id too long or holding a control byte names no channel, even one that has it, and is
// never written: the log shows a plain Close, and the refusal is counted. 64 bytes still name.
// The 20 s for the Id are for the whole line: bytes trickling in do not extend them.
TEST(OutputServer, UnusableOrUnfinishedIdsAreRefusedWithoutTrace) {
    const std::string longest(64, 'B');
    ServerHarness h(kIni + "[Client1]\nId=" + longest + "\n[Client2]\nId=" + longest + "B\n");
    const std::string refused[] = {longest + "B", "A1\x1b[2J", "A\x7f" "1", "A1\t", "A1\r", ""};
    for (const std::string& id : refused) {
        ScriptedRepeater client(h.outPort());
        EXPECT_EQ(client.readLine(), "Kormlink");
        const std::size_t before = h.logLines(2).size();
        const Millis start = steadyClock().now();
        for (int i = 0; id.empty() && h.logLines(2).size() == before && i < 50; ++i, sleepMs(500))
            client.sendRaw("A");  // the last one trickles
        if (!id.empty()) client.send(id);
        ASSERT_TRUE(test::eventually([&] { return h.logLines(2).size() == before + 1; })) << id;
        EXPECT_LT(steadyClock().now() - start, 21'500);
        EXPECT_TRUE(std::regex_match(h.logLines(2).back(), std::regex(R"([^\x00-\x1f\x7f]+ Close)")));
    }
    EXPECT_EQ(h.onMain([](Server& s) { return s.counters().clientIdsRefused.load(); }), 5u);
    attach(h, longest, 1, 1);
}

// One address holds at most MaxPerAddress connections on each port; a place comes back when
// its connection ends.
TEST(OutputServer, EachPortLimitsTheConnectionsOfOneAddress) {
    ServerHarness h("[In]\nPort=0\nMaxPerAddress=1\n[Out]\nPort=0\nMaxPerAddress=1\n[Client0]\nId=A1\n");
    auto client = attach(h, "A1");
    auto repeater = h.repeater();
    EXPECT_TRUE(ScriptedRepeater(h.outPort()).closedByServer(2000));
    EXPECT_TRUE(ScriptedRepeater(h.port()).closedByServer(2000));
    EXPECT_EQ(h.onMain([](Server& s) { return s.refusedClientsPerAddress() + s.refusedPerAddress(); }), 2u);
    client->close();
    repeater->close();
    EXPECT_TRUE(test::eventually([&] { return ScriptedRepeater(h.outPort()).readLine(500).has_value(); }));
    EXPECT_TRUE(test::eventually([&] { return ScriptedRepeater(h.port()).readWelcome(500); }));
}

// A client that goes is let go at once, whatever its connection was doing: not by the
// keep-alive 10 s later, nor by the Id's 20 s. A line it did not answer stays queued; an Id
// cut short by the hang-up names no channel.
TEST(OutputServer, AClientThatHangsUpIsLetGoAtOnce) {
    struct Case {
        const char* name;
        bool lineOut;       // a line waits for its answer
        std::string bytes;  // sent with the hang-up, in one go, instead of attaching first
    };
    const Case cases[] = {{"idle", false, ""},
                          {"a line out", true, ""},
                          {"Id and hang-up together", false, "A1\r\n"},
                          {"half an Id", false, "A"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ServerHarness h(kIni);
        if (c.lineOut) ASSERT_TRUE(h.feed({eventFrom("501")}));
        const std::size_t records = h.logLines(2).size();
        if (c.bytes.empty()) {
            auto client = attach(h, "A1");
            if (c.lineOut) EXPECT_EQ(client->readLine(), eventFrom("501"));
            sleepMs(200);  // waiting for the answer, or idle
            client->close();
        } else {
            auto raw = TcpSocket::connectTo("127.0.0.1", h.outPort(), 2000);
            ASSERT_TRUE(raw);
            std::string greeting;
            ASSERT_EQ(raw->recvLine(greeting, 3000), RecvStatus::Line);
            ASSERT_TRUE(raw->sendAll(c.bytes));
            ::shutdown(raw->fd(), SHUT_WR);
        }
        // The close record comes at the end of a served client, and at once for one that
        // named no channel (which is then held).
        EXPECT_TRUE(test::eventually(
            [&] {
                const auto log = h.logLines(2);
                return log.size() > records && log.back().find(" Close") != std::string::npos &&
                       h.attached() == 0;
            },
            1500));
        EXPECT_EQ(h.queued(), c.lineOut ? 1u : 0u);
    }
}

// Idle clients have no thread each: they share the server's few connection loops.
TEST(OutputServer, IdleClientsCostNoThreadEach) {
    ServerHarness h(config("MaxPerAddress=0\n"));
    const auto threads = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                             std::filesystem::directory_iterator());
    };
    const auto before = threads();
    std::vector<std::unique_ptr<ScriptedRepeater>> clients;
    for (int i = 0; i < 40; ++i) clients.push_back(attach(h, "A1", i + 1));
    EXPECT_LT(threads(), before + 4);
}

}  // namespace
}  // namespace kormlink
