// The acceptor's per-address limit, with real connections from two loopback addresses.

#include "platform/tcp_acceptor.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <mutex>
#include <vector>

namespace kormlink {
namespace {

// Serves every accepted connection by keeping its socket and slot until told to let go; the
// first `throwing` starts fail after taking their slot.
struct Holder {
    std::mutex mutex;
    std::vector<std::pair<UniqueFd, AddressSlot>> held;
    int starts = 0, throwing = 0;

    void operator()(UniqueFd fd, AddressSlot slot) {
        std::lock_guard lock(mutex);
        if (starts++ < throwing) throw std::runtime_error("no thread");
        held.emplace_back(std::move(fd), std::move(slot));
    }
    int count() {
        std::lock_guard lock(mutex);
        return starts;
    }
    void letGo() {
        std::lock_guard lock(mutex);
        held.clear();
    }
};

// Opens a connection from `from` (127.0.0.x: the client is bound before it connects) and
// tells whether the acceptor served it ('S') or refused it for its address ('R').
char connectFrom(TcpAcceptor& acceptor, Holder& holder, const char* from,
                 std::vector<UniqueFd>& clients) {
    const int startsBefore = holder.count();
    const std::uint64_t refusedBefore = acceptor.refusedPerAddress();
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &a.sin_addr);
    EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    a.sin_port = htons(acceptor.boundPort());
    ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    EXPECT_EQ(::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    clients.push_back(std::move(fd));
    for (int i = 0; i < 300; ++i) {
        if (holder.count() > startsBefore) return 'S';
        if (acceptor.refusedPerAddress() > refusedBefore) return 'R';
        sleepMs(10);
    }
    return '?';
}

void waitBound(const TcpAcceptor& acceptor) {
    for (int i = 0; i < 100 && acceptor.boundPort() == 0; ++i) sleepMs(10);
    ASSERT_NE(acceptor.boundPort(), 0);
}

TEST(TcpAcceptor, EachAddressHoldsAtMostItsLimit) {
    struct Case {
        std::int64_t perAddress;
        std::vector<const char*> from;
        std::string outcome;
    };
    const Case cases[] = {
        {2, {"127.0.0.1", "127.0.0.1", "127.0.0.1", "127.0.0.2", "127.0.0.2"}, "SSRSS"},
        {1, {"127.0.0.2", "127.0.0.1", "127.0.0.2", "127.0.0.1"}, "SSRR"},
        {0, {"127.0.0.1", "127.0.0.1", "127.0.0.1"}, "SSS"},  // no limit
    };
    for (const Case& c : cases) {
        Holder holder;
        AcceptLimit limit;
        limit.perAddress = c.perAddress;
        TcpAcceptor acceptor(0, "test clients", std::ref(holder), std::move(limit));
        waitBound(acceptor);
        std::vector<UniqueFd> clients;
        std::string outcome;
        for (const char* from : c.from) outcome += connectFrom(acceptor, holder, from, clients);
        EXPECT_EQ(outcome, c.outcome) << "limit " << c.perAddress;
    }
}

// The place comes back when whoever holds the slot lets go of it, and when the start that was
// handed it fails.
TEST(TcpAcceptor, APlaceComesBackWhenItsConnectionEnds) {
    Holder holder;
    holder.throwing = 1;
    AcceptLimit limit;
    limit.perAddress = 1;
    TcpAcceptor acceptor(0, "test clients", std::ref(holder), std::move(limit));
    waitBound(acceptor);
    std::vector<UniqueFd> clients;
    std::string outcome;
    for (int i = 0; i < 3; ++i) outcome += connectFrom(acceptor, holder, "127.0.0.1", clients);
    holder.letGo();
    outcome += connectFrom(acceptor, holder, "127.0.0.1", clients);
    EXPECT_EQ(outcome, "SSRS");  // the first start threw
}

}  // namespace
}  // namespace kormlink
