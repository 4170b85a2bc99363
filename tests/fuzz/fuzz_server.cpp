#include "fuzz_server.h"

#include "fuzz_temp_dir.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>

#include "output/channels.h"
#include "platform/files.h"

namespace kormlink::fuzz {

// The local time is a fixed date: it keeps the runs repeatable.
FuzzServer::FuzzServer(const std::string& ini)
    : Server(m_main, m_lines,
             {tempDir(), &m_clock, [] { return LocalTime{2024, 5, 17, 12, 30, 0}; }}) {
    // A peer that is gone must show as a failed write, not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    setIni(ini);
    LoadConfiguration();
}

void FuzzServer::setIni(const std::string& ini) {
    if (!replaceFileAtomically(joinPath(tempDir(), kIniFileName), ini)) std::abort();
}

void FuzzServer::serveUntil(const std::function<bool()>& pred, Millis boundMs) {
    const Millis deadline = steadyClock().now() + boundMs;
    while (!m_main.runUntil(pred, 2)) {
        if (steadyClock().now() > deadline) {
            std::fprintf(stderr, "fuzz: the input did not end within %lld ms\n",
                         static_cast<long long>(boundMs));
            __builtin_trap();
        }
    }
}

void FuzzServer::emptyQueues() {
    tOList* list = channels();
    if (!list) return;
    for (std::size_t i = 0; i < list->size(); ++i) {
        auto& queue = list->at(i).Queue;
        while (!queue.empty())
            if (!list->RemoveLine(i, queue.front().seq)) __builtin_trap();
    }
}

void FuzzServer::checkQueues() {
    tOList* list = channels();
    if (!list) return;
    for (std::size_t i = 0; i < list->size(); ++i) {
        const tOItem& channel = list->at(i);
        if (static_cast<std::int64_t>(channel.Queue.size()) > std::max(channel.QSize, 0))
            __builtin_trap();
        for (const QueuedLine& line : channel.Queue) {
            const auto key = decodeEvent(line.text);
            if (!key || !MatchChannel(channel.Filters, *key)) __builtin_trap();
        }
    }
}

bool pump(int fd, const std::uint8_t* bytes, std::size_t size, std::size_t& sent) {
    bool open = true;
    while (sent < size) {
        const ssize_t n = ::write(fd, bytes + sent, size - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        open = false;
        break;
    }
    char buf[4096];
    while (::read(fd, buf, sizeof buf) > 0) {
    }
    return open;
}

}  // namespace kormlink::fuzz
