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
        address, port, [self](const std::string& path) { return self->answer(path); }, error);
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
    struct Request {
        std::optional<StatusSnapshot> snapshot;
        bool done = false;
    };
    auto request = std::make_shared<Request>();
    std::shared_ptr<Shared> shared = m_shared;
    m_mainThread.post([shared, request] {
        std::optional<StatusSnapshot> taken;
        if (shared->server) taken = shared->server->snapshot();
        {
            std::lock_guard lock(shared->mutex);
            request->snapshot = std::move(taken);
            request->done = true;
        }
        shared->answered.notify_all();
    });
    std::unique_lock lock(m_shared->mutex);
    m_shared->answered.wait_for(lock, std::chrono::milliseconds(kSnapshotWaitMs),
                                [&] { return request->done || m_shared->stopping; });
    if (!request->done) return std::nullopt;
    return std::move(request->snapshot);
}

HttpServer::Response StatusService::answer(const std::string& path) {
    if (path != "/" && path != "/metrics")
        return {404, "text/plain; charset=utf-8", "Not found. Try / or /metrics.\n"};
    const std::optional<StatusSnapshot> s = snapshot();
    if (!s) return {503, "text/plain; charset=utf-8", "The server is busy or stopping.\n"};
    if (path == "/metrics") return {200, "text/plain; version=0.0.4; charset=utf-8", renderMetrics(*s)};
    return {200, "text/html; charset=utf-8", renderStatusPage(*s, "Kormlink status")};
}

}  // namespace kormlink
