#include "sim_server.h"

#include <stdlib.h>

#include <filesystem>

#include "platform/files.h"
#include "platform/tcp.h"

namespace kormlink::sim {

std::uint16_t freePort() {
    auto listener = TcpListener::open(0, nullptr);
    return listener ? listener->port() : 0;
}

std::optional<ServerFolder> makeServerFolder(const std::string& parent, const std::string& prefix,
                                             const std::string& channel,
                                             const ExtraKeys& extra) {
    std::string tmpl = parent + "/" + prefix + "-XXXXXX";
    if (!::mkdtemp(tmpl.data())) return std::nullopt;
    ServerFolder folder{tmpl, freePort(), freePort()};
    std::error_code ec;
    std::filesystem::create_directory(folder.dir + "/Kormlink", ec);
    std::filesystem::create_directory(folder.dir + "/Kormlink_c", ec);
    const std::string ini = "[In]\nPort=" + std::to_string(folder.in) + "\n" + extra.in +
                            "[Out]\nPort=" + std::to_string(folder.out) + "\n" + extra.out +
                            "[Opt]\nLifeTime=23:59\n" + extra.opt +
                            "[ComIn]\nCom=0\n[Sock]\nACKDelay=0\n[Client0]\nId=" + channel +
                            "\nQSize=10000000\n";
    if (!replaceFileAtomically(folder.dir + "/Kormlink.ini", ini)) return std::nullopt;
    return folder;
}

}  // namespace kormlink::sim
