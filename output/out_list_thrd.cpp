#include "output/out_list_thrd.h"

#include "output/sout_thrd.h"

namespace kormlink {

TOListThrd::TOListThrd(ServerHost& host, std::int32_t port, AcceptLimit limit)
    : m_acceptor(
          port, "monitoring clients",
          [&host](UniqueFd socket, AddressSlot slot) {
              TSOutThrd::start(host, std::move(socket), std::move(slot));
          },
          std::move(limit)) {}

}  // namespace kormlink
