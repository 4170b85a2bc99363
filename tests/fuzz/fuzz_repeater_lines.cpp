// Repeater lines: bytes as a repeater sends them over TCP, through the connection on its event
// loop (framing, batches, answers, status lines) into the server's channels and filters.
// Each input is one connection on a socket pair; the input's end closes it, and the run waits
// until the connection has ended. Checked: every queued line passes its channel's
// filters, queues stay within their size, the registry is empty again, and no control byte
// reached a queue or a log (other than the CR LF that ends each log line).

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "core/daily_logs.h"
#include "core/event_line.h"
#include "fuzz_server.h"
#include "fuzz_temp_dir.h"
#include "output/channels.h"
#include "repeater_link/host_list.h"
#include "repeater_link/tcp_echo_thrd.h"

using namespace kormlink;

namespace {

fuzz::FuzzServer& host() {
    static fuzz::FuzzServer* server = [] {
        auto* s = new fuzz::FuzzServer(
            "[In]\nPort=0\nSyncP=1\nIdentifyTime=0\n[Out]\nPort=0\n"
            "[Sock]\nACKDelay=0\nCmdDelay=0\nECnst=5\n"
            "[ComIn]\nCom=0\n" + std::string(fuzz::kChannelSections));
        s->setTraceId(0xA1B2);  // the trace path runs for the usual test Id
        std::filesystem::create_directory(fuzz::tempDir() + "/Kormlink");
        return s;
    }();
    return *server;
}

// What this input added to the event and status logs holds control bytes only in CR LF pairs.
void checkLogs() {
    static std::size_t seen[2] = {};
    for (int i = 0; i < 2; ++i) {
        const DailyLog log = i == 0 ? DailyLog::Event : DailyLog::Status;
        std::ifstream in(fuzz::tempDir() + "/" + dailyLogName(log, 2024, 5, 17), std::ios::binary);
        in.seekg(static_cast<std::streamoff>(seen[i]));
        const std::string text{std::istreambuf_iterator<char>(in), {}};
        seen[i] += text.size();
        for (std::size_t k = 0; k < text.size(); k += text.compare(k, 2, "\r\n") == 0 ? 2 : 1)
            if (text.compare(k, 2, "\r\n") != 0 && isControlByte(text[k])) __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzServer& h = host();
    static std::int32_t nr = 100;
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) __builtin_trap();
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    h.lines().lines.clear();
    TTCPEchoThrd::start(h, UniqueFd(fds[0]), ++nr);

    std::size_t sent = 0;
    bool shut = false;
    h.serveUntil([&] {
        const bool open = fuzz::pump(fds[1], data, size, sent);
        if (!shut && (!open || sent == size)) {
            ::shutdown(fds[1], SHUT_WR);  // the repeater is done: the connection ends
            shut = true;
        }
        return h.runningWorkers() == 0;
    });
    ::close(fds[1]);

    if (h.hostList() && h.hostList()->size() != 0) __builtin_trap();
    h.checkQueues();
    for (std::size_t i = 0; i < h.channels()->size(); ++i)
        for (const QueuedLine& line : h.channels()->at(i).Queue)
            if (hasControlByte(line.text)) __builtin_trap();
    checkLogs();
    h.emptyQueues();
    return 0;
}
