#pragma once

// A listening thread: binds 0.0.0.0:port, waits for connections in steps of one second and
// hands each accepted socket to a callback, until stopped. A port that cannot be bound is
// reported once on stderr; the thread then only waits for its stop.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "platform/tcp.h"

namespace kormlink {

class TcpAcceptor {
public:
    using OnAccept = std::function<void(UniqueFd socket)>;

    // Starts at once. `what` names the listener in reports ("repeaters", "monitoring clients").
    // onAccept runs on the acceptor's thread; an exception from it is reported and the
    // acceptor goes on.
    TcpAcceptor(std::int32_t port, std::string what, OnAccept onAccept);
    ~TcpAcceptor();
    TcpAcceptor(const TcpAcceptor&) = delete;
    TcpAcceptor& operator=(const TcpAcceptor&) = delete;

    // Requests termination and waits for the thread to end. Idempotent.
    void stop();
    // The bound port; 0 before binding and when binding failed.
    std::uint16_t boundPort() const { return m_boundPort.load(); }

private:
    void run();

    const std::int32_t m_port;
    const std::string m_what;
    OnAccept m_onAccept;
    Waker m_stop;
    std::atomic<std::uint16_t> m_boundPort{0};
    std::thread m_thread;
};

}  // namespace kormlink
