// The HTTP server's bounds seen from outside: connections that never finish a request or never
// read the answer are let go once idle for the time-out, the connection limits hold, and a
// request whose client left while it was handled gets nothing sent.

#include "platform/http_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/unique_fd.h"

namespace kormlink {
namespace {

// A client socket from source (a loopback address) to the server, with a small receive buffer
// when asked; what it sends goes at once.
UniqueFd dial(std::uint16_t port, const std::string& sends = "", const char* source = "127.0.0.1",
              int receiveBuffer = 0) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
    if (receiveBuffer)
        ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &a.sin_addr);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return {};
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return {};
    if (!sends.empty() && ::send(fd.get(), sends.data(), sends.size(), MSG_NOSIGNAL) < 0) return {};
    return fd;
}

// The status line of a GET, "" when the connection is closed without one within waitMs.
std::string statusOf(std::uint16_t port, const char* source = "127.0.0.1", int waitMs = 3000) {
    UniqueFd fd = dial(port, "GET / HTTP/1.0\r\nHost: localhost\r\n\r\n", source);
    std::string got;
    char buf[512];
    pollfd p{fd.get(), POLLIN, 0};
    for (ssize_t n; got.size() < 12 && ::poll(&p, 1, waitMs) > 0 &&
                    (n = ::recv(fd.get(), buf, sizeof buf, 0)) > 0;)
        got.append(buf, static_cast<std::size_t>(n));
    return got.size() >= 12 ? got.substr(9, 3) : "";
}

std::unique_ptr<HttpServer> startServer(HttpServer::Handler handler = {}) {
    if (!handler)
        handler = [](const HttpServer::Request& r) {
            // An answer far larger than any socket buffer: a client that does not read it
            // leaves the server with a write that cannot finish.
            const std::size_t size = r.path == "/big" ? 8 << 20 : 3;
            return HttpServer::Response{200, "text/plain", std::string(size, 'x')};
        };
    std::string error;
    auto server = HttpServer::start("127.0.0.1", 0, std::move(handler), &error);
    EXPECT_TRUE(server) << error;
    return server;
}

bool waitFor(const std::function<bool()>& done, Millis ms) {
    for (const Millis end = steadyClock().now() + ms; !done(); sleepMs(50))
        if (steadyClock().now() > end) return false;
    return true;
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
    // One server each, all at once: the time-out runs in parallel.
    std::vector<std::unique_ptr<HttpServer>> servers;
    std::vector<UniqueFd> clients;
    const Millis start = steadyClock().now();
    for (const auto& c : cases) {
        servers.push_back(startServer());
        ASSERT_TRUE(servers.back());
        clients.push_back(dial(servers.back()->port(), c.sends, "127.0.0.1", c.receiveBuffer));
        ASSERT_TRUE(clients.back()) << c.client;
    }
    sleepMs(HttpServer::kIdleTimeoutS * 1000 / 2);
    for (std::size_t i = 0; i < servers.size(); ++i) {
        EXPECT_EQ(servers[i]->openConnections(), 1u) << cases[i].client << " holds no connection";
        EXPECT_EQ(statusOf(servers[i]->port()), "200") << cases[i].client;
    }
    // Idle since it sent (the never-reading client: since the last part of the answer went,
    // a little after the start on a loaded machine), to the time-out; then two seconds for the
    // server, which counts the time-out in whole seconds, to notice.
    const Millis bound = (HttpServer::kIdleTimeoutS + 2) * 1000;
    for (std::size_t i = 0; i < servers.size(); ++i) {
        EXPECT_TRUE(waitFor([&] { return servers[i]->openConnections() == 0; },
                            start + bound - steadyClock().now()))
            << cases[i].client << " still held after " << bound << " ms";
    }
}

TEST(HttpServer, LimitsPerAddressAndInAllHoldAndAnAbandonedRequestGetsNoAnswer) {
    auto server = startServer();
    ASSERT_TRUE(server);
    std::vector<UniqueFd> held;
    // kMaxPerAddress from one address, the rest of kMaxConnections from others.
    const char* sources[] = {"127.0.0.1", "127.0.0.2", "127.0.0.3", "127.0.0.4"};
    static_assert(HttpServer::kMaxConnections == std::size(sources) * HttpServer::kMaxPerAddress);
    for (const char* source : sources) {
        for (unsigned i = 0; i < HttpServer::kMaxPerAddress; ++i)
            held.push_back(dial(server->port(), "", source));
        const unsigned expected = static_cast<unsigned>(held.size());
        ASSERT_TRUE(waitFor([&] { return server->openConnections() == expected; }, 2000)) << source;
        EXPECT_EQ(statusOf(server->port(), source, 1000), "") << "one more from " << source;
        if (held.size() < HttpServer::kMaxConnections) {
            EXPECT_EQ(statusOf(server->port(), "127.0.0.9"), "200") << "after " << source;
        }
    }
    EXPECT_EQ(statusOf(server->port(), "127.0.0.9", 1000), "") << "one more in all";

    // The client leaves while its answer is prepared: the handler sees it, nothing is sent.
    std::atomic<int> sawGone{-1};
    auto slow = startServer([&](const HttpServer::Request& r) {
        sleepMs(300);
        sawGone = r.clientGone();
        return HttpServer::Response{200, "text/plain", "late"};
    });
    ASSERT_TRUE(slow);
    dial(slow->port(), "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n");  // closed at once
    EXPECT_TRUE(waitFor([&] { return slow->openConnections() == 0 && sawGone != -1; }, 2000));
    EXPECT_EQ(sawGone, 1);
}

}  // namespace
}  // namespace kormlink
