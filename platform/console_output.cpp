#include "platform/console_output.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

namespace kormlink {

struct ConsoleOutput::State {
    struct Item {
        ConsoleStream stream;
        std::string text;
    };

    State(int out, int err, std::size_t cap) : outFd(out), errFd(err), capBytes(cap) {}

    void push(ConsoleStream stream, std::string text) {
        {
            std::lock_guard lock(mutex);
            if (queuedBytes + text.size() > capBytes) {
                ++dropped;
                ++droppedUnreported;
                return;
            }
            queuedBytes += text.size();
            ++pushed;
            queue.push_back(Item{stream, std::move(text)});
        }
        cv.notify_all();
    }

    // Writes all of text unless the descriptor fails, or a stop has begun and the descriptor
    // stays unwritable. Small pieces after POLLOUT, so a write seldom blocks at all.
    bool writeAll(int fd, std::string_view text) {
        while (!text.empty()) {
            pollfd p{fd, POLLOUT, 0};
            const int ready = ::poll(&p, 1, 100);
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0) return false;
            if (ready == 0) {
                if (stopping.load()) return false;
                continue;
            }
            if (p.revents & (POLLERR | POLLNVAL)) return false;
            const ssize_t n = ::write(fd, text.data(), std::min<std::size_t>(text.size(), 4096));
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) return false;
            text.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }

    void run() {
        std::unique_lock lock(mutex);
        for (;;) {
            cv.wait(lock, [this] { return !queue.empty() || stopping.load(); });
            if (queue.empty()) break;  // stopping, and everything written
            std::deque<Item> batch;
            batch.swap(queue);
            lock.unlock();
            for (Item& item : batch) {
                writeAll(item.stream == ConsoleStream::Out ? outFd : errFd, item.text);
                std::lock_guard relock(mutex);
                queuedBytes -= item.text.size();
                ++written;
            }
            lock.lock();
            if (droppedUnreported > 0) {
                const std::uint64_t count = droppedUnreported;
                droppedUnreported = 0;
                lock.unlock();
                writeAll(errFd, formatText("Kormlink: %llu console lines dropped: the output did "
                                           "not keep up\n",
                                           static_cast<unsigned long long>(count)));
                lock.lock();
            }
            cv.notify_all();  // flush() waits for written
        }
        finished = true;
        cv.notify_all();
    }

    const int outFd;
    const int errFd;
    const std::size_t capBytes;
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<Item> queue;
    std::size_t queuedBytes = 0;  // queued or being written: what the queue holds in memory
    std::uint64_t pushed = 0;
    std::uint64_t written = 0;
    std::uint64_t dropped = 0;
    std::uint64_t droppedUnreported = 0;
    std::atomic<bool> stopping{false};
    bool finished = false;
};

namespace {
std::mutex g_installedMutex;
std::shared_ptr<ConsoleOutput::State> g_installed;

std::string vformat(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    char small[512];
    const int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < sizeof small)
        return std::string(small, static_cast<std::size_t>(n));
    std::string text(static_cast<std::size_t>(n) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<std::size_t>(n));
    return text;
}
}  // namespace

ConsoleOutput::ConsoleOutput(int outFd, int errFd, std::size_t capBytes)
    : m_state(std::make_shared<State>(outFd, errFd, capBytes)) {
    // The thread holds the state too: if a write never returns, the end leaves it behind.
    std::thread([state = m_state] { state->run(); }).detach();
}

ConsoleOutput::~ConsoleOutput() {
    {
        std::lock_guard lock(g_installedMutex);
        if (g_installed == m_state) g_installed.reset();
    }
    std::unique_lock lock(m_state->mutex);
    m_state->stopping = true;
    m_state->cv.notify_all();
    m_state->cv.wait_for(lock, std::chrono::milliseconds(kCloseWaitMs),
                         [this] { return m_state->finished; });
}

void ConsoleOutput::write(ConsoleStream stream, std::string_view text) {
    m_state->push(stream, std::string(text));
}

bool ConsoleOutput::flush(Millis timeoutMs) {
    std::unique_lock lock(m_state->mutex);
    const std::uint64_t target = m_state->pushed;
    return m_state->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [&] { return m_state->written >= target; });
}

std::uint64_t ConsoleOutput::droppedLines() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->dropped;
}

void installConsoleOutput(ConsoleOutput* output) {
    std::lock_guard lock(g_installedMutex);
    g_installed = output ? output->m_state : nullptr;
}

void consolePrint(ConsoleStream stream, std::string_view line) {
    std::shared_ptr<ConsoleOutput::State> state;
    {
        std::lock_guard lock(g_installedMutex);
        state = g_installed;
    }
    std::string text;
    text.reserve(line.size() + 1);
    text.append(line).push_back('\n');
    if (state) {
        state->push(stream, std::move(text));
        return;
    }
    std::FILE* to = stream == ConsoleStream::Out ? stdout : stderr;
    std::fwrite(text.data(), 1, text.size(), to);
    std::fflush(to);
}

void consolePrintf(ConsoleStream stream, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = vformat(format, args);
    va_end(args);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    consolePrint(stream, text);
}

std::string formatText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = vformat(format, args);
    va_end(args);
    return text;
}

}  // namespace kormlink
