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
LocalTime fixedLocalTime() { return LocalTime{2024, 5, 17, 12, 30, 0}; }

Millis JumpingClock::now() const {
    const std::uint64_t n = m_reads++;
    return steadyClock().now() + static_cast<Millis>(n / 32) * 10'000;
}

FuzzServer::FuzzServer(const std::string& ini) : m_dir(tempDir()) {
    // A peer that is gone must show as a failed write, not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    setIni(ini);
    m_main = std::make_unique<MainThread>();
    ServerOptions options;
    options.dataDir = m_dir;
    options.clock = &m_clock;
    options.localTime = fixedLocalTime;
    m_server = std::make_unique<Server>(*m_main, m_view, options);
    m_server->LoadConfiguration();
}

void FuzzServer::setIni(const std::string& ini) {
    if (!replaceFileAtomically(joinPath(m_dir, kIniFileName), ini)) std::abort();
}

void FuzzServer::serveUntil(const std::function<bool()>& pred, Millis boundMs) {
    const Millis deadline = steadyClock().now() + boundMs;
    while (!m_main->runUntil(pred, 2)) {
        if (steadyClock().now() > deadline) {
            std::fprintf(stderr, "fuzz: the input did not end within %lld ms\n",
                         static_cast<long long>(boundMs));
            __builtin_trap();
        }
    }
}

void FuzzServer::emptyQueues() {
    tOList* list = m_server->channels();
    if (!list) return;
    for (std::size_t i = 0; i < list->size(); ++i) {
        auto& queue = list->at(i).Queue;
        while (!queue.empty())
            if (!list->RemoveLine(i, queue.front().seq)) __builtin_trap();
    }
}

void FuzzServer::checkQueues() {
    tOList* list = m_server->channels();
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

void FuzzServer::workerStarted(WorkerKind kind) {
    ++m_running;
    m_server->workerStarted(kind);
}

void FuzzServer::workerEnded(WorkerKind kind) {
    m_server->workerEnded(kind);
    --m_running;
    m_main->wake();  // the main thread may be waiting for exactly this
}

tOHostList* FuzzServer::clientList() {
    ++m_clientListCalls;
    return m_server->clientList();
}

void FuzzServer::registerClient(TSOutThrd* client) {
    m_clients.push_back(client);
    m_server->registerClient(client);
}

void FuzzServer::unregisterClient(TSOutThrd* client) {
    m_clients.erase(std::remove(m_clients.begin(), m_clients.end(), client), m_clients.end());
    m_server->unregisterClient(client);
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
