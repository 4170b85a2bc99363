#include "repeater_link/list_thrd.h"

#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <exception>

#include "repeater_link/link_host.h"
#include "repeater_link/tcp_echo_thrd.h"

namespace kormlink {
namespace {
constexpr Millis kAcceptWaitMs = 1000;
// After a failed accept (for example no file descriptors left) the listener pauses instead of
// spinning on the still-pending connection.
constexpr Millis kAcceptFailurePauseMs = 100;
}  // namespace

TListThrd::TListThrd(RepeaterLinkHost& host, std::int32_t port)
    : m_host(host), m_port(port), m_thread([this] { run(); }) {}

TListThrd::~TListThrd() { stop(); }

void TListThrd::stop() {
    m_stop.wake();
    if (m_thread.joinable()) m_thread.join();
}

void TListThrd::run() {
    std::optional<TcpListener> listener;
    std::string error;
    if (m_port < 0 || m_port > 65535) {
        error = "not a port number";
    } else {
        listener = TcpListener::open(static_cast<std::uint16_t>(m_port), &error);
    }
    if (listener) {
        m_boundPort = listener->port();
        std::fprintf(stderr, "Kormlink: listening for repeaters on port %u\n", listener->port());
    } else {
        std::fprintf(stderr, "Kormlink: cannot listen for repeaters on port %d (%s)\n", m_port,
                     error.c_str());
    }
    m_started = true;

    std::int32_t n = 0;
    while (!m_stop.isSet()) {
        if (!listener) {
            // Nothing to accept: wait for the stop request.
            pollfd p{m_stop.fd(), POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(kAcceptWaitMs));
            continue;
        }
        UniqueFd fd = listener->acceptFor(kAcceptWaitMs, &m_stop);
        if (m_stop.isSet()) break;
        if (!fd) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                sleepMs(kAcceptFailurePauseMs);
            continue;
        }
        try {
            TTCPEchoThrd::start(m_host, std::move(fd), n);
            ++n;
        } catch (const std::exception& e) {
            // No thread could be started: the connection is closed and the listener goes on.
            std::fprintf(stderr, "Kormlink: cannot serve a repeater connection (%s)\n", e.what());
            sleepMs(kAcceptFailurePauseMs);
        }
    }
}

}  // namespace kormlink
