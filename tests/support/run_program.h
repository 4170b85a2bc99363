#pragma once

// Runs one of the project's programs for a program test: its output collected, its run bounded.

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

extern char** environ;

namespace kormlink::test {

struct ProgramRun {
    int exitStatus = -1;  // or 128 + the signal; -1 when it could not be started
    std::string out;      // standard output, and standard error with withStderr
};

// Runs binary with args; SIGTERM once boundMs have passed (the programs stop their own
// children on the way out).
inline ProgramRun runProgram(const char* binary, std::vector<std::string> args, int boundMs,
                             bool withStderr) {
    ProgramRun run;
    int out[2];
    if (::pipe(out) != 0) return run;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    if (withStderr) posix_spawn_file_actions_adddup2(&fa, out[1], 2);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    std::vector<char*> argv{const_cast<char*>(binary)};
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, binary, &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    if (rc != 0) {
        ::close(out[0]);
        return run;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    char buf[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        pollfd p{out[0], POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) {
            ::kill(pid, SIGTERM);
            break;
        }
        const ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        run.out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

}  // namespace kormlink::test
