#pragma once

// The system calls through which the files that hold undelivered lines are written: the queue
// journals, their rewrites and the queue files. They behave exactly as the calls they wrap; a
// fault test installs a hook that sees each call first and can make it fail with an errno of
// its choice, or end the process right there (a torn write included), to prove that no fault at
// any point loses what was acknowledged. Without a hook the cost is one atomic load a call.

#include <fcntl.h>
#include <sys/types.h>

#include <cstddef>

namespace kormlink::fileio {

enum class Op { Open, Write, Sync, Rename, Truncate };

// Called before the operation with its descriptor (-1 for open and rename), its path (open and
// rename: the file opened or renamed; nullptr otherwise) and, for a write, its bytes. Returns 0
// to let the call go ahead, or an errno value: the call then fails with it and does nothing.
using FaultHook = int (*)(Op op, int fd, const char* path, const void* data, std::size_t size);
void setFaultHook(FaultHook hook);

int open(const char* path, int flags, mode_t mode = 0);
ssize_t write(int fd, const void* data, std::size_t size);
int fsync(int fd);
int fdatasync(int fd);
int rename(const char* from, const char* to);
int ftruncate(int fd, off_t length);

}  // namespace kormlink::fileio
