#include "platform/http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <poll.h>

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <string_view>

namespace kormlink {

namespace {

MHD_Result queue(MHD_Connection* connection, const HttpServer::Response& r) {
    MHD_Response* response = MHD_create_response_from_buffer(
        r.body.size(), const_cast<char*>(r.body.data()), MHD_RESPMEM_MUST_COPY);
    if (!response) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, r.contentType.c_str());
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    // The page needs nothing but its own inline style: no scripts, no frames, no requests.
    MHD_add_response_header(response, "Content-Security-Policy",
                            "default-src 'none'; style-src 'unsafe-inline'; frame-ancestors 'none'");
    if (r.status == MHD_HTTP_METHOD_NOT_ALLOWED)
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(r.status), response);
    MHD_destroy_response(response);
    return queued;
}

// A page reached under another name than this machine's is a web page of someone else's
// (DNS rebinding) reading it through the operator's browser: only addresses, "localhost" and
// this machine's own name are served.
bool servedHost(std::string_view host) {
    if (!host.empty() && host.front() == '[') return host.find(']') != std::string_view::npos;
    host = host.substr(0, host.find(':'));
    if (host.empty()) return false;
    const auto lower = [](std::string_view text) {
        std::string out(text);
        for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return out;
    };
    const std::string name = lower(host);
    if (name == "localhost" || name.find_first_not_of("0123456789.") == std::string::npos)
        return true;
    char own[256] = {};
    if (::gethostname(own, sizeof own - 1) != 0) return false;
    const std::string mine = lower(own);
    const std::string shortMine = mine.substr(0, mine.find('.'));
    return name == mine || name == shortMine || name.rfind(shortMine + ".", 0) == 0;
}

// The client closed its side (it may still read, but an HTTP client that stops sending before
// its answer has gone), or the connection broke. Asked without waiting.
bool clientGone(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (!info) return true;
    pollfd p{info->connect_fd, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

MHD_Result onRequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                     const char*, const char*, size_t* uploadSize, void** state) {
    auto& server = *static_cast<const HttpServer*>(cls);
    const bool read = std::strcmp(method, MHD_HTTP_METHOD_GET) == 0 ||
                      std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
    if (!read) {
        // Nothing can be changed through HTTP: refused before any body is read.
        *uploadSize = 0;
        return queue(connection, {MHD_HTTP_METHOD_NOT_ALLOWED, "text/plain; charset=utf-8",
                                  "Only GET and HEAD are served.\n"});
    }
    // The first call only announces the request; the answer goes with the second.
    static int announced;
    if (*state == nullptr) {
        *state = &announced;
        return MHD_YES;
    }
    if (*uploadSize != 0) {
        *uploadSize = 0;  // a GET with a body: the body is ignored
        return MHD_YES;
    }
    const char* host = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Host");
    if (host && !servedHost(host))
        return queue(connection, {MHD_HTTP_FORBIDDEN, "text/plain; charset=utf-8",
                                  "Host not served: use this machine's address or name.\n"});
    const HttpServer::Request request{url ? url : "/",
                                      [connection] { return clientGone(connection); }};
    HttpServer::Response response;
    try {
        response = server.handle(request);
    } catch (const std::exception& e) {
        response = {MHD_HTTP_INTERNAL_SERVER_ERROR, "text/plain; charset=utf-8",
                    std::string("Internal error: ") + e.what() + "\n"};
    }
    // The handler may have waited: a client that left meanwhile is not sent the answer, and its
    // connection (with any requests it had sent ahead) is closed now.
    if (clientGone(connection)) return MHD_NO;
    return queue(connection, response);
}

}  // namespace

std::unique_ptr<HttpServer> HttpServer::start(const std::string& address, std::uint16_t port,
                                              Handler handler, std::string* error) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
        if (error) *error = "\"" + address + "\" is no IPv4 address";
        return nullptr;
    }
    std::unique_ptr<HttpServer> server(new HttpServer);
    server->m_handler = std::move(handler);
    errno = 0;
    server->m_daemon = MHD_start_daemon(
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO, port, nullptr, nullptr, &onRequest,
        server.get(), MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&addr),
        // The variadic options are read with the types libmicrohttpd documents: unsigned int for
        // the limits and the time-out, size_t for the memory.
        MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned int>(kMaxConnections),
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<unsigned int>(kMaxPerAddress),
        MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned int>(kIdleTimeoutS),
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(kConnectionMemory),
        MHD_OPTION_END);
    if (!server->m_daemon) {
        if (error) *error = errno ? std::strerror(errno) : "the HTTP server did not start";
        return nullptr;
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(server->m_daemon, MHD_DAEMON_INFO_BIND_PORT);
    server->m_port = info ? info->port : port;
    return server;
}

unsigned HttpServer::openConnections() const {
    const MHD_DaemonInfo* info = MHD_get_daemon_info(m_daemon, MHD_DAEMON_INFO_CURRENT_CONNECTIONS);
    return info ? info->num_connections : 0;
}

HttpServer::~HttpServer() {
    if (m_daemon) MHD_stop_daemon(m_daemon);
}

}  // namespace kormlink
