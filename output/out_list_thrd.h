#pragma once

// TOListThrd: the output listener. Accepts monitoring clients on the output port and starts a
// TSOutThrd for each. It runs only while at least one channel exists.

#include <cstdint>

#include "platform/tcp_acceptor.h"

namespace kormlink {

class ServerHost;

class TOListThrd {
public:
    // With a limit, clients beyond it are closed at once (see TcpAcceptor).
    TOListThrd(ServerHost& host, std::int32_t port, AcceptLimit limit = {});
    void stop() { m_acceptor.stop(); }
    std::uint16_t boundPort() const { return m_acceptor.boundPort(); }
    std::uint64_t refused() const { return m_acceptor.refused(); }
    std::uint64_t refusedPerAddress() const { return m_acceptor.refusedPerAddress(); }

private:
    TcpAcceptor m_acceptor;
};

}  // namespace kormlink
