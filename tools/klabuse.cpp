// klabuse: starts the server in a fresh folder and probes it from outside the process with
// hostile connection patterns, reading the server's descriptors, threads and resident memory
// from /proc before, during and after each pattern.
//
// Scenarios (--scenario a,b,...; all by default, in this order):
//   idle         N repeater connections that connect and send nothing: each must receive the
//                greeting and the time command, a normal repeater must be answered promptly
//                while they are held, and descriptors and threads return to where they were
//                once they close.
//   churn        connections opened at a fixed rate and closed at once, reset, cut off after
//                half an event line, after a whole one, or after its answer; descriptors and
//                threads must return to where they were.
//   never-reads  a repeater that sends event lines and never reads its answers (small receive
//                buffer): the server's send time-out must end that connection, no thread may
//                stay behind, and another repeater is served meanwhile.
//   silent       M monitoring clients that name the channel and never answer a line while
//                events arrive: nothing may be lost (one answering client takes every event
//                afterwards), and the server lets go of them.
//   limits       more repeater connections and monitoring clients than the server's limits
//                ([In] MaxConnections, [Out] MaxClients: the idle and silent crowds plus a
//                little room): exactly the limit is served, the rest closed at once, and the
//                refusals are told on stderr once, not per connection (full size: the rest of
//                the minute is told a minute later).
//
// Prints one table of figures (or --json) with a verdict per scenario. Exit status 0 when
// every verdict passed, 1 when one failed, 2 when the server could not be started.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "core/event_line.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/tcp.h"
#include "platform/tcp_acceptor.h"
#include "platform/unique_fd.h"
#include "program_path.h"
#include "sim_line.h"
#include "sim_server.h"
#include "tool_options.h"

namespace {

using namespace kormlink;
using kormlink::sim::ChildProcess;
namespace fs = std::filesystem;

// The channel every output client of the probe names; it has no filter, so it takes every event.
constexpr const char* kChannel = "ABUSE";
// A normal repeater counts as served promptly when its event is answered within this time.
constexpr Millis kPromptMs = 2000;
// How long a probe waits for the counts to come back to where they were.
constexpr Millis kSettleBoundMs = 30'000;

const std::vector<std::string> kAllScenarios = {"idle", "churn", "never-reads", "silent",
                                                "limits"};
// The probe's server admits this many repeater connections and clients beyond the crowds of the
// idle and silent scenarios (for the probes and drains beside them); the limits scenario opens
// kOverLimit more than it admits.
constexpr int kLimitRoom = 20;
constexpr int kOverLimit = 50;

struct Options {
    std::string kormlink;
    std::string parent = "/tmp";
    std::vector<std::string> scenarios = kAllScenarios;
    bool json = false;
    bool keep = false;
    bool quick = false;
    int idle = 5000;
    int churnRate = 200;
    int churnSeconds = 60;
    int silent = 200;
    int events = 1000;
};

constexpr const char* kUsage =
    "usage: klabuse [--scenario LIST] [--quick] [--json] [--kormlink PATH] [--keep]\n"
    "               [--idle N] [--churn-rate R] [--churn-seconds S] [--silent M]\n"
    "               [--events K] [--dir PARENT]\n"
    "  Starts kormlink --headless in a fresh folder and probes it with hostile\n"
    "  connection patterns; prints the server's descriptors, threads and memory\n"
    "  before, during and after each, and a verdict per scenario.\n"
    "  --scenario LIST   comma-separated, of: idle, churn, never-reads, silent, limits\n"
    "                    (default all)\n"
    "  --quick           small numbers and short times (for a test)\n"
    "  --json            the figures as JSON on stdout instead of the table\n"
    "  --kormlink PATH   the server (default: found beside klabuse, in its parent folder,\n"
    "                    in the programs folder, then on PATH)\n"
    "  --idle N          idle repeater connections (5000)\n"
    "  --churn-rate R    connections opened per second (200), --churn-seconds S (60)\n"
    "  --silent M        monitoring clients that never answer (200)\n"
    "  --events K        events sent while they are attached (1000)\n"
    "  --keep            keep the data folder (its path is printed)\n"
    "  --dir PARENT      where the data folder is made (default /tmp)\n";

Millis now() { return steadyClock().now(); }

void note(const char* format, ...) __attribute__((format(printf, 1, 2)));
void note(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::fputs("klabuse: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
}

// ---- The server as /proc shows it ----

struct Sample {
    long fds = -1;
    long threads = -1;
    long rssKb = -1;
};

Sample sampleOf(pid_t pid) {
    return Sample{sim::procOpenFds(pid), sim::procStatusValue(pid, "Threads:"),
                  sim::procStatusValue(pid, "VmRSS:")};
}

// The highest counts seen over a stretch of samples.
struct Peak {
    Sample max;
    Millis nextAt = 0;
    void take(pid_t pid, Millis everyMs) {
        const Millis t = now();
        if (t < nextAt) return;
        nextAt = t + everyMs;
        const Sample s = sampleOf(pid);
        max.fds = std::max(max.fds, s.fds);
        max.threads = std::max(max.threads, s.threads);
        max.rssKb = std::max(max.rssKb, s.rssKb);
    }
};

// ---- The server process ----

volatile sig_atomic_t g_serverPid = 0;

void onStopSignal(int sig) {
    if (g_serverPid > 0) ::kill(g_serverPid, SIGTERM);
    ::_exit(128 + sig);
}

class ServerProcess {
public:
    ServerProcess() = default;
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;
    ~ServerProcess() { stop(10'000); }

    // Starts `binary --headless` in dir with its output in dir/server.log, standard input from
    // /dev/null, and the descriptor soft limit raised to the hard limit.
    bool start(const std::string& binary, const std::string& dir) {
        m_log = dir + "/server.log";
        rlimit lim{};
        ::getrlimit(RLIMIT_NOFILE, &lim);
        if (!m_child.start(binary, {"--headless"}, dir, m_log, lim.rlim_max)) return false;
        g_serverPid = m_child.pid();
        return true;
    }

    pid_t pid() const { return m_child.pid(); }

    bool running() {
        if (m_child.running()) return true;
        g_serverPid = 0;
        return false;
    }

    // SIGTERM, then SIGKILL after timeoutMs. The exit status (128 + signal), or the one it
    // ended with earlier.
    int stop(Millis timeoutMs) {
        if (!running()) return m_child.exitStatus();
        const int status = m_child.stop(timeoutMs);
        g_serverPid = 0;
        return status;
    }

    // The lines of its output so far that contain `text`.
    std::vector<std::string> logLines(const std::string& text) const {
        std::vector<std::string> found;
        std::ifstream in(m_log);
        std::string line;
        while (std::getline(in, line))
            if (line.find(text) != std::string::npos) found.push_back(line);
        return found;
    }

private:
    ChildProcess m_child;
    std::string m_log;
};

// ---- Well-behaved peers, one at a time, with bounded waits ----

// A repeater that takes the greeting and the time command, answers OK, sends one event and
// waits for its answer. Milliseconds from connecting to the answer; -1 when it did not come
// within boundMs.
long probeRepeater(std::uint16_t port, std::uint32_t id, std::uint32_t seq, Millis boundMs) {
    const Millis start = now();
    auto s = TcpSocket::connectTo("127.0.0.1", port, boundMs);
    if (!s) return -1;
    std::string line;
    auto left = [&] { return std::max<Millis>(start + boundMs - now(), 1); };
    if (s->recvLine(line, left()) != RecvStatus::Line || line != kRepeaterGreeting) return -1;
    if (s->recvLine(line, left()) != RecvStatus::Line || line.rfind("systime", 0) != 0) return -1;
    if (!s->sendAll("OK\r\n")) return -1;
    if (!s->sendAll(sim::eventLine(id, seq, sim::wallUs32(), 0, '1', id & 0xFFF) + "\r\n"))
        return -1;
    if (s->recvLine(line, left()) != RecvStatus::Line || !line.empty()) return -1;
    return static_cast<long>(now() - start);
}

// A monitoring client that connects and reads the greeting. Milliseconds until it arrived;
// -1 when it did not within boundMs.
long probeClient(std::uint16_t port, Millis boundMs) {
    const Millis start = now();
    auto s = TcpSocket::connectTo("127.0.0.1", port, boundMs);
    std::string line;
    if (!s || s->recvLine(line, boundMs) != RecvStatus::Line || line != "Kormlink") return -1;
    return static_cast<long>(now() - start);
}

// What an answering monitoring client took from the channel.
struct Drained {
    bool attached = false;
    std::uint64_t lines = 0;
    std::set<std::uint32_t> seqs;  // of the repeater asked for
    std::uint64_t repeats = 0;     // its events received more than once
};

// Takes the channel's lines as a monitoring station that answers each at once, until `want`
// distinct events of repeaterId have arrived, or no line came for quietMs, or boundMs passed.
Drained drain(std::uint16_t port, std::uint32_t repeaterId, std::size_t want, Millis quietMs,
              Millis boundMs) {
    Drained d;
    const Millis deadline = now() + boundMs;
    auto s = TcpSocket::connectTo("127.0.0.1", port, 2000);
    std::string line;
    if (!s || s->recvLine(line, 2000) != RecvStatus::Line || line != "Kormlink") return d;
    if (!s->sendAll(std::string(kChannel) + "\r\n")) return d;
    d.attached = true;
    while (now() < deadline && (want == 0 || d.seqs.size() < want)) {
        const Millis wait = std::min<Millis>(quietMs, std::max<Millis>(deadline - now(), 1));
        if (s->recvLine(line, wait) != RecvStatus::Line) break;
        ++d.lines;
        if (auto e = sim::parseEvent(line); e && e->repeaterId == repeaterId)
            if (!d.seqs.insert(e->seq).second) ++d.repeats;
        if (!s->sendAll("OK\r\n")) break;
    }
    return d;
}

// ---- Many connections from one epoll set ----

class Crowd {
public:
    static constexpr std::size_t kKeptLines = 4;
    static constexpr std::size_t kMaxPartial = 512;

    struct Conn {
        UniqueFd fd;
        bool connecting = false;
        bool failed = false;      // the connection could not be made
        bool peerClosed = false;  // the server closed it (or reset it: `reset`)
        bool reset = false;
        int kind = 0;
        std::string partial;
        std::vector<std::string> lines;  // the first kKeptLines
        std::uint64_t lineCount = 0;
        Millis openedAt = 0;
        Millis deadline = 0;
        Millis closedAt = -1;
        Millis mark = -1;  // the moment the scenario is interested in (served, first line, ...)
        bool open() const { return fd.valid(); }
    };
    // Called for every complete line; may close the connection.
    std::function<void(std::size_t, Conn&, const std::string&)> onLine;
    // Called once a connection is established; may send or close.
    std::function<void(std::size_t, Conn&)> onConnected;

    Crowd() : m_ep(::epoll_create1(EPOLL_CLOEXEC)) {}

    std::size_t open(std::uint16_t port, int kind = 0) {
        const std::size_t i = m_conns.size();
        Conn& c = m_conns.emplace_back();
        c.kind = kind;
        c.openedAt = now();
        c.fd = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!c.fd) return fail(c);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int rc = ::connect(c.fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        if (rc != 0 && errno != EINPROGRESS) return fail(c);
        c.connecting = rc != 0;
        epoll_event ev{};
        ev.events = c.connecting ? EPOLLOUT : (EPOLLIN | EPOLLRDHUP);
        ev.data.u64 = i;
        if (::epoll_ctl(m_ep.get(), EPOLL_CTL_ADD, c.fd.get(), &ev) != 0) return fail(c);
        ++m_open;
        if (!c.connecting && onConnected) onConnected(i, c);
        return i;
    }

    // Waits up to ms for events and handles them.
    void run(Millis ms) {
        epoll_event evs[256];
        const int n = ::epoll_wait(m_ep.get(), evs, 256, static_cast<int>(std::max<Millis>(ms, 0)));
        for (int k = 0; k < n; ++k) {
            const std::size_t i = evs[k].data.u64;
            Conn& c = m_conns[i];
            if (!c.open()) continue;
            if (c.connecting) {
                int err = 0;
                socklen_t len = sizeof err;
                ::getsockopt(c.fd.get(), SOL_SOCKET, SO_ERROR, &err, &len);
                if (err != 0) {
                    fail(c);
                    --m_open;
                    continue;
                }
                c.connecting = false;
                epoll_event ev{};
                ev.events = EPOLLIN | EPOLLRDHUP;
                ev.data.u64 = i;
                ::epoll_ctl(m_ep.get(), EPOLL_CTL_MOD, c.fd.get(), &ev);
                if (onConnected) onConnected(i, c);
                if (!c.open()) continue;
            }
            readFrom(i, c);
        }
    }

    bool send(Conn& c, std::string_view text) {
        return c.open() && ::send(c.fd.get(), text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT) ==
                               static_cast<ssize_t>(text.size());
    }

    // Closes our side: in order (FIN), or with a reset (RST) when `reset`.
    void close(Conn& c, bool reset = false) {
        if (!c.open()) return;
        if (reset) {
            linger l{1, 0};
            ::setsockopt(c.fd.get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
        }
        c.fd.reset();
        c.closedAt = now();
        --m_open;
    }

    void closeAll() {
        for (Conn& c : m_conns) close(c);
    }

    Conn& operator[](std::size_t i) { return m_conns[i]; }
    std::size_t size() const { return m_conns.size(); }
    std::size_t openCount() const { return m_open; }
    std::uint64_t failures() const { return m_failures; }

private:
    std::size_t fail(Conn& c) {
        c.fd.reset();
        c.failed = true;
        c.closedAt = now();
        ++m_failures;
        return m_conns.size() - 1;
    }

    void readFrom(std::size_t i, Conn& c) {
        char buf[4096];
        for (;;) {
            const ssize_t n = ::recv(c.fd.get(), buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) {
                c.partial.append(buf, static_cast<std::size_t>(n));
                std::size_t end;
                while ((end = c.partial.find("\r\n")) != std::string::npos) {
                    std::string line = c.partial.substr(0, end);
                    c.partial.erase(0, end + 2);
                    ++c.lineCount;
                    if (c.lines.size() < kKeptLines) c.lines.push_back(line);
                    if (onLine) onLine(i, c, line);
                    if (!c.open()) return;
                }
                if (c.partial.size() > kMaxPartial) c.partial.clear();
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
            c.peerClosed = true;
            c.reset = n < 0;
            close(c);
            return;
        }
    }

    UniqueFd m_ep;
    std::deque<Conn> m_conns;  // references stay valid as it grows
    std::size_t m_open = 0;
    std::uint64_t m_failures = 0;
};

// ---- Figures and verdicts ----

std::string jsonString(const std::string& text) {
    std::string quoted = "\"";
    for (char ch : text) {
        if (ch == '"' || ch == '\\') quoted += '\\';
        if (static_cast<unsigned char>(ch) >= 0x20) quoted += ch;
    }
    return quoted + "\"";
}

struct Figure {
    std::string key;    // JSON name
    std::string label;  // table text
    std::string text;   // table value
    std::string json;   // JSON value
};

struct Result {
    std::string name;
    std::vector<Figure> figures;
    std::vector<std::string> problems;

    void add(const std::string& key, const std::string& label, double value, int decimals,
             const std::string& unit = "") {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
        figures.push_back({key, label, std::string(buf) + (unit.empty() ? "" : " " + unit), buf});
    }
    void ofTotal(const std::string& key, const std::string& label, long part, long total) {
        figures.push_back({key, label, std::to_string(part) + " of " + std::to_string(total),
                           std::to_string(part)});
    }
    void text(const std::string& key, const std::string& label, const std::string& value) {
        figures.push_back({key, label, value, jsonString(value)});
    }
    // Descriptors, threads and resident memory before, during and after.
    void counts(const Sample& before, const Sample& during, const Sample& after,
                const char* duringWord = "during") {
        auto row = [&](const std::string& key, const std::string& what, long a, long b, long c) {
            figures.push_back({key, what + " before / " + duringWord + " / after",
                               std::to_string(a) + " / " + std::to_string(b) + " / " + std::to_string(c),
                               "{\"before\":" + std::to_string(a) + ",\"" + duringWord +
                                   "\":" + std::to_string(b) + ",\"after\":" + std::to_string(c) + "}"});
        };
        row("descriptors", "descriptors", before.fds, during.fds, after.fds);
        row("threads", "threads", before.threads, during.threads, after.threads);
        char buf[96];
        std::snprintf(buf, sizeof buf, "%.1f / %.1f / %.1f", before.rssKb / 1024.0,
                      during.rssKb / 1024.0, after.rssKb / 1024.0);
        figures.push_back({"rss_kb", "resident MB before / " + std::string(duringWord) + " / after",
                           buf,
                           "{\"before\":" + std::to_string(before.rssKb) + ",\"" + duringWord +
                               "\":" + std::to_string(during.rssKb) +
                               ",\"after\":" + std::to_string(after.rssKb) + "}"});
    }
    void check(bool ok, const std::string& problem) {
        if (!ok) problems.push_back(problem);
    }
    bool passed() const { return problems.empty(); }
};

std::string joined(const std::vector<std::string>& parts, const char* sep) {
    std::string out;
    for (const std::string& p : parts) out += (out.empty() ? "" : sep) + p;
    return out;
}

void printTable(const std::vector<Result>& results) {
    std::vector<std::array<std::string, 3>> rows;
    for (const Result& r : results) {
        for (const Figure& f : r.figures) rows.push_back({r.name, f.label, f.text});
        rows.push_back({r.name, "verdict",
                        r.passed() ? "PASS" : "FAIL: " + joined(r.problems, "; ")});
    }
    std::size_t w[3] = {8, 6, 5};
    for (const auto& row : rows)
        for (int i = 0; i < 3; ++i) w[i] = std::max(w[i], row[i].size());
    auto line = [&](const std::string& a, const std::string& b, const std::string& c) {
        std::printf("| %-*s | %-*s | %-*s |\n", static_cast<int>(w[0]), a.c_str(),
                    static_cast<int>(w[1]), b.c_str(), static_cast<int>(w[2]), c.c_str());
    };
    line("Scenario", "Figure", "Value");
    std::printf("|%s|%s|%s|\n", std::string(w[0] + 2, '-').c_str(),
                std::string(w[1] + 2, '-').c_str(), std::string(w[2] + 2, '-').c_str());
    for (const auto& row : rows) line(row[0], row[1], row[2]);
}

void printJson(const std::vector<Result>& results) {
    bool ok = true;
    std::printf("{\"scenarios\":[");
    for (std::size_t i = 0; i < results.size(); ++i) {
        const Result& r = results[i];
        ok = ok && r.passed();
        std::printf("%s{\"name\":\"%s\",\"verdict\":\"%s\",\"problems\":[", i ? "," : "",
                    r.name.c_str(), r.passed() ? "pass" : "fail");
        for (std::size_t k = 0; k < r.problems.size(); ++k)
            std::printf("%s%s", k ? "," : "", jsonString(r.problems[k]).c_str());
        std::printf("],\"figures\":{");
        for (std::size_t k = 0; k < r.figures.size(); ++k)
            std::printf("%s\"%s\":%s", k ? "," : "", r.figures[k].key.c_str(),
                        r.figures[k].json.c_str());
        std::printf("}}");
    }
    std::printf("],\"pass\":%s}\n", ok ? "true" : "false");
}

// ---- The probe ----

class Probe {
public:
    explicit Probe(Options o) : m_o(std::move(o)) {}
    int run();

private:
    bool setUp();
    bool startServer();
    // Waits until descriptors and threads are back at `base` (at most kSettleBoundMs); the
    // sample then, and how long it took in tookMs.
    Sample settle(const Sample& base, Millis* tookMs);
    // The server's counts once they have held still for half a second (a connection of the
    // scenario before may still be ending), so that "before" is the server at rest.
    Sample resting();
    void checkBaseline(Result& r, const Sample& before, const Sample& after, Millis tookMs);

    void idle(Result& r);
    void churn(Result& r);
    void neverReads(Result& r);
    void silent(Result& r);
    void limits(Result& r);

    Options m_o;
    int m_maxConnections = 0, m_maxClients = 0;
    std::string m_dir;
    std::uint16_t m_in = 0, m_out = 0;
    ServerProcess m_server;
    std::uint32_t m_probeSeq = 0;  // sequence numbers of the probe repeater's events
};

bool Probe::setUp() {
    if (m_o.kormlink.empty()) {
        std::fprintf(stderr, "klabuse: kormlink not found beside klabuse, in the programs folder "
                             "or on PATH; give --kormlink PATH\n");
        return false;
    }
    m_maxConnections = m_o.idle + kLimitRoom;
    m_maxClients = m_o.silent + kLimitRoom;
    const auto folder =
        sim::makeServerFolder(m_o.parent, "klabuse", kChannel,
                              {"MaxConnections=" + std::to_string(m_maxConnections) + "\n",
                               "MaxClients=" + std::to_string(m_maxClients) + "\n", "", ""});
    if (!folder) {
        std::fprintf(stderr, "klabuse: cannot make a data folder in %s\n", m_o.parent.c_str());
        return false;
    }
    m_dir = folder->dir;
    m_in = folder->in;
    m_out = folder->out;
    return true;
}

bool Probe::startServer() {
    if (!m_server.start(m_o.kormlink, m_dir)) return false;
    // Ready when the output listener says it listens and the repeater port greets. The output
    // port is not tried: a client that names no channel is held for ten seconds, and would
    // count in the scenario's "before".
    const Millis deadline = now() + 15'000;
    while (now() < deadline && m_server.running()) {
        if (!m_server.logLines("listening for monitoring clients").empty()) {
            auto s = TcpSocket::connectTo("127.0.0.1", m_in, 500);
            std::string line;
            if (s && s->recvLine(line, 1000) == RecvStatus::Line && line == kRepeaterGreeting)
                return true;
        }
        sleepMs(50);
    }
    return false;
}

Sample Probe::settle(const Sample& base, Millis* tookMs) {
    const Millis start = now();
    Sample s = sampleOf(m_server.pid());
    while ((s.fds != base.fds || s.threads != base.threads) && now() - start < kSettleBoundMs) {
        sleepMs(50);
        s = sampleOf(m_server.pid());
    }
    *tookMs = now() - start;
    return s;
}

Sample Probe::resting() {
    const Millis start = now();
    Sample last = sampleOf(m_server.pid());
    Millis stillSince = now();
    while (now() - stillSince < 500 && now() - start < kSettleBoundMs) {
        sleepMs(50);
        const Sample s = sampleOf(m_server.pid());
        if (s.fds != last.fds || s.threads != last.threads) stillSince = now();
        last = s;
    }
    return last;
}

void Probe::checkBaseline(Result& r, const Sample& before, const Sample& after, Millis tookMs) {
    r.add("settle_s", "back to the counts before within", static_cast<double>(tookMs) / 1000.0, 1,
          "s");
    r.check(after.fds == before.fds, "descriptors " + std::to_string(after.fds) + " after, " +
                                          std::to_string(before.fds) + " before");
    r.check(after.threads == before.threads, "threads " + std::to_string(after.threads) +
                                                 " after, " + std::to_string(before.threads) +
                                                 " before");
}

// N repeater connections that never send a byte.
void Probe::idle(Result& r) {
    const pid_t pid = m_server.pid();
    const int n = m_o.idle;
    const Sample before = resting();
    Crowd crowd;
    int served = 0;
    Millis lastServed = 0, slowest = 0;
    // Served: the greeting, then the time command, as the repeater expects after connecting.
    crowd.onLine = [&](std::size_t, Crowd::Conn& c, const std::string&) {
        if (c.lineCount != 2 || c.mark >= 0) return;
        if (c.lines[0] == kRepeaterGreeting && c.lines[1].rfind("systime", 0) == 0) {
            c.mark = now();
            ++served;
            lastServed = c.mark;
            slowest = std::max(slowest, c.mark - c.openedAt);
        }
    };
    note("idle: opening %d repeater connections", n);
    const Millis start = now();
    for (int i = 0; i < n; ++i) {
        crowd.open(m_in);
        if (i % 64 == 63) crowd.run(0);
    }
    // Every connection is given 60 s, less than the server's idle close (ECnst, 70 s).
    const Millis deadline = start + 60'000;
    auto unserved = [&] {
        int closed = 0;
        for (std::size_t i = 0; i < crowd.size(); ++i)
            if (!crowd[i].open() && crowd[i].mark < 0) ++closed;
        return closed;
    };
    while (now() < deadline && served + unserved() < n) crowd.run(50);
    const double acceptS = static_cast<double>(std::max<Millis>(lastServed - start, 0)) / 1000.0;
    note("idle: %d served in %.1f s; a normal repeater now", served, acceptS);

    const long probeMs = probeRepeater(m_in, 0xABC001, ++m_probeSeq, 5000);
    // The held connections stay open for a while longer: none may be closed by the server.
    for (int i = 0; i < 10; ++i) crowd.run(100);
    const Sample during = sampleOf(pid);
    int closedByServer = 0;
    for (std::size_t i = 0; i < crowd.size(); ++i) closedByServer += crowd[i].peerClosed ? 1 : 0;

    crowd.closeAll();
    Millis took = 0;
    const Sample after = settle(before, &took);

    r.ofTotal("served", "connections greeted (greeting and time command)", served, n);
    r.add("connect_failures", "connections that could not be made",
          static_cast<double>(crowd.failures()), 0);
    r.add("accept_all_s", "time until all were greeted", acceptS, 2, "s");
    r.add("slowest_greeting_ms", "slowest greeting after connecting", static_cast<double>(slowest),
          0, "ms");
    r.add("probe_answer_ms", "normal repeater's event answered in (while held)",
          static_cast<double>(probeMs), 0, "ms");
    r.add("closed_by_server", "held connections closed by the server",
          static_cast<double>(closedByServer), 0);
    r.counts(before, during, after);
    r.add("rss_per_connection_kb", "resident memory per held connection",
          n > 0 ? static_cast<double>(during.rssKb - before.rssKb) / n : 0, 1, "KB");
    r.add("threads_per_connection", "threads per held connection",
          n > 0 ? static_cast<double>(during.threads - before.threads) / n : 0, 2);
    r.check(served == n, std::to_string(n - served) + " connection(s) not greeted within 60 s");
    r.check(probeMs >= 0 && probeMs <= kPromptMs,
            probeMs < 0 ? "the normal repeater was not answered"
                        : "the normal repeater waited " + std::to_string(probeMs) + " ms");
    r.check(closedByServer == 0, std::to_string(closedByServer) + " held connection(s) closed by the server");
    checkBaseline(r, before, after, took);
}

// Connections opened at a fixed rate, each ended in one of five ways.
void Probe::churn(Result& r) {
    enum Kind { CloseAtOnce, ResetAtOnce, HalfLine, FullLine, Answered, kKinds };
    const pid_t pid = m_server.pid();
    const Sample before = resting();
    Peak peak;
    peak.max = before;
    Crowd crowd;
    std::uint64_t opened[kKinds] = {}, answered = 0, unanswered = 0;
    std::uint32_t seq = 0;
    crowd.onConnected = [&](std::size_t i, Crowd::Conn& c) {
        const std::uint32_t id = 0xC00000 + static_cast<std::uint32_t>(i % 0x10000);
        const std::string event = sim::eventLine(id, ++seq, sim::wallUs32(), 0, '1', id & 0xFFF);
        switch (c.kind) {
            case CloseAtOnce: crowd.close(c); break;
            case ResetAtOnce: crowd.close(c, true); break;
            case HalfLine:
                crowd.send(c, event.substr(0, event.size() / 2));
                crowd.close(c);
                break;
            case FullLine:
                crowd.send(c, event + "\r\n");
                crowd.close(c);
                break;
            default:
                crowd.send(c, event + "\r\n");
                c.deadline = now() + 5000;
                break;
        }
    };
    // The answer to the event is the empty line after the greeting and the time command.
    crowd.onLine = [&](std::size_t, Crowd::Conn& c, const std::string& line) {
        if (c.kind != Answered || c.lineCount != 3) return;
        if (line.empty()) ++answered;
        crowd.close(c);
    };
    const int rate = m_o.churnRate;
    note("churn: %d connections a second for %d s", rate, m_o.churnSeconds);
    const Millis start = now();
    const Millis end = start + static_cast<Millis>(m_o.churnSeconds) * 1000;
    std::uint64_t count = 0;
    auto expire = [&](bool all) {
        for (std::size_t i = 0; i < crowd.size(); ++i) {
            Crowd::Conn& c = crowd[i];
            if (c.open() && c.kind == Answered && c.deadline > 0 && (all || now() > c.deadline)) {
                ++unanswered;
                crowd.close(c);
            }
        }
    };
    Millis nextExpire = start;
    while (now() < end) {
        const auto due = static_cast<std::uint64_t>((now() - start) * rate / 1000);
        while (count < due) {
            const int kind = static_cast<int>(count % kKinds);
            ++opened[kind];
            crowd.open(m_in, kind);
            ++count;
        }
        crowd.run(5);
        peak.take(pid, 100);
        if (now() >= nextExpire) {
            expire(false);
            nextExpire = now() + 500;
        }
    }
    // The last connections waiting for their answer get their 5 s.
    const Millis answerEnd = now() + 5500;
    while (crowd.openCount() > 0 && now() < answerEnd) {
        crowd.run(20);
        peak.take(pid, 100);
        expire(false);
    }
    expire(true);
    crowd.closeAll();
    Millis took = 0;
    const Sample after = settle(before, &took);

    const double seconds = static_cast<double>(end - start) / 1000.0;
    r.add("connections", "connections opened", static_cast<double>(count), 0);
    r.add("rate_per_s", "connections opened per second", static_cast<double>(count) / seconds, 0);
    r.text("kinds", "closed at once / reset / half line / full line / after answer",
           std::to_string(opened[CloseAtOnce]) + " / " + std::to_string(opened[ResetAtOnce]) +
               " / " + std::to_string(opened[HalfLine]) + " / " + std::to_string(opened[FullLine]) +
               " / " + std::to_string(opened[Answered]));
    r.add("connect_failures", "connections that could not be made",
          static_cast<double>(crowd.failures()), 0);
    r.ofTotal("answered", "events answered (of those waiting for it)",
              static_cast<long>(answered), static_cast<long>(opened[Answered]));
    r.counts(before, peak.max, after, "peak");
    r.check(crowd.failures() == 0, std::to_string(crowd.failures()) + " connection(s) could not be made");
    r.check(answered == opened[Answered],
            std::to_string(opened[Answered] - answered) + " event(s) not answered within 5 s");
    checkBaseline(r, before, after, took);
}

// A repeater that floods event lines and never reads the answers.
void Probe::neverReads(Result& r) {
    const pid_t pid = m_server.pid();
    const Sample before = resting();
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    // A small receive window, set before connecting: the answers fill it at once.
    const int small = 1024;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(m_in);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool connected = ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (!connected && errno == EINPROGRESS) {
        pollfd p{fd.get(), POLLOUT, 0};
        int err = 0;
        socklen_t len = sizeof err;
        connected = ::poll(&p, 1, 3000) == 1 &&
                    ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
    }
    if (!connected) {
        r.check(false, "cannot connect");
        return;
    }
    note("never-reads: sending event lines without reading");
    const std::uint32_t id = 0xABC003;
    std::uint32_t seq = 0;
    std::uint64_t linesSent = 0, bytesSent = 0;
    std::string chunk;
    std::size_t chunkLines = 0, offset = 0;
    const Millis start = now();
    Millis lastProgress = start, closedAt = -1;
    long probeMs = -2;  // not tried yet
    Sample during;
    bool reset = false;
    // The send time-out of the server is 10 s; it is given 60 s after our sends stall.
    while (now() - lastProgress < 60'000) {
        if (offset == chunk.size()) {
            linesSent += chunkLines;
            chunk.clear();
            for (chunkLines = 0; chunkLines < 64; ++chunkLines)
                chunk += sim::eventLine(id, ++seq, sim::wallUs32(), 0, '1', id & 0xFFF) + "\r\n";
            offset = 0;
        }
        const ssize_t n = ::send(fd.get(), chunk.data() + offset, chunk.size() - offset,
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            offset += static_cast<std::size_t>(n);
            bytesSent += static_cast<std::uint64_t>(n);
            lastProgress = now();
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            reset = errno == ECONNRESET;
            closedAt = now();
            break;
        }
        pollfd p{fd.get(), POLLOUT | POLLRDHUP, 0};
        if (::poll(&p, 1, 100) == 1 && (p.revents & (POLLERR | POLLHUP | POLLRDHUP))) {
            int err = 0;
            socklen_t len = sizeof err;
            ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len);
            reset = err == ECONNRESET || (p.revents & POLLERR);
            closedAt = now();
            break;
        }
        // Stalled for a second: the server is blocked in its send. Another repeater now.
        if (probeMs == -2 && now() - lastProgress >= 1000) {
            during = sampleOf(pid);
            probeMs = probeRepeater(m_in, 0xABC001, ++m_probeSeq, 5000);
            note("never-reads: stalled after %llu bytes; a normal repeater answered in %ld ms",
                 static_cast<unsigned long long>(bytesSent), probeMs);
        }
    }
    const double closeS =
        closedAt < 0 ? -1 : static_cast<double>(closedAt - lastProgress) / 1000.0;
    fd.reset();
    Millis took = 0;
    const Sample after = settle(before, &took);

    r.add("bytes_sent", "bytes of event lines sent before the sends stalled",
          static_cast<double>(bytesSent), 0);
    r.add("lines_sent", "whole event lines handed to the socket", static_cast<double>(linesSent), 0);
    r.add("stall_to_close_s", "server closed it after the sends stalled", closeS, 1, "s");
    r.text("closed_how", "how it was closed",
           closedAt < 0 ? "not closed" : (reset ? "reset" : "closed"));
    r.add("probe_answer_ms", "normal repeater's event answered in (during the stall)",
          static_cast<double>(probeMs), 0, "ms");
    r.counts(before, during, after, "stalled");
    r.check(closedAt >= 0, "the server did not close the connection within 60 s of the stall");
    r.check(closedAt < 0 || closeS <= static_cast<double>(TcpSocket::kSendTimeoutMs) / 1000.0 + 5,
            "the server took " + std::to_string(closeS) + " s to give up its send");
    r.check(probeMs >= 0 && probeMs <= kPromptMs,
            probeMs < 0 ? "the normal repeater was not answered during the stall"
                        : "the normal repeater waited " + std::to_string(probeMs) + " ms");
    checkBaseline(r, before, after, took);
}

// M monitoring clients that name the channel and never answer, while events arrive.
void Probe::silent(Result& r) {
    const pid_t pid = m_server.pid();
    // What earlier scenarios queued is taken first, so that the count afterwards is exact.
    const Drained earlier = drain(m_out, 0, 0, 1500, 300'000);
    note("silent: %llu lines taken from the queue first",
         static_cast<unsigned long long>(earlier.lines));
    const Sample before = resting();
    const int m = m_o.silent;
    Crowd crowd;
    int named = 0, withLine = 0;
    std::vector<Millis> heldFor;  // from their first line to the server's close
    crowd.onLine = [&](std::size_t, Crowd::Conn& c, const std::string& line) {
        if (c.lineCount == 1 && line == "Kormlink") {
            if (crowd.send(c, std::string(kChannel) + "\r\n")) ++named;
        } else if (c.lineCount == 2) {
            c.mark = now();  // its first line: never answered
            ++withLine;
        }
    };
    note("silent: %d monitoring clients that never answer", m);
    for (int i = 0; i < m; ++i) crowd.open(m_out);
    // Attached: every one named the channel.
    const Millis attachEnd = now() + 10'000;
    while (now() < attachEnd && named < m) crowd.run(20);
    for (int i = 0; i < 5; ++i) crowd.run(20);

    // One repeater sends the events, each answered before the next (the server journals it
    // before answering, so an answered event is kept).
    const std::uint32_t id = 0xABC004;
    const int k = m_o.events;
    int acked = 0;
    Millis slowestAnswer = 0;
    long clientMs = -1;
    Sample during;
    {
        auto s = TcpSocket::connectTo("127.0.0.1", m_in, 2000);
        std::string line;
        if (s && s->recvLine(line, 2000) == RecvStatus::Line &&
            s->recvLine(line, 2000) == RecvStatus::Line && s->sendAll("OK\r\n")) {
            for (int i = 1; i <= k; ++i) {
                const Millis sent = now();
                if (!s->sendAll(sim::eventLine(id, static_cast<std::uint32_t>(i), sim::wallUs32(),
                                               0, '1', id & 0xFFF) +
                                "\r\n"))
                    break;
                if (s->recvLine(line, 5000) != RecvStatus::Line || !line.empty()) break;
                ++acked;
                slowestAnswer = std::max(slowestAnswer, now() - sent);
                if (i % 50 == 0) crowd.run(0);
                if (i == k / 2) {
                    during = sampleOf(pid);
                    clientMs = probeClient(m_out, 5000);
                }
            }
        }
    }
    // The clients hold on (and the server waits for their answers) a little longer.
    for (int i = 0; i < 20; ++i) crowd.run(50);
    int closedByServer = 0;
    for (std::size_t i = 0; i < crowd.size(); ++i) {
        const Crowd::Conn& c = crowd[i];
        if (c.peerClosed && c.mark >= 0) heldFor.push_back(c.closedAt - c.mark);
        closedByServer += c.peerClosed ? 1 : 0;
    }
    std::sort(heldFor.begin(), heldFor.end());
    const double medianHeldS =
        heldFor.empty() ? -1 : static_cast<double>(heldFor[heldFor.size() / 2]) / 1000.0;
    crowd.closeAll();
    Millis took = 0;
    const Sample after = settle(before, &took);
    note("silent: %d of %d events acknowledged; one answering client takes them", acked, k);
    const Drained got = drain(m_out, id, static_cast<std::size_t>(acked), 3000, 120'000);

    r.ofTotal("named", "clients that named the channel", named, m);
    r.ofTotal("given_a_line", "clients given a line (never answered)", withLine, m);
    r.ofTotal("closed_by_server", "clients closed by the server meanwhile", closedByServer, m);
    r.add("held_s_median", "their line waited for an answer (median)", medianHeldS, 1, "s");
    r.ofTotal("acknowledged", "events acknowledged while they were attached", acked, k);
    r.add("slowest_answer_ms", "slowest answer to the sending repeater",
          static_cast<double>(slowestAnswer), 0, "ms");
    r.add("client_greeting_ms", "another client greeted in (meanwhile)",
          static_cast<double>(clientMs), 0, "ms");
    r.ofTotal("delivered", "events delivered afterwards to one answering client",
              static_cast<long>(got.seqs.size()), acked);
    r.add("repeats", "events delivered twice", static_cast<double>(got.repeats), 0);
    r.counts(before, during, after);
    r.check(named == m, std::to_string(m - named) + " client(s) not greeted");
    r.check(acked == k, std::to_string(k - acked) + " event(s) not acknowledged within 5 s");
    r.check(slowestAnswer <= kPromptMs,
            "the sending repeater waited " + std::to_string(slowestAnswer) + " ms for an answer");
    r.check(clientMs >= 0 && clientMs <= kPromptMs, "another client was not greeted promptly");
    r.check(got.attached, "the answering client could not attach");
    r.check(got.seqs.size() == static_cast<std::size_t>(acked),
            std::to_string(acked - static_cast<long>(got.seqs.size())) +
                " acknowledged event(s) lost");
    checkBaseline(r, before, after, took);
}

// More repeater connections and clients than the limits admit.
void Probe::limits(Result& r) {
    const pid_t pid = m_server.pid();
    const Sample before = resting();
    const std::size_t toldBefore = m_server.logLines("refused in the last minute").size();
    struct Side {
        const char* what;
        std::uint16_t port;
        int most;
        std::string_view greeting;
        int greeted = 0, refused = 0;
    };
    Side sides[] = {{"repeaters", m_in, m_maxConnections, kRepeaterGreeting},
                    {"monitoring clients", m_out, m_maxClients, "Kormlink"}};
    Sample during;
    for (Side& side : sides) {
        Crowd crowd;
        crowd.onLine = [&](std::size_t, Crowd::Conn& c, const std::string& line) {
            if (c.lineCount == 1 && line == side.greeting) ++side.greeted;
        };
        const int n = side.most + kOverLimit;
        note("limits: %d %s against a limit of %d", n, side.what, side.most);
        for (int i = 0; i < n; ++i) {
            crowd.open(side.port);
            if (i % 64 == 63) crowd.run(0);
        }
        const Millis deadline = now() + 30'000;
        auto countRefused = [&] {
            int k = 0;
            for (std::size_t i = 0; i < crowd.size(); ++i)
                k += (crowd[i].peerClosed && crowd[i].lineCount == 0) ? 1 : 0;
            return k;
        };
        while (now() < deadline && side.greeted + countRefused() < n) crowd.run(50);
        side.refused = countRefused();
        if (&side == &sides[0]) during = sampleOf(pid);
        crowd.closeAll();
    }
    sleepMs(1500);  // the report leaves through the server's console writer
    const std::size_t told = m_server.logLines("refused in the last minute").size() - toldBefore;
    std::size_t toldLater = told;
    if (!m_o.quick) {
        note("limits: waiting a minute for the rest of the refusals to be told");
        sleepMs(TcpAcceptor::kRefusalReportMs + 3000);
        toldLater = m_server.logLines("refused in the last minute").size() - toldBefore;
    }
    Millis took = 0;
    const Sample after = settle(before, &took);

    for (const Side& side : sides) {
        const std::string key = &side == &sides[0] ? "repeaters" : "clients";
        r.ofTotal(key + "_served", std::string(side.what) + " served (the limit)", side.greeted,
                  side.most);
        r.ofTotal(key + "_refused", std::string(side.what) + " closed at once (over the limit)",
                  side.refused, kOverLimit);
        r.check(side.greeted == side.most, std::string(side.what) + ": " +
                                               std::to_string(side.greeted) + " served, the limit is " +
                                               std::to_string(side.most));
        r.check(side.refused == kOverLimit,
                std::string(side.what) + ": " + std::to_string(side.refused) + " refused of " +
                    std::to_string(kOverLimit) + " over the limit");
    }
    r.add("reports_at_once", "stderr lines about refusals at once (one per listener)",
          static_cast<double>(told), 0);
    r.check(told == 2, std::to_string(told) + " stderr lines about refusals, not one per listener");
    if (!m_o.quick) {
        r.add("reports_after_a_minute", "stderr lines about refusals after a minute",
              static_cast<double>(toldLater), 0);
        r.check(toldLater == 4, "the rest of the refusals was not told after a minute");
    }
    r.counts(before, during, after);
    checkBaseline(r, before, after, took);
}

int Probe::run() {
    if (!setUp()) return 2;
    rlimit lim{};
    ::getrlimit(RLIMIT_NOFILE, &lim);
    note("data folder %s, descriptor limit %llu", m_dir.c_str(),
         static_cast<unsigned long long>(lim.rlim_cur));
    if (!startServer()) {
        std::fprintf(stderr, "klabuse: %s did not start serving within 15 s (see %s/server.log)\n",
                     m_o.kormlink.c_str(), m_dir.c_str());
        return 2;
    }
    // Whatever the server opens on first use (logs, the journal, the first client's and
    // repeater's state) is opened before the first baseline.
    probeRepeater(m_in, 0xABC001, ++m_probeSeq, 5000);
    drain(m_out, 0, 0, 500, 5000);
    sleepMs(500);

    std::vector<Result> results;
    for (const std::string& name : m_o.scenarios) {
        Result& r = results.emplace_back();
        r.name = name;
        if (!m_server.running()) {
            r.check(false, "the server is not running");
            continue;
        }
        if (name == "idle") idle(r);
        else if (name == "churn") churn(r);
        else if (name == "never-reads") neverReads(r);
        else if (name == "silent") silent(r);
        else if (name == "limits") limits(r);
        if (!m_server.running()) r.check(false, "the server ended during the scenario");
        note("%s: %s", name.c_str(), r.passed() ? "PASS" : ("FAIL: " + joined(r.problems, "; ")).c_str());
    }
    const int exitStatus = m_server.stop(30'000);
    bool ok = std::all_of(results.begin(), results.end(), [](const Result& r) { return r.passed(); });
    if (exitStatus != 0) {
        note("the server's orderly stop ended with %d", exitStatus);
        ok = false;
    }
    if (m_o.json) {
        printJson(results);
    } else {
        printTable(results);
    }
    if (ok && !m_o.keep) {
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    } else {
        note("data folder kept: %s", m_dir.c_str());
    }
    return ok ? 0 : 1;
}

std::vector<std::string> splitList(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ','))
        if (!item.empty()) out.push_back(item);
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace kormlink::sim;
    Options o;
    bool sized[5] = {};  // idle, churn rate, churn seconds, silent, events given explicitly
    auto count = [](int& target, bool& given) {
        return [&target, &given](const std::string& v) {
            given = true;
            target = std::max(1, std::atoi(v.c_str()));
        };
    };
    const ToolCommandLine line{
        .program = "klabuse",
        .usage = kUsage,
        .options = {value("scenario", [&](const std::string& v) { o.scenarios = splitList(v); }),
                    flag("quick", o.quick), flag("json", o.json), flag("keep", o.keep),
                    text("kormlink", o.kormlink), text("dir", o.parent),
                    value("idle", count(o.idle, sized[0])),
                    value("churn-rate", count(o.churnRate, sized[1])),
                    value("churn-seconds", count(o.churnSeconds, sized[2])),
                    value("silent", count(o.silent, sized[3])),
                    value("events", count(o.events, sized[4]))},
        .usageAfterMissingValue = false};
    if (int code = parseToolOptions(line, argc, argv); code >= 0) return code;
    for (const std::string& s : o.scenarios)
        if (std::find(kAllScenarios.begin(), kAllScenarios.end(), s) == kAllScenarios.end())
            return usageError(line, "unknown scenario " + s);
    if (o.quick) {
        if (!sized[0]) o.idle = 300;
        if (!sized[1]) o.churnRate = 100;
        if (!sized[2]) o.churnSeconds = 3;
        if (!sized[3]) o.silent = 20;
        if (!sized[4]) o.events = 200;
    }
    if (o.kormlink.empty()) o.kormlink = findProgram("kormlink");

    // Thousands of connections need thousands of descriptors, here and in the server.
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &lim);
    }
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGINT, onStopSignal);
    ::signal(SIGTERM, onStopSignal);
    return Probe(std::move(o)).run();
}
