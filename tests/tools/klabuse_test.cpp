// The abuse probe against the program, one short scenario per case, so each stays well under
// the time a single test may take and the cases run in parallel.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Outcome {
    int exitStatus = -1;
    std::string out;
};

// Runs klabuse with args; stdout is collected, stderr passes through. Killed after boundMs.
Outcome runKlabuse(std::vector<std::string> args, int boundMs) {
    Outcome run;
    int out[2];
    if (::pipe(out) != 0) return run;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    std::vector<char*> argv{const_cast<char*>(KLABUSE_BINARY)};
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, KLABUSE_BINARY, &fa, nullptr, argv.data(), environ);
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
            ::kill(pid, SIGTERM);  // klabuse stops its server on the way out
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

class KlabuseQuick : public ::testing::TestWithParam<const char*> {};

TEST_P(KlabuseQuick, PassesAgainstTheProgram) {
    const Outcome run = runKlabuse({"--quick", "--json", "--kormlink", KORMLINK_BINARY, "--scenario",
                                GetParam()},
                               60'000);
    EXPECT_EQ(run.exitStatus, 0) << run.out;
    EXPECT_NE(run.out.find(std::string("{\"name\":\"") + GetParam() + "\",\"verdict\":\"pass\""),
              std::string::npos)
        << run.out;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, KlabuseQuick,
                         ::testing::Values("idle", "churn", "never-reads", "silent", "limits"),
                         [](const auto& info) {
                             std::string name = info.param;
                             std::erase(name, '-');
                             return name;
                         });

}  // namespace
