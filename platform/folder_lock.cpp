#include "platform/folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/files.h"

namespace kormlink {
namespace {

constexpr Millis kLockPollMs = 200;

std::string holderOf(int fd) {
    char buf[32] = {};
    const ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
    long pid = 0;
    for (ssize_t i = 0; i < n && buf[i] >= '0' && buf[i] <= '9' && pid < 100'000'000; ++i)
        pid = pid * 10 + (buf[i] - '0');
    return pid > 0 ? "process " + std::to_string(pid) : "another process";
}

}  // namespace

FolderLockResult lockFolder(const std::string& dir, Millis waitMs,
                            void (*onWaiting)(const std::string& holder)) {
    FolderLockResult result;
    const std::string path = joinPath(dir, kLockFileName);
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!fd) {
        result.error = "cannot open " + path + ": " + std::strerror(errno);
        return result;
    }
    const Millis deadline = steadyClock().now() + waitMs;
    bool told = false;
    while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) {
            result.error = "cannot lock " + path + ": " + std::strerror(errno);
            return result;
        }
        result.holder = holderOf(fd.get());
        const Millis left = deadline - steadyClock().now();
        if (left <= 0) {
            result.outcome = FolderLockResult::Outcome::InUse;
            return result;
        }
        if (!told && onWaiting) onWaiting(result.holder);
        told = true;
        sleepMs(std::min(left, kLockPollMs));
    }
    // Ours now: say who holds it. A failure here only makes a refused start less precise.
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd.get(), 0) == 0 && ::pwrite(fd.get(), pid.data(), pid.size(), 0) < 0) {
    }
    result.outcome = FolderLockResult::Outcome::Taken;
    result.holder.clear();
    result.fd = std::move(fd);
    return result;
}

}  // namespace kormlink
