// The program as an operator runs it: kormlink --headless in a data folder.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "platform/tcp.h"
#include "support/harness.h"
#include "support/run_program.h"

namespace kormlink {
namespace {

using test::EventSpec;
using test::freePort;
using test::ScriptedRepeater;

// A peer connected once the program listens on port (it may still be starting); a repeater
// has read the greeting and the time command.
std::unique_ptr<ScriptedRepeater> connectOnceListening(std::uint16_t port, bool repeater = true) {
    std::unique_ptr<ScriptedRepeater> peer;
    test::eventually([&] {
        peer = std::make_unique<ScriptedRepeater>(port);
        return peer->connected();
    }, 5000);
    EXPECT_TRUE(peer->connected());
    if (repeater) EXPECT_TRUE(peer->readWelcome());
    return peer;
}

class Program {
public:
    Program(const test::TempDir& dir, std::vector<std::string> args,
            const std::vector<std::string>& extraEnv = {}) {
        int in[2], out[2], err[2];
        EXPECT_TRUE(::pipe(in) == 0 && ::pipe(out) == 0 && ::pipe(err) == 0);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_adddup2(&fa, err[1], 2);
        posix_spawn_file_actions_addchdir_np(&fa, dir.path().c_str());
        std::vector<char*> argv{const_cast<char*>(KORMLINK_BINARY)};
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> env(extraEnv);
        for (char** e = environ; *e; ++e) env.emplace_back(*e);
        std::vector<char*> envp;
        for (std::string& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        EXPECT_EQ(posix_spawn(&m_pid, KORMLINK_BINARY, &fa, nullptr, argv.data(), envp.data()), 0);
        posix_spawn_file_actions_destroy(&fa);
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        m_in = in[1];
        m_out = out[0];
        m_err = err[0];
    }
    ~Program() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        ::close(m_in);
        ::close(m_out);
        ::close(m_err);
    }
    void type(const std::string& line) {
        std::string l = line + "\n";
        EXPECT_EQ(::write(m_in, l.data(), l.size()), static_cast<ssize_t>(l.size()));
    }
    void closeInput() { ::close(m_in); m_in = -1; }
    void signal(int sig) { ::kill(m_pid, sig); }
    // Exit status, or -1 when it does not exit in time.
    int wait(Millis timeoutMs) {
        const Millis deadline = steadyClock().now() + timeoutMs;
        while (steadyClock().now() < deadline) {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            sleepMs(10);
        }
        return -1;
    }
    std::string out() { return drain(m_out); }
    std::string err() { return drain(m_err); }

private:
    static std::string drain(int fd) {
        std::string s;
        char buf[4096];
        for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) s.append(buf, std::size_t(n));
        return s;
    }
    pid_t m_pid = -1;
    int m_in = -1, m_out = -1, m_err = -1;
};

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
    explicit NotifySocket(std::string path) : m_path(std::move(path)) {
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", m_path.c_str());
        EXPECT_EQ(::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << m_path;
    }
    ~NotifySocket() { ::close(m_fd); }
    // The next notification, or "" when none comes in time.
    std::string next(int timeoutMs = 5000) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) return {};
        char buf[4096];
        const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
    }
    // Notifications until one contains what, all of them in order.
    std::vector<std::string> until(const std::string& what, int timeoutMs = 5000) {
        std::vector<std::string> seen;
        const Millis deadline = steadyClock().now() + timeoutMs;
        while (steadyClock().now() < deadline) {
            seen.push_back(next(static_cast<int>(deadline - steadyClock().now())));
            if (seen.back().find(what) != std::string::npos) break;
        }
        return seen;
    }

private:
    std::string m_path;
    int m_fd = -1;
};

// As the service unit runs it: started elsewhere with --data, it reports ready with its figures,
// feeds the watchdog from its loop, reports changed figures, and says it is stopping on SIGTERM.
TEST(Headless, TellsTheServiceManagerHowItIsDoing) {
    test::TempDir data, elsewhere;
    const std::uint16_t port = repeatersOnly(data);
    NotifySocket manager(elsewhere.file("notify"));
    Program p(elsewhere, {"--headless", "--data", data.path()},
              {"NOTIFY_SOCKET=" + elsewhere.file("notify"), "WATCHDOG_USEC=300000"});
    const std::string ready = manager.next();
    EXPECT_NE(ready.find("READY=1"), std::string::npos) << ready;
    EXPECT_NE(ready.find("STATUS=0 repeaters, 0 clients, 0 queued lines"), std::string::npos);
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
    const std::vector<std::string> last = manager.until("STOPPING=1");
    ASSERT_FALSE(last.empty());
    EXPECT_NE(last.back().find("STOPPING=1"), std::string::npos);
    EXPECT_EQ(p.wait(5000), 0);
    // Everything relative went to the data folder, nothing to the working directory.
    EXPECT_FALSE(std::filesystem::is_empty(data.file("Kormlink")));
    EXPECT_FALSE(std::filesystem::exists(elsewhere.file("Kormlink")));
}

TEST(Headless, AMissingDataFolderIsRefused) {
    test::TempDir dir;
    const auto run = test::runProgram(KORMLINK_BINARY, {"--headless", "--data", dir.file("absent")},
                                      5000, true);
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_NE(run.out.find("cannot use the data folder"), std::string::npos) << run.out;
}

// A terminal that takes nothing (here a pipe nobody reads) must not hold up the alarm traffic:
// the trace fills the pipe many times over, yet every event is answered and SIGINT is served.
TEST(Headless, AStalledTerminalHoldsUpNothing) {
    test::TempDir dir;
    const std::uint16_t port = repeatersOnly(dir);
    Program p(dir, {"--headless"});
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
}

// Without a display it runs headless and says so; a port in use is told on stderr, the server
// runs on and stops at "quit" typed on its console.
TEST(Headless, WithoutADisplayOrAFreePortItRunsHeadlessAndSaysSo) {
    test::TempDir dir;
    auto taken = TcpListener::open(0, nullptr);
    ASSERT_TRUE(taken);
    dir.write("Kormlink.ini", "[In]\nPort=" + std::to_string(taken->port()) + "\n[ComIn]\nCom=0\n");
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    Program p(dir, {});
    sleepMs(500);
    EXPECT_EQ(p.wait(0), -1);  // still running
    p.type("quit");
    EXPECT_EQ(p.wait(5000), 0);
    const std::string err = p.err();
    EXPECT_NE(err.find("running headless"), std::string::npos) << err;
    EXPECT_NE(err.find("cannot listen for repeaters on port " + std::to_string(taken->port())),
              std::string::npos)
        << err;
}

// What the server acknowledged survives kill -9 at any moment: the lines come back from the
// channel's journal at the next start, in order, in both durability modes; what is still
// unanswered at a SIGTERM is kept in the queue file.
TEST(Headless, AcknowledgedEventsSurviveKillNine) {
    for (const char* fsync : {"0", "1"}) {
        SCOPED_TRACE(std::string("Fsync=") + fsync);
        test::TempDir dir;
        const std::uint16_t in = freePort(), out = freePort();
        dir.write("Kormlink.ini", "[In]\nPort=" + std::to_string(in) + "\n[Out]\nPort=" +
                                      std::to_string(out) + "\n[Opt]\nFsync=" + fsync +
                                      "\n[ComIn]\nCom=0\n[Client0]\nId=A1\nQSize=1000\n");
        std::vector<std::string> sent;
        {
            Program p(dir, {"--headless"});
            auto rpt = connectOnceListening(in);
            for (int i = 0; i < 50; ++i) {
                EventSpec e;
                e.transmitter = test::hex3(0x100 + i);
                sent.push_back(e.build());
                rpt->send(sent.back());
                ASSERT_EQ(rpt->readLine(), "");
            }
            p.signal(SIGKILL);
            EXPECT_EQ(p.wait(5000), 128 + SIGKILL);
        }
        EXPECT_TRUE(dir.exists("A1.jnl"));
        Program again(dir, {"--headless"});
        auto client = connectOnceListening(out, false);
        EXPECT_EQ(client->readLine(), "Kormlink");
        client->send("A1");
        for (const std::string& line : sent) {
            ASSERT_EQ(client->readLine(), line);
            if (line != sent.back()) client->send("ok");  // the last one stays unanswered
        }
        EXPECT_EQ(client->readLine(500), std::nullopt);  // each once, nothing more
        again.signal(SIGTERM);
        EXPECT_EQ(again.wait(10'000), 0);
        EXPECT_FALSE(dir.exists("A1.jnl"));  // an orderly stop leaves no journal,
        EXPECT_EQ(dir.read("A1.out"), sent.back() + "\r\n");  // only what is unanswered
    }
}

}  // namespace
}  // namespace kormlink
