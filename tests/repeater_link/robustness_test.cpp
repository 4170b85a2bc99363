// Bad peers must end only their own connection; everyone else is served on.

#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "support/harness.h"

namespace kormlink {
namespace {

using test::EventSpec;
using test::ScriptedRepeater;
using test::ServerHarness;

// A well-behaved repeater that connects once the bad ones have done their worst (its greeting
// may wait behind a backlog of connections still to be accepted).
void expectServed(ServerHarness& h, Millis welcomeMs = 3000) {
    ScriptedRepeater good(h.port());
    ASSERT_TRUE(good.readWelcome(welcomeMs));
    good.send(EventSpec{}.build());
    EXPECT_EQ(good.readLine(), "");
}

// A repeater whose address is not in [RList] gets no greeting and is closed at once; one
// inside a listed network is served.
TEST(Robustness, RepeatersOutsideTheAllowListGetNoGreeting) {
    for (const char* list : {"station=10.0.0.0/8\n", "bad=127.0.0.300\n"}) {
        ServerHarness h(std::string("[In]\nPort=0\n[RList]\n") + list);
        ScriptedRepeater outside(h.port());
        EXPECT_TRUE(outside.closedByServer(2000)) << list;
        EXPECT_EQ(h.onMain([](Server& s) { return s.refusedByAddress(); }), 1u);
    }
    ServerHarness h("[In]\nPort=0\n[RList]\nother=10.0.0.1\nlocal=127.0.0.0/8\n");
    expectServed(h);
}

// An endless line without a line end ends that connection; binary garbage on another is
// handled as lines, and that connection goes on.
TEST(Robustness, AnEndlessLineEndsItsConnectionBinaryGarbageIsHandledAsLines) {
    ServerHarness h("[In]\nPort=0\n");
    auto flood = h.repeater(), rpt = h.repeater();
    for (int i = 0; i < 6; ++i) flood->sendRaw(std::string(16 * 1024, 'A'));  // 96 KiB, no CR LF
    EXPECT_TRUE(flood->closedByServer(3000));
    std::mt19937 rng(7);
    std::string garbage;
    for (int i = 0; i < 20000; ++i) garbage.push_back(static_cast<char>(rng() & 0xFF));
    rpt->sendRaw(garbage + "\r\n");
    // The garbage's lines are refused, not acknowledged as events; a proper event is served.
    rpt->send(EventSpec{}.build());
    int empties = 0;
    while (auto line = rpt->readLine(1000)) empties += line->empty();
    EXPECT_EQ(empties, 1);
    // The garbage's first CR LF comes after 1024 bytes; the endless line is no line at all.
    EXPECT_EQ(h.onMain([](Server& s) { return s.snapshot().overlongLines; }), 1u);
    EXPECT_TRUE(h.waitRegistrySize(1));
    expectServed(h);
}

// Under the sanitizers, the race detector's view of connection set-up and teardown under load.
TEST(Robustness, ThousandsOfShortConnections) {
    ServerHarness h("[In]\nPort=0\n");
    const std::uint16_t port = h.port();
    std::vector<std::thread> workers;
    for (int w = 0; w < 4; ++w) {
        workers.emplace_back([port, w] {
            for (int i = 0; i < 500; ++i) {
                ScriptedRepeater r(port);
                if (i % 3 == 0) r.sendRaw("COM" + std::to_string(w));  // half a line, then gone
                if (i % 2 == 0) r.reset();  // RST instead of FIN
            }
        });
    }
    for (auto& t : workers) t.join();
    // Every connection has ended, also those accepted after their peer had gone, which never
    // reach the registry but hold their address's place until they end.
    EXPECT_TRUE(test::eventually(
        [&] { return h.onMain([](Server& s) { return s.runningWorkers(); }) == 0; }, 20000));
    EXPECT_TRUE(h.waitRegistrySize(0, 20000));
    EXPECT_TRUE(h.logLines(0).empty());  // no partial line was taken as an event
    expectServed(h, 20000);
}

// Connections beyond the limit are closed at once and counted; those being served go on, and
// a place that frees up is taken again.
TEST(Robustness, ConnectionsBeyondTheLimitAreRefusedAndCounted) {
    ServerHarness h("[In]\nPort=0\nMaxConnections=2\n");
    auto first = h.repeater(), second = h.repeater();
    ScriptedRepeater refused(h.port());
    EXPECT_TRUE(refused.closedByServer(3000));
    EXPECT_EQ(h.onMain([](Server& s) { return s.refusedConnections(); }), 1u);
    second->send(EventSpec{}.build());
    EXPECT_EQ(second->readLine(), "");

    first.reset();  // its place comes free once its thread has ended
    bool admitted = false;
    for (int attempt = 0; attempt < 100 && !admitted; ++attempt) {
        ScriptedRepeater next(h.port());
        admitted = next.readWelcome();
        if (!admitted) sleepMs(20);
    }
    EXPECT_TRUE(admitted);
}

}  // namespace
}  // namespace kormlink
