#include "platform/tcp.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <thread>

namespace kormlink {
namespace {

// A connected pair over loopback: the server side's socket and the client's.
struct Pair {
    explicit Pair(size_t maxLine = TcpSocket::kDefaultMaxLine) {
        auto listener = TcpListener::open(0, nullptr);
        EXPECT_TRUE(listener);
        client = TcpSocket::connectTo("127.0.0.1", listener->port(), 1000);
        EXPECT_TRUE(client);
        server.emplace(listener->acceptFor(1000), maxLine);
    }
    std::optional<TcpSocket> server;
    std::optional<TcpSocket> client;
};

// Lines end only at CR LF; a waker and a peer that closes end the wait.
TEST(TcpSocket, LinesEndOnlyAtCrLfAndTheWakerOrAClosedPeerEndTheWait) {
    Pair p;
    p.client->sendAll("a\rb\nc\r\n\r\nsplit");
    std::string line;
    auto next = [&] { return p.server->recvLine(line, 1000) == RecvStatus::Line ? line : "?"; };
    EXPECT_EQ(next(), "a\rb\nc");
    EXPECT_EQ(next(), "");
    // A partial line stays buffered through a time-out, and a CR LF split across two sends
    // still ends it.
    EXPECT_EQ(p.server->recvLine(line, 50), RecvStatus::Timeout);
    p.client->sendAll(" line\r");
    EXPECT_EQ(p.server->recvLine(line, 50), RecvStatus::Timeout);
    p.client->sendAll("\nnext\r\n");
    EXPECT_EQ(next(), "split line");
    EXPECT_EQ(next(), "next");
    EXPECT_EQ(p.server->bytesWaiting(), 0u);

    Waker waker;
    std::thread([&] { waker.wake(); }).join();
    EXPECT_EQ(p.server->recvLine(line, 5000, &waker), RecvStatus::Interrupted);
    p.client.reset();
    EXPECT_EQ(p.server->recvLine(line, 5000), RecvStatus::Closed);
    // Sending to a vanished peer fails instead of raising SIGPIPE.
    bool failed = false;
    for (int i = 0; i < 50 && !failed; ++i) failed = !p.server->sendAll(std::string(4096, 'z'));
    EXPECT_TRUE(failed);
}

// Beyond the cap an unfinished line overflows, unless the socket discards overlong lines: then
// the line is discarded up to its end.
TEST(TcpSocket, ALineBeyondTheCapOverflowsOrIsDiscardedUpToItsEnd) {
    Pair p(1000);
    p.client->sendAll(std::string(999, 'x') + "\r\n");
    std::string line;
    ASSERT_EQ(p.server->recvLine(line, 1000), RecvStatus::Line);
    EXPECT_EQ(line.size(), 999u);
    p.client->sendAll(std::string(1500, 'y'));
    RecvStatus status = RecvStatus::Timeout;
    for (int i = 0; i < 10 && status == RecvStatus::Timeout; ++i)
        status = p.server->recvLine(line, 100);
    EXPECT_EQ(status, RecvStatus::Overflow);

    p = Pair(1000);
    p.server->discardOverlongLines(2000);
    p.client->sendAll(std::string(1000, 'x') + "\r\n" + std::string(5000, 'y') + "\r");
    ASSERT_EQ(p.server->recvLine(line, 1000), RecvStatus::Line);  // the cap itself is a line
    EXPECT_EQ(p.server->recvLine(line, 100), RecvStatus::Timeout);
    p.client->sendAll("\nnext\r\n");  // the LF that ends the overlong line comes later
    ASSERT_EQ(p.server->recvLine(line, 1000), RecvStatus::Overlong);
    EXPECT_EQ(line, std::string(1000, 'y'));
    EXPECT_EQ(p.server->lastLineLength(), 5000u);
    ASSERT_EQ(p.server->recvLine(line, 1000), RecvStatus::Line);
    EXPECT_EQ(line, "next");
}

// A signal in the middle of a thread's pause is not a stop: the pause goes on to its end.
// The waker still ends it at once.
TEST(PauseUnlessWoken, SignalsDoNotEndItTheWakerDoes) {
    struct sigaction action {};
    action.sa_handler = [](int) {};  // no SA_RESTART: poll() returns EINTR
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGUSR2, &action, &previous), 0);
    Waker waker;
    std::atomic<bool> done{false};
    bool whole = false;
    std::thread pausing([&] {
        whole = pauseUnlessWoken(waker.fd(), 300);
        done = true;
    });
    for (int i = 0; i < 10 && !done; ++i) {
        sleepMs(20);
        ::pthread_kill(pausing.native_handle(), SIGUSR2);
    }
    pausing.join();
    EXPECT_TRUE(whole);
    waker.wake();
    EXPECT_FALSE(pauseUnlessWoken(waker.fd(), 5000));
    ::sigaction(SIGUSR2, &previous, nullptr);
}

}  // namespace
}  // namespace kormlink
