// The HTTP server's bounds seen from outside: connections that never finish a request or never
// read the answer are let go once idle, the limit per address holds, and a request whose client
// left while it was handled gets nothing sent.

#include "platform/http_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <vector>

#include "platform/clock.h"
#include "platform/unique_fd.h"
#include "support/harness.h"

namespace kormlink {
namespace {

// A client from source (a loopback address), with a small receive buffer when asked.
UniqueFd dial(std::uint16_t port, const std::string& sends = "", const char* source = "127.0.0.1",
              int receiveBuffer = 0) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
    if (receiveBuffer)
        ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a{AF_INET, 0, {}, {}};
    ::inet_pton(AF_INET, source, &a.sin_addr);
    const bool bound = ::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    if (!bound || ::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::send(fd.get(), sends.data(), sends.size(), MSG_NOSIGNAL) < 0)
        return {};
    return fd;
}

// The status of a GET, "" when the connection is closed without one within a second.
std::string statusOf(std::uint16_t port, const char* source = "127.0.0.1") {
    UniqueFd fd = dial(port, "GET / HTTP/1.0\r\nHost: localhost\r\n\r\n", source);
    char buf[16] = {};
    pollfd p{fd.get(), POLLIN, 0};
    const bool got = ::poll(&p, 1, 1000) > 0 && ::recv(fd.get(), buf, 12, MSG_WAITALL) == 12;
    return got ? std::string(buf + 9, 3) : "";
}

// The answer to /big is far larger than any socket buffer: a client that does not read it
// leaves the server with a write that cannot finish.
std::unique_ptr<HttpServer> startServer(HttpServer::Handler handler = [](const auto& r) {
    return HttpServer::Response{200, "text/plain", std::string(r.path == "/big" ? 8 << 20 : 3, 'x')};
}) {
    return HttpServer::start("127.0.0.1", 0, std::move(handler), nullptr);
}

TEST(HttpServer, ClientsThatHoldAConnectionAreDroppedOnceIdleAndOthersServedMeanwhile) {
    const struct {
        const char* client;
        std::string sends;
        int receiveBuffer;
    } cases[] = {
        {"silent", "", 0},
        {"half a request", "GET / HTTP/1.1\r\nHost: localhost\r\nAccept: te", 0},
        {"never reads", "GET /big HTTP/1.1\r\nHost: localhost\r\n\r\n", 4096},
    };
    // One server each, all at once: the time-outs run in parallel.
    std::vector<std::unique_ptr<HttpServer>> servers;
    std::vector<UniqueFd> clients;
    const Millis start = steadyClock().now();
    for (const auto& c : cases) {
        ASSERT_TRUE(servers.emplace_back(startServer()));
        ASSERT_TRUE(clients.emplace_back(dial(servers.back()->port(), c.sends, "127.0.0.1",
                                              c.receiveBuffer)));
    }
    sleepMs(HttpServer::kIdleTimeoutS * 1000 / 2);
    // Idle since it sent (the never-reading client: since the last part of the answer went, a
    // little after the start on a loaded machine), to the time-out; then two seconds for the
    // server, which counts the time-out in whole seconds, to notice.
    const Millis bound = (HttpServer::kIdleTimeoutS + 2) * 1000;
    for (std::size_t i = 0; i < servers.size(); ++i) {
        EXPECT_EQ(servers[i]->openConnections(), 1u) << cases[i].client << " holds none";
        EXPECT_EQ(statusOf(servers[i]->port()), "200") << cases[i].client;
    }
    for (std::size_t i = 0; i < servers.size(); ++i) {
        EXPECT_TRUE(test::eventually([&] { return servers[i]->openConnections() == 0; },
                            start + bound - steadyClock().now()))
            << cases[i].client << " still held after " << bound << " ms";
    }
}

TEST(HttpServer, TheLimitPerAddressHoldsAndAnAbandonedRequestGetsNoAnswer) {
    auto server = startServer();
    std::vector<UniqueFd> held;
    for (unsigned i = 0; i < HttpServer::kMaxPerAddress; ++i) held.push_back(dial(server->port()));
    ASSERT_TRUE(test::eventually([&] { return server->openConnections() == held.size(); }, 2000));
    EXPECT_EQ(statusOf(server->port()), "");
    EXPECT_EQ(statusOf(server->port(), "127.0.0.2"), "200");

    // The client leaves while its answer is prepared: the handler sees it, nothing is sent.
    std::atomic<int> sawGone{-1};
    auto slow = startServer([&](const HttpServer::Request& r) {
        sleepMs(300);
        sawGone = r.clientGone();
        return HttpServer::Response{};
    });
    dial(slow->port(), "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n");  // closed at once
    EXPECT_TRUE(
        test::eventually([&] { return slow->openConnections() == 0 && sawGone != -1; }, 2000));
    EXPECT_EQ(sawGone, 1);
}

}  // namespace
}  // namespace kormlink
