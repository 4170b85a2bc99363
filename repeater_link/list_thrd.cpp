#include "repeater_link/list_thrd.h"

#include "repeater_link/tcp_echo_thrd.h"

namespace kormlink {

TListThrd::TListThrd(ServerHost& host, std::int32_t port, AcceptLimit limit)
    : m_acceptor(
          port, "repeaters",
          [this, &host](UniqueFd socket, AddressSlot slot) {
              TTCPEchoThrd::start(host, std::move(socket), m_next, std::move(slot));
              ++m_next;
          },
          std::move(limit)) {}

}  // namespace kormlink
