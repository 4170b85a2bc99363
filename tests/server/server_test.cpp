#include "server/server.h"

#include <gtest/gtest.h>

#include "output/channels.h"
#include "platform/tcp.h"
#include "support/harness.h"

namespace kormlink {
namespace {

using test::ServerHarness;

TEST(Server, APortInUseLeavesTheServerRunningWithoutAListener) {
    auto other = TcpListener::open(0, nullptr);
    ASSERT_TRUE(other);
    ServerHarness h("[In]\nPort=" + std::to_string(other->port()) + "\n");
    EXPECT_TRUE(test::eventually([&] {
        return h.onMain([](Server& s) { return s.isRunning() && s.hostList() != nullptr; });
    }));
    EXPECT_EQ(h.onMain([](Server& s) { return s.inputPort(); }), 0);
}

}  // namespace
}  // namespace kormlink
