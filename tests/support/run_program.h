#pragma once

// Runs one of the project's programs for a program test, its standard streams on pipes.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace kormlink::test {

// A program started in folder dir ("": here) with extraEnv added to its environment, standard
// error on its own pipe or with errToOut on standard output's; killed if still running when
// it is dropped.
class Program {
public:
    Program(const char* binary, std::vector<std::string> args, const std::string& dir = "",
            const std::vector<std::string>& extraEnv = {}, bool errToOut = false) {
        int in[2], out[2], err[2];
        EXPECT_TRUE(::pipe2(in, O_CLOEXEC) == 0 && ::pipe2(out, O_CLOEXEC) == 0 &&
                    ::pipe2(err, O_CLOEXEC) == 0);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_adddup2(&fa, errToOut ? out[1] : err[1], 2);
        if (!dir.empty()) posix_spawn_file_actions_addchdir_np(&fa, dir.c_str());
        std::vector<char*> argv{const_cast<char*>(binary)};
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (const std::string& e : extraEnv) envp.push_back(const_cast<char*>(e.c_str()));
        for (char** e = environ; *e; ++e) envp.push_back(*e);
        envp.push_back(nullptr);
        EXPECT_EQ(posix_spawn(&m_pid, binary, &fa, nullptr, argv.data(), envp.data()), 0);
        posix_spawn_file_actions_destroy(&fa);
        for (int fd : {in[0], out[1], err[1]}) ::close(fd);
        m_in = in[1];
        m_out = out[0];
        m_err = err[0];
    }
    ~Program() {
        signal(SIGKILL);
        if (m_pid > 0) ::waitpid(m_pid, nullptr, 0);
        for (int fd : {m_in, m_out, m_err}) ::close(fd);
    }
    void type(const std::string& line) {
        std::string l = line + "\n";
        EXPECT_EQ(::write(m_in, l.data(), l.size()), static_cast<ssize_t>(l.size()));
    }
    void closeInput() { ::close(m_in); m_in = -1; }
    void signal(int sig) {
        if (m_pid > 0) ::kill(m_pid, sig);
    }
    // Exit status (or 128 + the signal), or -1 when it does not exit in time.
    int wait(int timeoutMs) {
        using namespace std::chrono;
        const auto deadline = steady_clock::now() + milliseconds(timeoutMs);
        do {
            int status = 0;
            if (m_pid > 0 && ::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(milliseconds(10));
        } while (m_pid > 0 && steady_clock::now() < deadline);
        return -1;
    }
    // What it writes to standard output (or error) until it closes it, for at most boundMs;
    // SIGTERM once they have passed (the programs stop their own children on the way out).
    std::string out(int boundMs = 10'000) { return drain(m_out, boundMs); }
    std::string err(int boundMs = 10'000) { return drain(m_err, boundMs); }

private:
    std::string drain(int fd, int boundMs) {
        using namespace std::chrono;
        const auto deadline = steady_clock::now() + milliseconds(boundMs);
        std::string s;
        char buf[4096];
        for (;;) {
            const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
            pollfd p{fd, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) {
                signal(SIGTERM);
                return s;
            }
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) return s;
            s.append(buf, static_cast<std::size_t>(n));
        }
    }
    pid_t m_pid = -1;
    int m_in = -1, m_out = -1, m_err = -1;
};

}  // namespace kormlink::test
