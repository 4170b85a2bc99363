#pragma once

// The status page ("/") and the metrics ("/metrics") over HTTP, for operators of a machine
// nobody logs into. Read-only: nothing can be changed through it.
//
// The HTTP server's thread never touches the server's state: the main thread hands a copy of
// it over (StatusSnapshot), at most once every kSnapshotReuseMs (requests meanwhile get the
// same copy), and the request renders that, waiting at most kSnapshotWaitMs; a main thread that
// does not answer in time gets a 503. Only one request waits for a copy that is late: while a
// copy asked for more than kSnapshotWaitMs ago is still not there, requests get the 503 at
// once instead of each holding up the HTTP server's one thread for another wait. A request
// whose client left during the wait renders nothing.

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/clock.h"
#include "platform/http_server.h"
#include "server/status_snapshot.h"

namespace kormlink {

class MainThread;
class Server;

class StatusService {
public:
    static constexpr Millis kSnapshotWaitMs = 2000;
    static constexpr Millis kSnapshotReuseMs = 1000;

    // Main thread. nullptr and *error when the address cannot be served.
    static std::unique_ptr<StatusService> start(Server& server, MainThread& mainThread,
                                                const std::string& address, std::uint16_t port,
                                                std::string* error);
    // Main thread: ends the requests that wait and stops the HTTP server.
    ~StatusService();

    std::uint16_t port() const { return m_http ? m_http->port() : 0; }

private:
    // What the main thread and the HTTP thread share; outlives the service while closures
    // handed to the main thread may still run.
    struct Shared {
        Server* server = nullptr;  // main thread; nullptr once the service is gone
        std::mutex mutex;
        std::condition_variable answered;
        bool stopping = false;  // guarded by mutex, as are the five below
        bool requested = false;  // a copy is on its way
        Millis requestedAt = 0;
        std::uint64_t taken = 0;  // copies made
        std::optional<StatusSnapshot> cached;
        Millis cachedAt = 0;
    };
    StatusService(MainThread& mainThread, std::shared_ptr<Shared> shared)
        : m_mainThread(mainThread), m_shared(std::move(shared)) {}
    HttpServer::Response answer(const HttpServer::Request& request);
    std::optional<StatusSnapshot> snapshot();

    MainThread& m_mainThread;
    std::shared_ptr<Shared> m_shared;
    std::unique_ptr<HttpServer> m_http;
};

}  // namespace kormlink
