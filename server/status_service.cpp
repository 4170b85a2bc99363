#include "server/status_service.h"

#include "core/main_thread.h"
#include "server/server.h"

namespace kormlink {

std::unique_ptr<StatusService> StatusService::start(Server& server, MainThread& mainThread,
                                                    const std::string& address,
                                                    std::uint16_t port, std::string* error) {
    auto shared = std::make_shared<Shared>();
    shared->server = &server;
    std::unique_ptr<StatusService> service(new StatusService(mainThread, shared));
    StatusService* self = service.get();
    service->m_http = HttpServer::start(
        address, port, [self](const HttpServer::Request& request) { return self->answer(request); },
        error);
    if (!service->m_http) return nullptr;
    return service;
}

StatusService::~StatusService() {
    {
        std::lock_guard lock(m_shared->mutex);
        m_shared->stopping = true;
    }
    m_shared->answered.notify_all();
    m_http.reset();  // waits for a request in progress, which ends at once now
    m_shared->server = nullptr;
}

std::optional<StatusSnapshot> StatusService::snapshot() {
    std::unique_lock lock(m_shared->mutex);
    const Millis now = steadyClock().now();
    if (m_shared->cached && now - m_shared->cachedAt < kSnapshotReuseMs) return m_shared->cached;
    // One copy on its way at a time: requests that come meanwhile wait for the same one, and
    // one that gave up does not leave another copy queued behind it.
    // A copy that is a whole wait late: a request has already waited for it and given up, and
    // the main thread is stuck or stopping; waiting again would only hold up the HTTP thread.
    if (m_shared->requested && now - m_shared->requestedAt >= kSnapshotWaitMs) return std::nullopt;
    const std::uint64_t wanted = m_shared->taken + 1;
    if (!m_shared->requested) {
        m_shared->requested = true;
        m_shared->requestedAt = now;
        std::shared_ptr<Shared> shared = m_shared;
        m_mainThread.post([shared] {
            std::optional<StatusSnapshot> taken;
            if (shared->server) taken = shared->server->snapshot();
            {
                std::lock_guard lock(shared->mutex);
                shared->cached = std::move(taken);
                shared->cachedAt = steadyClock().now();
                shared->requested = false;
                ++shared->taken;
            }
            shared->answered.notify_all();
        });
    }
    m_shared->answered.wait_for(lock, std::chrono::milliseconds(kSnapshotWaitMs), [&] {
        return m_shared->taken >= wanted || m_shared->stopping;
    });
    if (m_shared->taken < wanted) return std::nullopt;
    return m_shared->cached;
}

HttpServer::Response StatusService::answer(const HttpServer::Request& request) {
    const std::string& path = request.path;
    if (path != "/" && path != "/metrics")
        return {404, "text/plain; charset=utf-8", "Not found. Try / or /metrics.\n"};
    const std::optional<StatusSnapshot> s = snapshot();
    const HttpServer::Response busy{503, "text/plain; charset=utf-8",
                                    "The server is busy or stopping.\n"};
    // The client may have left during the wait: nobody would read the page (nor the 503; the
    // HTTP server closes the connection).
    if (!s || request.clientGone()) return busy;
    if (path == "/metrics") return {200, "text/plain; version=0.0.4; charset=utf-8", renderMetrics(*s)};
    return {200, "text/html; charset=utf-8", renderStatusPage(*s, "Kormlink status")};
}

}  // namespace kormlink
