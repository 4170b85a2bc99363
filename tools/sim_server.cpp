#include "sim_server.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/event_line.h"
#include "platform/files.h"
#include "platform/tcp.h"

namespace kormlink::sim {

std::uint16_t freePort() {
    auto listener = TcpListener::open(0, nullptr);
    return listener ? listener->port() : 0;
}

std::optional<ServerFolder> makeServerFolder(const std::string& parent, const std::string& prefix,
                                             const std::string& channel,
                                             const ExtraKeys& extra) {
    std::string tmpl = parent + "/" + prefix + "-XXXXXX";
    if (!::mkdtemp(tmpl.data())) return std::nullopt;
    ServerFolder folder{tmpl, freePort(), freePort()};
    std::error_code ec;
    std::filesystem::create_directory(folder.dir + "/Kormlink", ec);
    std::filesystem::create_directory(folder.dir + "/Kormlink_c", ec);
    // Every simulated repeater and client comes from this machine's one address: no
    // per-address limit, or the crowds would be cut off there.
    const std::string ini = "[In]\nPort=" + std::to_string(folder.in) + "\nMaxPerAddress=0\n" +
                            extra.in + "[Out]\nPort=" + std::to_string(folder.out) +
                            "\nMaxPerAddress=0\n" + extra.out +
                            "[Opt]\nLifeTime=23:59\n" + extra.opt +
                            "[ComIn]\nCom=0\n[Sock]\nACKDelay=0\n" + extra.sock +
                            "[Client0]\nId=" + channel + "\nQSize=10000000\n";
    if (!replaceFileAtomically(folder.dir + "/Kormlink.ini", ini)) return std::nullopt;
    return folder;
}

ChildProcess::~ChildProcess() {
    if (running()) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& args,
                         const std::string& cwd, const std::string& outFile,
                         std::optional<rlim_t> noFileSoft) {
    // Everything the child needs is made before the fork: between fork and exec only
    // async-signal-safe calls.
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    if (noFileSoft) limit.rlim_cur = std::min(*noFileSoft, limit.rlim_max);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(127);  // the parent ended before the line above
        ::setrlimit(RLIMIT_NOFILE, &limit);
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (in < 0 || out < 0 || ::chdir(cwd.c_str()) != 0) ::_exit(127);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(out, 2);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    m_pid = pid;
    m_exit = -1;
    return true;
}

namespace {
int statusOf(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
}  // namespace

bool ChildProcess::running() {
    if (m_pid <= 0) return false;
    int status = 0;
    if (::waitpid(m_pid, &status, WNOHANG) != m_pid) return true;
    m_exit = statusOf(status);
    m_pid = -1;
    return false;
}

void ChildProcess::signal(int sig) {
    if (m_pid > 0) ::kill(m_pid, sig);
}

int ChildProcess::wait(Millis timeoutMs) {
    const Millis deadline = steadyClock().now() + timeoutMs;
    while (running()) {
        if (steadyClock().now() > deadline) {
            ::kill(m_pid, SIGKILL);
            int status = 0;
            ::waitpid(m_pid, &status, 0);
            m_exit = statusOf(status);
            m_pid = -1;
            break;
        }
        sleepMs(10);
    }
    return m_exit;
}

int ChildProcess::stop(Millis timeoutMs) {
    signal(SIGTERM);
    return wait(timeoutMs);
}

long procStatusValue(pid_t pid, const char* key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const std::size_t len = std::strlen(key);
    while (std::getline(in, line))
        if (line.compare(0, len, key) == 0) return std::atol(line.c_str() + len);
    return -1;
}

long procCpuTicks(pid_t pid, pid_t tid) {
    std::ifstream in("/proc/" + std::to_string(pid) +
                     (tid > 0 ? "/task/" + std::to_string(tid) : std::string()) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The name in parentheses may hold blanks: the fields are counted after its end.
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream rest(stat.substr(close + 2));
    std::string field;
    long utime = -1, stime = -1;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) utime = std::atol(field.c_str());
        if (i == 15) stime = std::atol(field.c_str());
    }
    return utime < 0 || stime < 0 ? -1 : utime + stime;
}

long procOpenFds(pid_t pid) {
    std::error_code ec;
    long n = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ++n;
    return ec && n == 0 ? -1 : n;
}

std::pair<long, long> procNoFileLimits(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/limits");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("Max open files", 0) != 0) continue;
        std::istringstream fields(line.substr(std::strlen("Max open files")));
        std::string soft, hard;
        fields >> soft >> hard;
        auto number = [](const std::string& text) {
            return text.empty() || text == "unlimited" ? -1L : std::atol(text.c_str());
        };
        return {number(soft), number(hard)};
    }
    return {-1, -1};
}

std::string fileTail(const std::string& path, std::size_t count) {
    std::ifstream in(path);
    std::deque<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(std::move(line));
        if (lines.size() > count) lines.pop_front();
    }
    std::string text;
    for (const std::string& l : lines) text += l + "\n";
    return text;
}

std::string lastLineStartingWith(const std::string& path, const std::string& prefix) {
    std::ifstream in(path);
    std::string line, found;
    while (std::getline(in, line))
        if (line.rfind(prefix, 0) == 0) found = line;
    return found;
}

bool waitUntilServing(ChildProcess& server, const ServerFolder& folder, const std::string& logFile,
                      Millis timeoutMs) {
    // The output port is not tried: a client that names no channel is held for seconds.
    const Millis deadline = steadyClock().now() + timeoutMs;
    while (steadyClock().now() < deadline && server.running()) {
        const auto log = readWholeFile(logFile);
        if (log && log->find("listening for monitoring clients") != std::string::npos) {
            auto s = TcpSocket::connectTo("127.0.0.1", folder.in, 500);
            std::string line;
            if (s && s->recvLine(line, 1000) == RecvStatus::Line && line == kRepeaterGreeting)
                return true;
        }
        sleepMs(50);
    }
    return false;
}

}  // namespace kormlink::sim
