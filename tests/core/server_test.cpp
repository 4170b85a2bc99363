#include "core/server.h"

#include <gtest/gtest.h>

#include "output/channels.h"
#include "platform/tcp.h"
#include "support/harness.h"

namespace kormlink {
namespace {

using test::ServerHarness;

TEST(Server, ChannelListFollowsTheSectionsInFileOrder) {
    ServerHarness h(
        "[In]\nPort=0\n[Client_north]\nId=N\n[client1]\nId=lower\n[Com]\nQSize=10\n"
        "[Client0]\nId=A1\n[Out]\nComOn=1\n[Options]\nTestTime=7\n");
    auto [ids, comOn, has, testTime] = h.onMain([](Server& s) {
        std::vector<std::string> ids;
        for (std::size_t i = 0; i < s.channels()->size(); ++i) ids.push_back(s.channels()->at(i).Id);
        return std::make_tuple(ids, s.ComOn, s.HasChannels, s.TestTime());
    });
    EXPECT_EQ(ids, (std::vector<std::string>{"Com", "N", "A1"}));
    EXPECT_TRUE(comOn);
    EXPECT_TRUE(has);
    EXPECT_EQ(testTime, 7 * 60'000);
}

TEST(Server, ComSectionCountsOnlyWhenTheSerialOutputIsOn) {
    ServerHarness h("[In]\nPort=0\n[Com]\nQSize=10\n[Out]\nComOn=0\n");
    EXPECT_FALSE(h.onMain([](Server& s) { return s.HasChannels; }));
    EXPECT_EQ(h.onMain([](Server& s) { return s.TestTime(); }), 5 * 60'000);
}

TEST(Server, APortInUseLeavesTheServerRunningWithoutAListener) {
    auto other = TcpListener::open(0, nullptr);
    ASSERT_TRUE(other);
    ServerHarness h("[In]\nPort=" + std::to_string(other->port()) + "\n");
    EXPECT_TRUE(test::eventually([&] {
        return h.onMain([](Server& s) { return s.isRunning() && s.hostList() != nullptr; });
    }));
    EXPECT_EQ(h.onMain([](Server& s) { return s.inputPort(); }), 0);
}

TEST(Server, StopAndReloadAreRepeatable) {
    ServerHarness h("[In]\nPort=0\n");
    h.onMain([](Server& s) {
        s.StopServer();
        s.StopServer();
        EXPECT_FALSE(s.isRunning());
        EXPECT_EQ(s.hostList(), nullptr);
        s.LoadConfiguration();
        EXPECT_TRUE(s.isRunning());
    });
    EXPECT_NE(h.port(), 0);
}

}  // namespace
}  // namespace kormlink
