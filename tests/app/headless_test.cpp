// The program as an operator runs it: kormlink --headless in a data folder.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "output/queue_journal.h"
#include "platform/tcp.h"
#include "support/harness.h"
#include "support/run_program.h"

namespace kormlink {
namespace {

using test::EventSpec;
using test::freePort;
using test::Program;
using test::ScriptedRepeater;

// A peer connected once the program listens on port (it may still be starting); a repeater
// has read the greeting and the time command.
std::unique_ptr<ScriptedRepeater> connectOnceListening(std::uint16_t port, bool repeater = true) {
    std::unique_ptr<ScriptedRepeater> peer;
    test::eventually([&] {
        peer = std::make_unique<ScriptedRepeater>(port);
        return peer->connected();
    }, 5000);
    EXPECT_TRUE(peer->connected() && (!repeater || peer->readWelcome()));
    return peer;
}

// A data folder with the event log folder and a configuration that only takes repeaters, on a
// free port, which is returned.
std::uint16_t repeatersOnly(const test::TempDir& dir) {
    std::filesystem::create_directory(dir.file("Kormlink"));
    const std::uint16_t port = freePort();
    dir.write("Kormlink.ini", "[In]\nPort=" + std::to_string(port) + "\n[ComIn]\nCom=0\n");
    return port;
}

// The service manager's side of the notification socket: a datagram socket of its own.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) {
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        EXPECT_EQ(::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << path;
    }
    ~NotifySocket() { ::close(m_fd); }
    // Notifications until one contains what, all of them in order; none when it does not come.
    std::vector<std::string> until(const std::string& what, int timeoutMs = 5000) {
        std::vector<std::string> seen;
        const Millis deadline = steadyClock().now() + timeoutMs;
        for (Millis left; (left = deadline - steadyClock().now()) > 0;) {
            pollfd p{m_fd, POLLIN, 0};
            char buf[4096];
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
            const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
            seen.emplace_back(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
            if (seen.back().find(what) != std::string::npos) return seen;
        }
        return {};
    }

private:
    int m_fd = -1;
};

// As the service unit runs it: started elsewhere with --data, it reports ready with its figures,
// feeds the watchdog from its loop, reports changed figures, and says it is stopping on SIGTERM;
// a data folder that is not there is refused.
TEST(Headless, TellsTheServiceManagerHowItIsDoing) {
    test::TempDir data, elsewhere;
    const std::uint16_t port = repeatersOnly(data);
    NotifySocket manager(elsewhere.file("notify"));
    Program p(KORMLINK_BINARY, {"--headless", "--data", data.path()}, elsewhere.path(),
              {"NOTIFY_SOCKET=" + elsewhere.file("notify"), "WATCHDOG_USEC=300000"});
    const std::vector<std::string> ready = manager.until("READY=1");
    ASSERT_EQ(ready.size(), 1u);  // the first notification
    EXPECT_NE(ready[0].find("STATUS=0 repeaters, 0 clients, 0 queued lines"), std::string::npos);
    auto rpt = connectOnceListening(port);
    rpt->send(EventSpec{}.build());
    ASSERT_EQ(rpt->readLine(), "");
    const std::vector<std::string> seen = manager.until("STATUS=1 repeater,");
    ASSERT_FALSE(seen.empty());
    EXPECT_NE(seen.back().find("STATUS=1 repeater, 0 clients, 0 queued lines"), std::string::npos)
        << seen.back();
    // Half the interval apart: about one and a half seconds bring a handful.
    EXPECT_GE(std::count(seen.begin(), seen.end(), "WATCHDOG=1"), 3) << seen.size();
    p.signal(SIGTERM);
    EXPECT_FALSE(manager.until("STOPPING=1").empty());
    EXPECT_EQ(p.wait(5000), 0);
    // Everything relative went to the data folder, nothing to the working directory.
    EXPECT_FALSE(std::filesystem::is_empty(data.file("Kormlink")));
    EXPECT_FALSE(std::filesystem::exists(elsewhere.file("Kormlink")));

    Program missing(KORMLINK_BINARY, {"--headless", "--data", data.file("absent")});
    EXPECT_EQ(missing.wait(5000), 2);
    EXPECT_NE(missing.err().find("cannot use the data folder"), std::string::npos);
}

// A terminal that takes nothing (here a pipe nobody reads) must not hold up the alarm traffic:
// the trace fills the pipe many times over, yet every event is answered and SIGINT is served.
TEST(Headless, AStalledTerminalOrATakenPortStopsNothing) {
    test::TempDir dir;
    const std::uint16_t port = repeatersOnly(dir);
    Program p(KORMLINK_BINARY, {"--headless"}, dir.path());
    auto rpt = connectOnceListening(port);
    p.type("trace A1B2");
    p.closeInput();  // the end of the console's input does not stop the server
    int answered = 0;
    for (; answered < 3000; ++answered) {  // about 300 KiB of trace lines
        rpt->send(EventSpec{}.build());
        if (rpt->readLine(2000) != "") break;
    }
    EXPECT_EQ(answered, 3000);
    p.signal(SIGINT);
    EXPECT_EQ(p.wait(10'000), 0);
    EXPECT_TRUE(rpt->closedByServer(2000));
    EXPECT_NE(p.out().find("<- " + EventSpec{}.build()), std::string::npos);

    // Started again without a display, it runs headless and says so; its port now in use is
    // told on stderr, the server runs on and stops at "quit" typed on its console.
    auto taken = TcpListener::open(port, nullptr);
    ASSERT_TRUE(taken);
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    Program again(KORMLINK_BINARY, {}, dir.path());
    EXPECT_EQ(again.wait(500), -1);  // still running
    again.type("quit");
    EXPECT_EQ(again.wait(5000), 0);
    const std::string err = again.err();
    EXPECT_NE(err.find("running headless"), std::string::npos) << err;
    EXPECT_NE(err.find("cannot listen for repeaters on port " + std::to_string(port)),
              std::string::npos)
        << err;
}

// One channel A1 on free ports, in a folder of its own, with Fsync as given; returns {input
// port, output port}.
std::pair<std::uint16_t, std::uint16_t> oneChannel(const test::TempDir& dir, const char* fsync) {
    const std::uint16_t in = freePort(), out = freePort();
    dir.write("Kormlink.ini", "[In]\nPort=" + std::to_string(in) + "\n[Out]\nPort=" +
                                  std::to_string(out) + "\n[Opt]\nFsync=" + fsync +
                                  "\n[ComIn]\nCom=0\n[Client0]\nId=A1\nQSize=1000\n");
    return {in, out};
}

// Lines from distinct transmitters, each sent and answered.
std::vector<std::string> sendEvents(std::uint16_t in, int count) {
    std::vector<std::string> sent;
    auto rpt = connectOnceListening(in);
    for (int i = 0; i < count; ++i) {
        EventSpec e;
        e.transmitter = test::hex3(0x100 + i);
        sent.push_back(e.build());
        rpt->send(sent.back());
        if (rpt->readLine() != "") ADD_FAILURE() << "line " << i << " not answered";
    }
    return sent;
}

std::unique_ptr<ScriptedRepeater> monitor(std::uint16_t out) {
    auto client = connectOnceListening(out, false);
    EXPECT_EQ(client->readLine(), "Kormlink");
    client->send("A1");
    return client;
}

// A second server on a folder in use exits at once and touches nothing; one that waits for the
// lock takes over once the first is killed with kill -9, and delivers from the channel's journal
// everything the first acknowledged, in order and once each, in both durability modes. What is
// still unanswered at a SIGTERM is kept in the queue file.
TEST(Headless, ASecondServerExitsOrWaitsAndDeliversWhatAKilledOneAcknowledged) {
    for (const char* fsync : {"0", "1"}) {
        SCOPED_TRACE(std::string("Fsync=") + fsync);
        test::TempDir dir;
        const auto [in, out] = oneChannel(dir, fsync);
        Program first(KORMLINK_BINARY, {"--headless"}, dir.path());
        const std::vector<std::string> sent = sendEvents(in, 20);
        {
            Program second(KORMLINK_BINARY, {"--headless"}, dir.path());
            EXPECT_EQ(second.wait(5000), 75);
            const std::string err = second.err();
            EXPECT_NE(err.find("is in use by process "), std::string::npos) << err;
        }
        EXPECT_EQ(readJournal(dir.read("A1.jnl")).lines, sent);
        EXPECT_FALSE(dir.exists("A1.out"));

        Program standby(KORMLINK_BINARY, {"--headless", "--wait-lock", "30"}, dir.path());
        EXPECT_EQ(standby.wait(300), -1);  // waiting
        first.signal(SIGKILL);
        EXPECT_EQ(first.wait(5000), 128 + SIGKILL);
        auto client = monitor(out);
        for (const std::string& line : sent) {
            ASSERT_EQ(client->readLine(), line);
            if (line != sent.back()) client->send("ok");  // the last one stays unanswered
        }
        EXPECT_EQ(client->readLine(500), std::nullopt);  // each once, nothing more
        standby.signal(SIGTERM);
        EXPECT_EQ(standby.wait(10'000), 0);
        EXPECT_NE(standby.err().find("waiting for it"), std::string::npos);
        EXPECT_FALSE(dir.exists("A1.jnl"));  // an orderly stop leaves no journal,
        EXPECT_EQ(dir.read("A1.out"), sent.back() + "\r\n");  // only what is unanswered
    }
}

}  // namespace
}  // namespace kormlink
