#include "output/out_list_thrd.h"

#include "output/sout_thrd.h"

namespace kormlink {

TOListThrd::TOListThrd(ServerHost& host, std::int32_t port)
    : m_acceptor(port, "monitoring clients",
                 [&host](UniqueFd socket) { TSOutThrd::start(host, std::move(socket)); }) {}

}  // namespace kormlink
