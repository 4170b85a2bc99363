// The output client conversation: bytes as a monitoring client sends them (its channel Id,
// then one answer per line it is given), over a socket pair, through the client's own thread.
// Before each input a few lines are queued, one of them expired, so that the client has lines
// to answer. The input's end closes the connection; a client that names no channel is held
// by the server and is stopped once it is held, as the server's stop would.

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_server.h"
#include "output/channels.h"
#include "output/sout_thrd.h"

using namespace kormlink;

namespace {

fuzz::FuzzServer& host() {
    static fuzz::FuzzServer* server = new fuzz::FuzzServer(
        std::string("[In]\nPort=0\n[Out]\nPort=0\nSyncP=1\n[Opt]\nLifeTime=4:00\n[ComIn]\nCom=0\n") +
        fuzz::kChannelSections);
    return *server;
}

// Systems 1, 2 and 5; the transmitter and the kind digit from column 40.
void queueLines(fuzz::FuzzServer& h) {
    std::string lines[] = {
        "COM1------------2024/05/17 12:20:00---1-1231--0000000000000000--- 01A1B2",
        "COM2------------2024/05/17 12:20:00---1-1501--0000000000000000--- 01A1B2",
        "COM1------------2024/05/17 03:00:00---1-1240--0000000000000000--- 01A1B2",
        "COM5------------2024/05/17 12:20:00---1-ABC0--0000000000000000--- 01A1B2"};
    for (std::string& line : lines) h.RouteEvent(line, EventSource::Serial);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzServer& h = host();
    queueLines(h);

    // Whether the server will hold this client: its first line names no channel.
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::size_t end = text.find("\r\n");
    const bool held = end == std::string_view::npos || end == 0 ||
                      !h.channels()->find(text.substr(0, end));

    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) __builtin_trap();
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    const int attachesBefore = h.clientListCalls();
    TSOutThrd::start(h, UniqueFd(fds[0]));

    std::size_t sent = 0;
    bool shut = false, stopped = false;
    h.serveUntil([&] {
        const bool open = fuzz::pump(fds[1], data, size, sent);
        if (!shut && (!open || sent == size)) {
            ::shutdown(fds[1], SHUT_WR);
            shut = true;
        }
        // The attach step has looked at the client list: a held client now waits its time.
        if (held && !stopped && h.clientListCalls() > attachesBefore) {
            for (TSOutThrd* client : h.outputClients()) client->requestStop();
            stopped = true;
        }
        return h.runningWorkers() == 0;
    });
    ::close(fds[1]);

    if (!h.outputClients().empty()) __builtin_trap();
    h.checkQueues();
    h.emptyQueues();
    return 0;
}
