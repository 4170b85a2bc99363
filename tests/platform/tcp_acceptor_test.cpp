// The acceptor's limit per address, with real connections from two loopback addresses.

#include "platform/tcp_acceptor.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>

#include <atomic>
#include <mutex>
#include <vector>

namespace kormlink {
namespace {

// Each step connects from 127.0.0.<digit> (bound before it connects) and notes whether the
// connection was served (S) or refused for its address (R); '-' lets go of every slot held.
// The first start throws something other than a std::exception: it costs that connection
// only, and its place comes back.
TEST(TcpAcceptor, EachAddressHoldsAtMostItsLimitUntilItsConnectionsEnd) {
    const struct { std::int64_t perAddress; std::string steps, outcome; } cases[] = {
        {2, "11112-1", "SSSRSS"}, {1, "2121", "SSSR"}, {0, "1111", "SSSS"}};
    for (const auto& c : cases) {
        std::mutex mutex;
        std::vector<AddressSlot> held;
        std::atomic<int> starts{0};
        AcceptLimit limit;
        limit.perAddress = c.perAddress;
        TcpAcceptor acceptor(0, "test clients", [&](UniqueFd, AddressSlot slot) {
            std::lock_guard lock(mutex);
            if (starts++ == 0) throw 42;
            held.push_back(std::move(slot));
        }, std::move(limit));
        for (int i = 0; i < 100 && acceptor.boundPort() == 0; ++i) sleepMs(10);
        std::vector<UniqueFd> clients;
        std::string outcome;
        for (char step : c.steps) {
            if (step == '-') {
                std::lock_guard lock(mutex);
                held.clear();
                continue;
            }
            const std::uint64_t refused = acceptor.refusedPerAddress(), handled = starts + refused;
            const int fd = clients.emplace_back(::socket(AF_INET, SOCK_STREAM, 0)).get();
            sockaddr_in a{AF_INET, 0, {htonl(0x7F000000u + static_cast<unsigned>(step - '0'))}, {}};
            EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
            a = {AF_INET, htons(acceptor.boundPort()), {htonl(INADDR_LOOPBACK)}, {}};
            EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
            for (int i = 0; i < 300 && starts + acceptor.refusedPerAddress() == handled; ++i)
                sleepMs(10);
            outcome += acceptor.refusedPerAddress() > refused ? 'R'
                       : starts > static_cast<int>(handled - refused) ? 'S' : '?';
        }
        EXPECT_EQ(outcome, c.outcome) << "limit " << c.perAddress << ", steps " << c.steps;
    }
}

}  // namespace
}  // namespace kormlink
