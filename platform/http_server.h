#pragma once

// A small read-only HTTP server on a thread of its own (libmicrohttpd does the HTTP), for the
// status page and the metrics. Only GET and HEAD are served; requests are few and small, so
// every bound is tight: few connections at once, few from one address, a small memory allowance
// per connection, and a short idle time-out: a client that sends nothing, stops in the middle of
// its request or stops reading the answer is dropped once it has been idle that long. A request
// whose client has gone by the time its answer is ready gets none: the connection is closed.
// A request whose Host is a name other than this machine's is refused (403), and every answer
// forbids scripts, frames and outside requests (Content-Security-Policy).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct MHD_Daemon;

namespace kormlink {

class HttpServer {
public:
    struct Response {
        int status = 200;
        std::string contentType = "text/plain; charset=utf-8";
        std::string body;
    };
    struct Request {
        std::string path;
        // True once the client has closed its side or the connection broke: an answer would
        // reach nobody. A handler that waited may ask before it does more work.
        std::function<bool()> clientGone;
    };
    // Called on the server's thread for a GET (or HEAD) request. The server has one thread: a
    // handler's wait holds up every other connection, so it must be short.
    using Handler = std::function<Response(const Request& request)>;

    static constexpr unsigned kMaxConnections = 32;
    static constexpr unsigned kMaxPerAddress = 8;
    static constexpr unsigned kIdleTimeoutS = 10;
    static constexpr std::size_t kConnectionMemory = 32 * 1024;  // request line, headers, buffers

    // Listens on address (dotted IPv4) and port (0: any free port); nullptr and *error when it
    // cannot.
    static std::unique_ptr<HttpServer> start(const std::string& address, std::uint16_t port,
                                             Handler handler, std::string* error);
    // Stops listening and waits for the server's thread; a request being handled is finished
    // first, so the handler's own waits must be bounded.
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    std::uint16_t port() const { return m_port; }
    // The connections open just now (whatever their state); for tests and diagnostics.
    unsigned openConnections() const;
    // The server's thread: the handler's answer to a request.
    Response handle(const Request& request) const { return m_handler(request); }

private:
    HttpServer() = default;
    Handler m_handler;
    MHD_Daemon* m_daemon = nullptr;
    std::uint16_t m_port = 0;
};

}  // namespace kormlink
