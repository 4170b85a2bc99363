#include "platform/file_io.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace kormlink::fileio {
namespace {

std::atomic<FaultHook> g_hook{nullptr};

// 0, or the errno the hook wants the call to fail with (then set).
int injected(Op op, int fd, const char* path = nullptr, const void* data = nullptr,
             std::size_t size = 0) {
    const FaultHook hook = g_hook.load(std::memory_order_relaxed);
    if (!hook) return 0;
    const int err = hook(op, fd, path, data, size);
    if (err != 0) errno = err;
    return err;
}

}  // namespace

void setFaultHook(FaultHook hook) { g_hook.store(hook); }

int open(const char* path, int flags, mode_t mode) {
    if (injected(Op::Open, -1, path)) return -1;
    return ::open(path, flags, mode);
}

ssize_t write(int fd, const void* data, std::size_t size) {
    if (injected(Op::Write, fd, nullptr, data, size)) return -1;
    return ::write(fd, data, size);
}

int fsync(int fd) {
    if (injected(Op::Sync, fd)) return -1;
    return ::fsync(fd);
}

int fdatasync(int fd) {
    if (injected(Op::Sync, fd)) return -1;
    return ::fdatasync(fd);
}

int rename(const char* from, const char* to) {
    if (injected(Op::Rename, -1, from)) return -1;
    return ::rename(from, to);
}

int ftruncate(int fd, off_t length) {
    if (injected(Op::Truncate, fd)) return -1;
    return ::ftruncate(fd, length);
}

}  // namespace kormlink::fileio
