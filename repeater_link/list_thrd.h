#pragma once

// TListThrd: the input listener. Accepts repeater connections on the input port and starts a
// TTCPEchoThrd for each, numbering them 0, 1, 2, ... (Nr) from its own start.

#include <cstdint>

#include "platform/tcp_acceptor.h"

namespace kormlink {

class ServerHost;

class TListThrd {
public:
    // Starts listening on port at once (0 picks a free port, for tests).
    // With a limit, connections beyond it are closed at once (see TcpAcceptor).
    TListThrd(ServerHost& host, std::int32_t port, AcceptLimit limit = {});

    // Requests termination and waits for the thread to end. Idempotent.
    void stop() { m_acceptor.stop(); }
    // The bound port; 0 before binding and when binding failed.
    std::uint16_t boundPort() const { return m_acceptor.boundPort(); }
    std::uint64_t refused() const { return m_acceptor.refused(); }
    std::uint64_t notAllowed() const { return m_acceptor.notAllowed(); }
    std::uint64_t refusedPerAddress() const { return m_acceptor.refusedPerAddress(); }

private:
    std::int32_t m_next = 0;  // Nr of the next connection; acceptor thread only
    TcpAcceptor m_acceptor;
};

}  // namespace kormlink
