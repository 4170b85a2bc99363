#pragma once

// A small read-only HTTP server on a thread of its own (libmicrohttpd does the HTTP), for the
// status page and the metrics. Only GET and HEAD are served; requests are few and small, so
// every bound is tight: few connections at once, a short idle time-out, a small memory
// allowance per connection. A request whose Host is a name other than this machine's is refused
// (403), and every answer forbids scripts, frames and outside requests (Content-Security-Policy).

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
    // Called on the server's thread with the path of a GET (or HEAD) request.
    using Handler = std::function<Response(const std::string& path)>;

    static constexpr unsigned kMaxConnections = 32;
    static constexpr unsigned kMaxPerAddress = 8;
    static constexpr unsigned kIdleTimeoutS = 10;

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
    // The server's thread: the handler's answer to a request for path.
    Response handle(const std::string& path) const { return m_handler(path); }

private:
    HttpServer() = default;
    Handler m_handler;
    MHD_Daemon* m_daemon = nullptr;
    std::uint16_t m_port = 0;
};

}  // namespace kormlink
