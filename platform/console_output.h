#pragma once

// Standard output and standard error without blocking.
//
// A terminal stopped with Ctrl-S, or a pipe that nobody reads, blocks a plain write for as long
// as it likes. The server's threads, and above all the main thread, must never wait for the
// operator's terminal: what they print goes into a bounded queue, and one writer thread of its
// own does the writing. When the queue is full, lines are dropped and counted, and the count is
// reported on standard error as soon as the writer can write again.
//
// The program installs one ConsoleOutput for the process; consolePrint() and consolePrintf()
// go through it from any thread. While none is installed (unit tests, tools) they write
// straight to stdout and stderr.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace kormlink {

enum class ConsoleStream { Out, Err };

class ConsoleOutput {
public:
    static constexpr std::size_t kDefaultCapBytes = 1 << 20;
    // How long the end waits for queued text to be written before it leaves the rest.
    static constexpr Millis kCloseWaitMs = 2000;

    ConsoleOutput(int outFd, int errFd, std::size_t capBytes = kDefaultCapBytes);
    ~ConsoleOutput();
    ConsoleOutput(const ConsoleOutput&) = delete;
    ConsoleOutput& operator=(const ConsoleOutput&) = delete;

    // Queues text (one or more whole lines) for the stream. Never waits for the writing.
    void write(ConsoleStream stream, std::string_view text);
    // Waits until everything queued so far has been written, or the time has passed.
    bool flush(Millis timeoutMs);
    // Lines dropped because the queue was full, since the start.
    std::uint64_t droppedLines() const;

    struct State;

private:
    friend void installConsoleOutput(ConsoleOutput* output);
    std::shared_ptr<State> m_state;
};

// Makes output the process's console (nullptr: none). The caller keeps it alive until it has
// installed nullptr again.
void installConsoleOutput(ConsoleOutput* output);

// One line (the newline is added) through the installed console output.
void consolePrint(ConsoleStream stream, std::string_view line);
void consolePrintf(ConsoleStream stream, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// printf into a string.
std::string formatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kormlink
