// The connection registry: order by Id, numbering, open and close records, stopping.

#include <gtest/gtest.h>

#include <regex>

#include "output/channels.h"
#include "output/client_list.h"
#include "repeater_link/host_list.h"
#include "repeater_link/repeater_connection.h"
#include "support/harness.h"

namespace kormlink {
namespace {

using test::EventSpec;
using test::ScriptedRepeater;
using test::ServerHarness;

// Sends an event carrying the Id; returns once the server has logged it (the Id is learned
// just after the acknowledgement).
void identify(ServerHarness& h, ScriptedRepeater& rpt, const std::string& id) {
    const std::size_t logged = h.logLines(0).size();
    EventSpec e;
    e.repeaterId = id;
    rpt.send(e.build());
    ASSERT_EQ(rpt.readLine(), "");
    ASSERT_TRUE(test::eventually([&] { return h.logLines(0).size() > logged; }));
    h.onMain([](Server&) {});  // the Id is learned in the same hand-over as the log line
}

TEST(Registry, SortedByIdWithUnknownIdsFirstAndDuplicatesSideBySide) {
    ServerHarness h("[In]\nPort=0\n");
    std::vector<std::unique_ptr<ScriptedRepeater>> rpts;
    for (int i = 0; i < 5; ++i) {
        rpts.push_back(std::make_unique<ScriptedRepeater>(h.port()));
        ASSERT_TRUE(rpts.back()->readWelcome());
        ASSERT_TRUE(h.waitRegistrySize(rpts.size()));  // accept order fixes Nr
    }
    identify(h, *rpts[0], "000003");
    identify(h, *rpts[1], "F0000001");  // negative if it were compared signed
    identify(h, *rpts[2], "000002");
    identify(h, *rpts[3], "000003");
    // rpts[4] never identifies itself.
    auto rows = h.registry();
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[0], (std::pair<std::uint32_t, std::int32_t>{0, 4}));
    EXPECT_EQ(rows[1], (std::pair<std::uint32_t, std::int32_t>{2, 2}));
    EXPECT_EQ(rows[2].first, 3u);
    EXPECT_EQ(rows[3].first, 3u);
    EXPECT_EQ(rows[4], (std::pair<std::uint32_t, std::int32_t>{0xF0000001u, 1}));
    EXPECT_EQ(h.view().lastCount(), 5u);

    // The Id is learned once: a later line with another Id does not change it.
    identify(h, *rpts[2], "000009");
    EXPECT_EQ(h.registry()[1].first, 2u);

    // Closing: a close record for each identified connection, none for the unknown one.
    for (auto& r : rpts) r->close();
    ASSERT_TRUE(h.waitRegistrySize(0));
    auto log = h.logLines(2);
    EXPECT_EQ(
        std::count_if(log.begin(), log.end(),
                      [](const std::string& l) { return l.find(" Open ") != std::string::npos; }),
        4);
    EXPECT_EQ(
        std::count_if(log.begin(), log.end(),
                      [](const std::string& l) { return l.find(" Close ") != std::string::npos; }),
        4);
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const std::string& l) {
        return std::regex_match(l, std::regex(R"(.+ Close F0000001 127\.0\.0\.1)"));
    }));
    EXPECT_EQ(h.view().lastCount(), 0u);
}

TEST(Registry, StopEndsLiveConnectionsAndARestartNumbersFromZero) {
    ServerHarness h("[In]\nPort=0\n");
    std::vector<std::unique_ptr<ScriptedRepeater>> rpts;
    for (int i = 0; i < 20; ++i) {
        rpts.push_back(std::make_unique<ScriptedRepeater>(h.port()));
        ASSERT_TRUE(rpts.back()->readWelcome());
    }
    ASSERT_TRUE(h.waitRegistrySize(20));
    identify(h, *rpts[7], "00BEEF");
    const Millis start = steadyClock().now();
    h.onMain([](Server& s) { s.StopServer(); });
    EXPECT_LT(steadyClock().now() - start, 5000);  // a stop request ends a receive at once
    for (auto& r : rpts) EXPECT_TRUE(r->closedByServer(2000));
    auto log = h.logLines(2);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_NE(log[1].find("Close 00BEEF"), std::string::npos);

    h.onMain([](Server& s) { s.LoadConfiguration(); });
    ScriptedRepeater again(h.port());
    ASSERT_TRUE(again.readWelcome());
    ASSERT_TRUE(h.waitRegistrySize(1));
    EXPECT_EQ(h.registry()[0].second, 0);
}

// A connection accepted just before a stop registers through a hand-over that the stop itself
// serves; it must be refused, not left running past the stop.
TEST(Registry, AConnectionArrivingDuringAStopIsRefused) {
    ServerHarness h("[In]\nPort=0\n");
    const std::uint16_t port = h.port();
    ScriptedRepeater early(port);
    ASSERT_TRUE(early.readWelcome());
    ASSERT_TRUE(h.waitRegistrySize(1));
    std::optional<ScriptedRepeater> late;
    const Millis start = steadyClock().now();
    h.onMain([&](Server& s) {
        late.emplace(port);  // its registration waits behind this closure
        sleepMs(300);
        s.StopServer();
    });
    EXPECT_LT(steadyClock().now() - start, 5000);
    EXPECT_TRUE(early.closedByServer(2000));
    ASSERT_TRUE(late->connected());
    EXPECT_TRUE(late->readWelcome());
    EXPECT_TRUE(late->closedByServer(2000));
    h.onMain([](Server& s) { s.LoadConfiguration(); });
    EXPECT_TRUE(h.registry().empty());
}

// A window that fails while a connection registers or a client attaches ends that connection
// and leaves no entry behind; the next stop walks the lists safely.
TEST(Registry, AFailingViewLeavesNoEntryBehind) {
    ServerHarness h("[In]\nPort=0\n[Out]\nPort=0\n[Client0]\nId=A1\n");
    h.view().setFailing(true);
    ScriptedRepeater rpt(h.port());
    ASSERT_TRUE(rpt.readWelcome());
    EXPECT_TRUE(rpt.closedByServer(3000));
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
    ScriptedRepeater again(h.port());
    ASSERT_TRUE(again.readWelcome());
    again.send(EventSpec{}.build());
    EXPECT_EQ(again.readLine(), "");
    EXPECT_TRUE(h.waitRegistrySize(1));
}

TEST(Registry, CompareHpIdIsUnsigned) {
    EXPECT_EQ(tHostList::CompareHpId(5, 5), 0);
    EXPECT_EQ(tHostList::CompareHpId(0x80000000u, 1), 1);
    EXPECT_EQ(tHostList::CompareHpId(1, 0xFFFFFFFFu), -1);
}

TEST(Registry, CommandGoesToTheLastEntryWithThatId) {
    ServerHarness h("[In]\nPort=0\n");
    ScriptedRepeater a(h.port()), b(h.port());
    ASSERT_TRUE(a.readWelcome());
    ASSERT_TRUE(b.readWelcome());
    ASSERT_TRUE(h.waitRegistrySize(2));
    identify(h, a, "000042");
    identify(h, b, "000042");
    h.onMain([](Server& s) { s.hostList()->findByHpId(0x42)->setPendingCmd("hello"); });
    // Exactly one of the two gets it; the other answers its event with an empty line.
    a.send(EventSpec{}.build());
    b.send(EventSpec{}.build());
    auto ra = a.readLine(), rb = b.readLine();
    ASSERT_TRUE(ra && rb);
    EXPECT_EQ(*ra + "|" + *rb == "hello|" || *ra + "|" + *rb == "|hello", true)
        << *ra << "|" << *rb;
}

}  // namespace
}  // namespace kormlink
