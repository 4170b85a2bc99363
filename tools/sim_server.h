#pragma once

// The data folder the probes and the soak test start `kormlink --headless` in, the child
// processes they start, and what /proc tells about them.

#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace kormlink::sim {

// A TCP port free on this machine just now, for a server started next; 0 when none.
std::uint16_t freePort();

struct ServerFolder {
    std::string dir;
    std::uint16_t in = 0;   // the repeaters' port
    std::uint16_t out = 0;  // the monitoring clients' port
};

// Keys added to the sections of the generated configuration, each ended by "\n".
struct ExtraKeys {
    std::string in;   // [In], e.g. "MaxConnections=100\n"
    std::string out;  // [Out]
    std::string opt;  // [Opt], e.g. "Fsync=1\n"
    std::string sock;  // [Sock], e.g. "ECnst=1000\n"
};

// Makes PARENT/<prefix>-XXXXXX with the two log folders and a configuration for a relay on
// free ports: one channel `channel` without filters and with room for every event of a run,
// LifeTime 23:59, answers without delay, no serial link. nullopt when the folder or the file
// cannot be made.
std::optional<ServerFolder> makeServerFolder(const std::string& parent, const std::string& prefix,
                                             const std::string& channel,
                                             const ExtraKeys& extra = {});

// A child process with standard input from /dev/null and standard output and error appended to
// one file. It gets SIGTERM when the process that started it ends, so a benchmark that is
// killed leaves no server or simulator behind. Not copyable; the destructor kills (SIGKILL) and
// reaps a child still running.
class ChildProcess {
  public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts program with args in folder cwd. noFileSoft: the descriptor soft limit the child
    // runs with (at most the hard limit), instead of this process's own. False when the fork
    // failed; a program that cannot be executed ends at once with status 127.
    bool start(const std::string& program, const std::vector<std::string>& args,
               const std::string& cwd, const std::string& outFile,
               std::optional<rlim_t> noFileSoft = std::nullopt);
    pid_t pid() const { return m_pid; }
    // False once it ended (it is reaped then; exitStatus() tells how).
    bool running();
    // The exit status, or 128 + the signal that ended it; -1 while running or never started.
    int exitStatus() const { return m_exit; }
    void signal(int sig);
    // Waits up to timeoutMs for the end, then kills it (SIGKILL). The exit status.
    int wait(Millis timeoutMs);
    // SIGTERM, then wait(timeoutMs).
    int stop(Millis timeoutMs);

  private:
    pid_t m_pid = -1;
    int m_exit = -1;
};

// Figures of a process from /proc; -1 when it cannot be read (the process is gone).
long procStatusValue(pid_t pid, const char* key);  // e.g. "VmRSS:" in kB, "Threads:"
// User + system CPU time in clock ticks: of the whole process, or of its thread tid.
long procCpuTicks(pid_t pid, pid_t tid = 0);
long procOpenFds(pid_t pid);
// The soft and hard descriptor limits ("Max open files" of /proc/PID/limits); -1 for unlimited
// or unreadable.
std::pair<long, long> procNoFileLimits(pid_t pid);

// The last `count` lines of a file ("" when it cannot be read).
std::string fileTail(const std::string& path, std::size_t count);
// The last line of a file that begins with prefix ("" when none).
std::string lastLineStartingWith(const std::string& path, const std::string& prefix);

// Waits until the server in `folder` serves: its output (in logFile) says it listens for
// monitoring clients, and the repeaters' port greets. False when the process ended or
// timeoutMs passed first.
bool waitUntilServing(ChildProcess& server, const ServerFolder& folder, const std::string& logFile,
                      Millis timeoutMs);

}  // namespace kormlink::sim
