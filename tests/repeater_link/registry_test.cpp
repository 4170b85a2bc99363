// The connection registry: order by Id, numbering, open and close records, stopping.

#include <gtest/gtest.h>

#include <regex>

#include "output/channels.h"
#include "output/client_list.h"
#include "repeater_link/host_list.h"
#include "repeater_link/repeater_connection.h"
#include "server/status_snapshot.h"
#include "support/harness.h"

namespace kormlink {
namespace {

using test::EventSpec;
using test::ScriptedRepeater;
using test::ServerHarness;

TEST(Registry, SortedByIdWithUnknownIdsFirstAndDuplicatesSideBySide) {
    ServerHarness h("[In]\nPort=0\n");
    std::vector<std::unique_ptr<ScriptedRepeater>> rpts;
    for (int i = 0; i < 5; ++i) {
        // The second 000003 comes from another address: from the same one it would replace
        // the first.
        rpts.push_back(h.repeater(i == 3 ? "127.0.0.2" : ""));
        ASSERT_TRUE(h.waitRegistrySize(rpts.size()));  // accept order fixes Nr
    }
    // F0000001 is negative if it were compared signed; rpts[4] never identifies itself.
    const char* ids[] = {"000003", "F0000001", "000002", "000003"};
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(h.identify(*rpts[i], ids[i]));
    auto rows = h.registry();
    ASSERT_EQ(rows.size(), 5u);
    if (rows[2].second == 3) std::swap(rows[2], rows[3]);  // the two 000003 in either order
    EXPECT_EQ(rows, (std::vector<std::pair<std::uint32_t, std::int32_t>>{
                        {0, 4}, {2, 2}, {3, 0}, {3, 3}, {0xF0000001u, 1}}));
    EXPECT_EQ(h.view().lastCount(), 5u);
    // An Id that two addresses report takes no command; a single one finds its connection.
    EXPECT_TRUE(h.onMain([](Server& s) {
        const HpIdClaim three = s.hostList()->findByHpId(3);
        return !three.connection && three.addresses.size() == 2 &&
               s.hostList()->findByHpId(2).connection == s.hostList()->at(1);
    }));

    // The Id is learned once: a later line with another Id does not change it.
    ASSERT_TRUE(h.identify(*rpts[2], "000009"));
    EXPECT_EQ(h.registry()[1].first, 2u);

    // Closing: a close record for each identified connection, none for the unknown one.
    for (auto& r : rpts) r->close();
    ASSERT_TRUE(h.waitRegistrySize(0));
    const auto log = h.logLines(2);
    auto count = [&](const char* pattern) {
        return std::count_if(log.begin(), log.end(), [&](const std::string& l) {
            return std::regex_match(l, std::regex(pattern));
        });
    };
    EXPECT_EQ(count(".+ Open .+"), 4);
    EXPECT_EQ(count(R"(.+ Open 000003 127\.0\.0\.[12])"), 2);
    EXPECT_EQ(count(".+ Close .+"), 4);
    EXPECT_EQ(count(R"(.+ Close F0000001 127\.0\.0\.1)"), 1);
    EXPECT_EQ(h.view().lastCount(), 0u);
}

// One Id from two addresses: no command reaches either connection while both hold it (one
// pending is dropped), their events go on as ever, the status snapshot lists the Id; when one
// ends, commands go through again. From the same address, the newer connection replaces the
// older.
TEST(Registry, AnIdClaimedTwiceRefusesCommandsOrReplacesTheOlderConnection) {
    ServerHarness h("[In]\nPort=0\n");
    auto first = h.repeater();
    ASSERT_TRUE(h.identify(*first));
    auto second = h.repeater("127.0.0.2");
    ASSERT_TRUE(h.queueCommand(0xA1B2, "stat"));
    ASSERT_TRUE(h.identify(*second));  // the conflict begins
    const std::string refusal = "Id A1B2 is claimed by 127.0.0.1 and 127.0.0.2; commands are "
                                "refused until one of them ends.";
    EXPECT_TRUE(h.shown(refusal));  // the pending "stat" was dropped
    const StatusSnapshot snap = h.onMain([](Server& s) {
        // The command window and the console look the Id up like this before handing over.
        EXPECT_EQ(s.hostList()->findByHpId(0xA1B2).connection, nullptr);
        for (RepeaterConnection* c : s.hostList()->entries()) c->setPendingCmd("stat");
        return s.snapshot();
    });
    ASSERT_EQ(snap.contestedIds.size(), 1u);
    EXPECT_EQ(snap.contestedIds[0].id, "A1B2");
    EXPECT_EQ(snap.contestedIds[0].addresses, (std::vector<std::string>{"127.0.0.1", "127.0.0.2"}));
    EXPECT_NE(renderMetrics(snap).find("\nkormlink_contested_ids 1\n"), std::string::npos);
    EXPECT_NE(renderStatusPage(snap, "t").find(refusal), std::string::npos);
    for (ScriptedRepeater* r : {first.get(), second.get()}) {
        r->send(EventSpec{.transmitter = "321"}.build());
        EXPECT_EQ(r->readLine(), "");  // answered as ever, no command
    }
    EXPECT_TRUE(h.waitRouted(4));

    second->close();
    ASSERT_TRUE(h.waitRegistrySize(1));
    EXPECT_TRUE(h.onMain([](Server& s) { return s.snapshot().contestedIds.empty(); }));
    ASSERT_TRUE(h.queueCommand(0xA1B2, "stat"));
    first->send(EventSpec{}.build());
    EXPECT_EQ(first->readLine(), "stat");

    // The repeater connects again from its address while the old connection lingers.
    auto again = h.repeater();
    ASSERT_TRUE(h.identify(*again));
    EXPECT_TRUE(first->closedByServer(2000));
    ASSERT_TRUE(h.waitRegistrySize(1));
    EXPECT_TRUE(test::eventually([&] {  // its end steps ran: the close record, last
        const auto log = h.logLines(2);
        return log.size() == 5u && log[4].ends_with("Close 00A1B2 127.0.0.1");
    }));
    EXPECT_EQ(h.onMain([](Server& s) { return s.snapshot().repeaterConnectionsReplaced; }), 1u);
    ASSERT_TRUE(h.queueCommand(0xA1B2, "stat"));
    again->send(EventSpec{}.build());
    EXPECT_EQ(again->readLine(), "stat");
}

// A connection accepted just before a stop registers through a hand-over that the stop itself
// serves; it must be refused, not left running past the stop.
TEST(Registry, StopEndsLiveConnectionsRefusesOneArrivingDuringItAndARestartNumbersFromZero) {
    ServerHarness h("[In]\nPort=0\n");
    std::vector<std::unique_ptr<ScriptedRepeater>> rpts;
    for (int i = 0; i < 20; ++i) rpts.push_back(h.repeater());
    ASSERT_TRUE(h.waitRegistrySize(20));
    ASSERT_TRUE(h.identify(*rpts[7], "00BEEF"));
    const std::uint16_t port = h.port();
    std::optional<ScriptedRepeater> late;
    const Millis start = steadyClock().now();
    h.onMain([&](Server& s) {
        late.emplace(port);  // its registration waits behind this closure
        sleepMs(300);
        s.StopServer();
        s.StopServer();  // a second stop finds nothing to do
        EXPECT_EQ(s.hostList(), nullptr);
    });
    EXPECT_LT(steadyClock().now() - start, 5000);  // a stop request ends a receive at once
    for (auto& r : rpts) EXPECT_TRUE(r->closedByServer(2000));
    ASSERT_TRUE(late->connected());
    EXPECT_TRUE(late->readWelcome());
    EXPECT_TRUE(late->closedByServer(2000));
    auto log = h.logLines(2);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_NE(log[1].find("Close 00BEEF"), std::string::npos);

    h.onMain([](Server& s) { s.LoadConfiguration(); });
    EXPECT_TRUE(h.registry().empty());  // the late connection did not survive the stop
    auto again = h.repeater();
    ASSERT_TRUE(h.waitRegistrySize(1));
    EXPECT_EQ(h.registry()[0].second, 0);
}

// A window that fails while a connection registers or a client attaches ends that connection
// and leaves no entry behind; the next stop walks the lists safely.
TEST(Registry, AFailingViewLeavesNoEntryBehind) {
    ServerHarness h("[In]\nPort=0\n[Out]\nPort=0\n[Client0]\nId=A1\n");
    h.view().setFailing(true);
    EXPECT_TRUE(h.repeater()->closedByServer(3000));
    ScriptedRepeater client(h.outPort());
    EXPECT_EQ(client.readLine(), "Kormlink");
    client.send("A1");
    EXPECT_TRUE(client.closedByServer(3000));
    EXPECT_TRUE(h.waitRegistrySize(0));
    EXPECT_TRUE(test::eventually([&]() -> bool {
        return h.onMain([](Server& s) -> bool {
            return s.clientList()->size() == 0 && s.channels()->at(0).Connected == 0;
        });
    }));

    h.view().setFailing(false);
    auto again = h.repeater();
    again->send(EventSpec{}.build());
    EXPECT_EQ(again->readLine(), "");
    EXPECT_TRUE(h.waitRegistrySize(1));
}

}  // namespace
}  // namespace kormlink
