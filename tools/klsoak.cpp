// klsoak: runs the server with the repeater and monitoring-client simulators for a chosen time
// and injects faults at random moments, then checks that every event the server acknowledged
// reached the monitoring client.
//
// Faults: kill -9 of the server and a restart (at a fixed period, with jitter), monitoring
// clients that vanish in the middle of a line, repeaters that reset their connection, the log
// folder made unwritable for a few seconds, and the server's descriptor limit reached (the
// listener must neither spin nor stop serving once descriptors are free again).
//
// Prints events acknowledged, delivered, lost (acknowledged and never delivered: must be 0),
// repeated, and the server's memory at the start and the end. Exit status 0 when nothing was
// lost and every check held.
//
//   klsoak [--seconds S | --minutes M] [--kill-every S] [--repeaters N] [--rate R] [--batch K]
//          [--fsync] [--seed N] [--keep] [--bin DIR] [--dir PARENT]

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/tcp.h"
#include "program_path.h"
#include "sim_line.h"
#include "sim_server.h"
#include "tool_options.h"

extern char** environ;

namespace {

using namespace kormlink;
namespace fs = std::filesystem;

struct Options {
    int seconds = 120;
    int killEvery = 20;
    int repeaters = 20;
    int rate = 20;
    int batch = 0;
    bool fsync = false;
    bool keep = false;
    unsigned seed = 0;
    std::string bin;
    std::string parent = "/tmp";
};

constexpr const char* kUsage =
    "usage: klsoak [--seconds S | --minutes M] [--kill-every S] [--repeaters N]\n"
    "              [--rate R] [--batch K] [--fsync] [--seed N] [--keep] [--bin DIR]\n"
    "  Runs kormlink --headless with rptsim and monsim in a fresh folder and injects\n"
    "  faults; prints acknowledged, delivered, lost (must be 0) and repeated events.\n"
    "  --seconds/--minutes  how long to run (default 120 s)\n"
    "  --kill-every S       kill -9 and restart the server about every S s (20; 0: never)\n"
    "  --repeaters N        simulated repeaters (20), --rate R events/s each (20)\n"
    "  --batch K            numbered batches of K lines instead of plain lines\n"
    "  --fsync              the server syncs its journals before answering\n"
    "  --keep               keep the data folder (its path is printed)\n"
    "  --bin DIR            where kormlink, rptsim and monsim are (default: found\n"
    "                       beside klsoak, in its parent folder, in the programs\n"
    "                       folder, then on PATH)\n"
    "  --dir PARENT         where the data folder is made (default /tmp)\n";

// A child process with its output in a file.
class Child {
public:
    Child() = default;
    Child(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
          const std::string& outFile) {
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
        posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (posix_spawn(&m_pid, program.c_str(), &fa, nullptr, argv.data(), environ) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&fa);
    }
    pid_t pid() const { return m_pid; }
    bool running() {
        if (m_pid <= 0) return false;
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return false;
        }
        return true;
    }
    void signal(int sig) {
        if (m_pid > 0) ::kill(m_pid, sig);
    }
    // Waits for the end; after the time, kills it. Returns the exit status (128 + signal).
    int wait(Millis timeoutMs) {
        if (m_pid <= 0) return -1;
        const Millis deadline = steadyClock().now() + timeoutMs;
        int status = 0;
        for (;;) {
            pid_t r = ::waitpid(m_pid, &status, WNOHANG);
            if (r == m_pid) break;
            if (steadyClock().now() > deadline) {
                ::kill(m_pid, SIGKILL);
                ::waitpid(m_pid, &status, 0);
                break;
            }
            sleepMs(20);
        }
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    pid_t m_pid = -1;
};

long vmRssKb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    long value = -1;
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) std::sscanf(line.c_str(), "VmRSS: %ld", &value);
    return value;
}

// User + system CPU time in clock ticks from a /proc .../stat file.
long ticksFromStat(const fs::path& path) {
    std::ifstream in(path);
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream rest(stat.substr(close + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) utime = std::atol(field.c_str());
        if (i == 15) stime = std::atol(field.c_str());
    }
    return utime + stime;
}

// CPU ticks of the process's thread whose name begins with prefix; -1 when there is none.
long threadCpuTicks(pid_t pid, const std::string& prefix) {
    std::error_code ec;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (auto it = fs::directory_iterator(tasks, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
        std::ifstream comm(it->path() / "comm");
        std::string name;
        std::getline(comm, name);
        if (name.rfind(prefix, 0) != 0) continue;
        return ticksFromStat(it->path() / "stat");
    }
    return -1;
}

std::size_t openFds(pid_t pid) {
    std::error_code ec;
    std::size_t n = 0;
    for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         !ec && it != fs::directory_iterator(); it.increment(ec))
        ++n;
    return n;
}

// "<id hex> <seq>" lines as keys.
std::vector<std::uint64_t> readEvents(const std::string& path) {
    std::vector<std::uint64_t> keys;
    std::ifstream in(path);
    std::string id;
    std::uint64_t seq = 0;
    while (in >> id >> seq) {
        const std::uint64_t rid = std::strtoull(id.c_str(), nullptr, 16);
        keys.push_back((rid << 32) | (seq & 0xFFFFFFFFu));
    }
    return keys;
}

std::string lastLine(const std::string& path, const std::string& prefix) {
    std::ifstream in(path);
    std::string line, found;
    while (std::getline(in, line))
        if (line.rfind(prefix, 0) == 0) found = line;
    return found;
}

// A connection that is greeted proves the listener serves.
bool greeted(std::uint16_t port, Millis timeoutMs) {
    auto s = TcpSocket::connectTo("127.0.0.1", port, timeoutMs);
    std::string line;
    return s && s->recvLine(line, timeoutMs) == RecvStatus::Line && !line.empty();
}

class Soak {
public:
    explicit Soak(Options o) : m_o(std::move(o)), m_rng(m_o.seed ? m_o.seed : std::random_device{}()) {}

    int run();

private:
    bool setUp();
    void startServer();
    void killServer();
    void clientVanishes();
    void repeaterResets();
    void logFolderGone();
    void logFolderBack();
    void descriptorLimit();
    void progress(Millis start);

    Options m_o;
    std::mt19937 m_rng;
    std::string m_dir, m_kormlink, m_rptsim, m_monsim;
    std::uint16_t m_in = 0, m_out = 0;
    Child m_server, m_rpt, m_mon;
    long m_rssStartKb = -1;
    int m_kills = 0, m_vanished = 0, m_resets = 0, m_logOutages = 0, m_fdFloods = 0;
    bool m_logGone = false;
    Millis m_logBackAt = 0;
    std::vector<std::string> m_problems;
};

bool Soak::setUp() {
    auto find = [&](const char* name) -> std::string {
        if (m_o.bin.empty()) return sim::findProgram(name);
        for (const std::string& dir : {m_o.bin, m_o.bin + "/..", m_o.bin + "/tools"}) {
            const std::string p = dir + "/" + name;
            if (sim::isProgramFile(p)) return fs::canonical(p).string();
        }
        return {};
    };
    m_kormlink = find("kormlink");
    m_rptsim = find("rptsim");
    m_monsim = find("monsim");
    if (m_kormlink.empty() || m_rptsim.empty() || m_monsim.empty()) {
        if (m_o.bin.empty())
            std::fprintf(stderr, "klsoak: kormlink, rptsim and monsim must be beside klsoak, in "
                                 "the programs folder or on PATH (or give --bin DIR)\n");
        else
            std::fprintf(stderr,
                         "klsoak: kormlink, rptsim and monsim must be in %s or its parent\n",
                         m_o.bin.c_str());
        return false;
    }
    const auto folder = sim::makeServerFolder(m_o.parent, "klsoak", "SOAK",
                                              {"", "", m_o.fsync ? "Fsync=1\n" : "", ""});
    if (!folder) return false;
    m_dir = folder->dir;
    m_in = folder->in;
    m_out = folder->out;
    return true;
}

void Soak::startServer() {
    m_server = Child(m_kormlink, {"--headless"}, m_dir, m_dir + "/server.log");
    // Ready when the input port greets.
    const Millis deadline = steadyClock().now() + 10'000;
    while (steadyClock().now() < deadline && !greeted(m_in, 500)) sleepMs(50);
}

void Soak::killServer() {
    m_server.signal(SIGKILL);
    m_server.wait(5000);
    ++m_kills;
    startServer();
}

void Soak::clientVanishes() {
    // Names the channel, takes part of a line, and goes away without answering: the line
    // stays queued for the next client.
    auto s = TcpSocket::connectTo("127.0.0.1", m_out, 1000);
    if (!s) return;
    std::string line;
    if (s->recvLine(line, 1000) != RecvStatus::Line) return;
    s->sendAll("SOAK\r\n");
    std::string part;
    s->recvBytes(part, 1 + m_rng() % 60, 2000);
    linger l{1, 0};
    ::setsockopt(s->fd(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ++m_vanished;
}

void Soak::repeaterResets() {
    m_rpt.signal(SIGUSR1);
    ++m_resets;
}

void Soak::logFolderGone() {
    // A regular file where the log folder was: every log write fails, as on a folder without
    // write access (which root would not notice).
    std::error_code ec;
    fs::rename(m_dir + "/Kormlink", m_dir + "/Kormlink.away", ec);
    if (ec) return;
    std::ofstream(m_dir + "/Kormlink") << "not a folder\n";
    m_logGone = true;
    m_logBackAt = steadyClock().now() + 3000;
    ++m_logOutages;
}

void Soak::logFolderBack() {
    if (!m_logGone) return;
    std::error_code ec;
    fs::remove(m_dir + "/Kormlink", ec);
    fs::rename(m_dir + "/Kormlink.away", m_dir + "/Kormlink", ec);
    m_logGone = false;
}

void Soak::descriptorLimit() {
    const pid_t pid = m_server.pid();
    if (pid <= 0) return;
    rlimit old{};
    if (::prlimit(pid, RLIMIT_NOFILE, nullptr, &old) != 0) return;
    rlimit tight = old;
    tight.rlim_cur = openFds(pid) + 8;
    if (::prlimit(pid, RLIMIT_NOFILE, &tight, nullptr) != 0) return;
    ++m_fdFloods;
    std::vector<TcpSocket> flood;
    for (int i = 0; i < 64; ++i)
        if (auto s = TcpSocket::connectTo("127.0.0.1", m_in, 500)) flood.push_back(std::move(*s));
    // With connections waiting that it cannot accept, the listener must not spin: its thread's
    // CPU time is measured (the rest of the server is busy with the load meanwhile).
    const long before = threadCpuTicks(pid, "accept rep");
    sleepMs(2000);
    const long ticks = threadCpuTicks(pid, "accept rep") - before;
    const double cpu = 100.0 * static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK)) / 2.0;
    flood.clear();
    ::prlimit(pid, RLIMIT_NOFILE, &old, nullptr);
    bool served = false;
    for (int i = 0; i < 10 && !served; ++i) served = greeted(m_in, 1000);
    std::printf("klsoak: descriptor limit reached: listener CPU %.0f %% of one core meanwhile, %s\n",
                cpu, served ? "serving again afterwards" : "NOT SERVING afterwards");
    if (!served) m_problems.push_back("the listener did not serve again after the descriptor limit");
    if (cpu > 20) m_problems.push_back("the listener spun while descriptors were exhausted");
}

void Soak::progress(Millis start) {
    const auto acked = readEvents(m_dir + "/acked.txt").size();
    const auto delivered = readEvents(m_dir + "/delivered.txt").size();
    std::fprintf(stderr,
                 "klsoak: %4llds  acked %zu  delivered %zu  kills %d  vanished %d  resets %d  log "
                 "outages %d  fd floods %d\n",
                 static_cast<long long>((steadyClock().now() - start) / 1000), acked, delivered,
                 m_kills, m_vanished, m_resets, m_logOutages, m_fdFloods);
}

int Soak::run() {
    if (!setUp()) return 2;
    std::printf("klsoak: data folder %s, %d s, kill -9 every %d s, %d repeaters at %d events/s%s\n",
                m_dir.c_str(), m_o.seconds, m_o.killEvery, m_o.repeaters, m_o.rate,
                m_o.fsync ? ", fsync" : "");
    startServer();
    sleepMs(500);
    m_rssStartKb = vmRssKb(m_server.pid());
    m_mon = Child(m_monsim,
                  {"--port", std::to_string(m_out), "--channel", "SOAK", "--delivered",
                   m_dir + "/delivered.txt", "--quiet", "--report-every", "0"},
                  m_dir, m_dir + "/monsim.log");
    std::vector<std::string> rptArgs{"--port",   std::to_string(m_in), "--repeaters",
                                     std::to_string(m_o.repeaters), "--rate", std::to_string(m_o.rate),
                                     "--acked",  m_dir + "/acked.txt", "--quiet", "--report-every", "0"};
    if (m_o.batch > 0) {
        rptArgs.push_back("--batch");
        rptArgs.push_back(std::to_string(m_o.batch));
    }
    m_rpt = Child(m_rptsim, rptArgs, m_dir, m_dir + "/rptsim.log");

    const Millis start = steadyClock().now();
    const Millis end = start + static_cast<Millis>(m_o.seconds) * 1000;
    std::uniform_real_distribution<double> jitter(0.75, 1.25);
    auto nextKillIn = [&] { return static_cast<Millis>(m_o.killEvery * 1000 * jitter(m_rng)); };
    Millis nextKill = m_o.killEvery > 0 ? start + nextKillIn() : end + 1;
    Millis nextProgress = start + 10'000;
    std::uniform_int_distribution<int> pick(0, 99);
    while (steadyClock().now() < end) {
        sleepMs(250);
        const Millis now = steadyClock().now();
        if (m_logGone && now >= m_logBackAt) logFolderBack();
        if (!m_server.running()) {
            m_problems.push_back("the server ended by itself");
            startServer();
        }
        if (now >= nextKill) {
            killServer();
            nextKill = now + nextKillIn();
            continue;
        }
        // About one other fault every few seconds, at random.
        const int roll = pick(m_rng);
        if (roll < 4) {
            clientVanishes();
        } else if (roll < 7) {
            repeaterResets();
        } else if (roll < 8 && !m_logGone) {
            logFolderGone();
        } else if (roll == 8 && m_fdFloods < 1 + m_o.seconds / 120) {
            descriptorLimit();
        }
        if (now >= nextProgress) {
            progress(start);
            nextProgress = now + 10'000;
        }
    }
    logFolderBack();
    const long rssEndKb = vmRssKb(m_server.pid());

    // rptsim stops sending and waits for its outstanding answers; then the client drains.
    m_rpt.signal(SIGTERM);
    m_rpt.wait(20'000);
    const auto ackedList = readEvents(m_dir + "/acked.txt");
    const std::unordered_set<std::uint64_t> acked(ackedList.begin(), ackedList.end());
    // The client drains the queue for as long as it makes progress (at most ten minutes).
    std::unordered_map<std::uint64_t, int> delivered;
    const Millis drainEnd = steadyClock().now() + 600'000;
    Millis lastProgress = steadyClock().now();
    std::size_t lastCount = 0;
    while (steadyClock().now() < drainEnd && steadyClock().now() - lastProgress < 10'000) {
        sleepMs(500);
        delivered.clear();
        for (std::uint64_t k : readEvents(m_dir + "/delivered.txt")) ++delivered[k];
        std::size_t missing = 0;
        for (std::uint64_t k : acked)
            if (!delivered.count(k)) ++missing;
        if (missing == 0) break;
        if (delivered.size() != lastCount) {
            lastCount = delivered.size();
            lastProgress = steadyClock().now();
        }
    }
    m_mon.signal(SIGTERM);
    m_mon.wait(10'000);
    delivered.clear();
    for (std::uint64_t k : readEvents(m_dir + "/delivered.txt")) ++delivered[k];

    // What the orderly stop leaves queued was not lost, only not delivered yet.
    m_server.signal(SIGTERM);
    const int serverExit = m_server.wait(30'000);
    if (serverExit != 0) m_problems.push_back("the server's orderly stop ended with " + std::to_string(serverExit));
    std::unordered_set<std::uint64_t> queued;
    {
        std::ifstream in(m_dir + "/SOAK.out");
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (auto e = sim::parseEvent(line))
                queued.insert((static_cast<std::uint64_t>(e->repeaterId) << 32) | e->seq);
        }
    }
    std::size_t lost = 0, stillQueued = 0, repeated = 0, unacked = 0;
    for (std::uint64_t k : acked) {
        if (delivered.count(k)) continue;
        if (queued.count(k)) {
            ++stillQueued;
        } else {
            ++lost;
        }
    }
    for (const auto& [k, n] : delivered) {
        repeated += static_cast<std::size_t>(n - 1);
        if (!acked.count(k)) ++unacked;
    }

    std::printf("klsoak: ran %d s: %d kill -9, %d vanished clients, %d repeater resets, %d log "
                "outages, %d descriptor floods\n",
                m_o.seconds, m_kills, m_vanished, m_resets, m_logOutages, m_fdFloods);
    std::printf("klsoak: %s\n", lastLine(m_dir + "/rptsim.log", "rptsim:").c_str());
    std::printf("klsoak: %s\n", lastLine(m_dir + "/monsim.log", "monsim:").c_str());
    std::printf("klsoak: acknowledged=%zu delivered=%zu still_queued=%zu lost=%zu repeated=%zu "
                "delivered_unacknowledged=%zu server_rss_kb_start=%ld server_rss_kb_end=%ld\n",
                acked.size(), delivered.size(), stillQueued, lost, repeated, unacked, m_rssStartKb,
                rssEndKb);
    for (const std::string& p : m_problems) std::printf("klsoak: problem: %s\n", p.c_str());
    if (lost > 0) std::printf("klsoak: LOST %zu acknowledged event(s); folder kept: %s\n", lost, m_dir.c_str());
    const bool ok = lost == 0 && m_problems.empty() && !acked.empty();
    if (ok && !m_o.keep) {
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    } else {
        std::printf("klsoak: data folder kept: %s\n", m_dir.c_str());
    }
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace kormlink::sim;
    Options o;
    // Read as atol reads them, unchecked (no number reads as 0), times a unit.
    auto whole = [](auto& target, long times) {
        return [&target, times](const std::string& v) { target = times * std::atol(v.c_str()); };
    };
    const ToolCommandLine line{
        .program = "klsoak",
        .usage = kUsage,
        .options = {value("seconds", whole(o.seconds, 1)), value("minutes", whole(o.seconds, 60)),
                    value("kill-every", whole(o.killEvery, 1)),
                    value("repeaters", whole(o.repeaters, 1)), value("rate", whole(o.rate, 1)),
                    value("batch", whole(o.batch, 1)), value("seed", whole(o.seed, 1)),
                    text("bin", o.bin), text("dir", o.parent), flag("fsync", o.fsync),
                    flag("keep", o.keep)},
        .usageAfterMissingValue = false};
    if (int code = parseToolOptions(line, argc, argv); code >= 0) return code;
    ::signal(SIGPIPE, SIG_IGN);
    return Soak(std::move(o)).run();
}
