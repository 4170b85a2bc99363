// The serial repeater link's line reader: bytes as the repeater sends them on the serial port
// (lines ended by CR, LF of CR LF trimmed, long streams without CR dropped), through the link's
// own thread into the channels. The port is the slave side of a pseudo-terminal made once; a
// link is started for each input and stopped once a closing line the target appends has been
// shown in the command window, so every byte of the input was read.

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_server.h"
#include "repeater_link/com_thrd.h"
#include "repeater_link/host_list.h"

using namespace kormlink;

namespace {

constexpr const char* kBase =
    "[In]\nPort=0\n[Out]\nPort=0\n[Sock]\nCmdDelay=0\n";
constexpr std::string_view kClosing = "\rKLFUZZEND\r";
const std::string kClosingShown = "7777:KLFUZZEND";

int g_master = -1;

fuzz::FuzzServer& host() {
    static fuzz::FuzzServer* server = [] {
        // Loaded without a port, so the server starts no link of its own.
        auto* s = new fuzz::FuzzServer(std::string(kBase) + "[ComIn]\nCom=0\n" +
                                       fuzz::kChannelSections);
        int slave = -1;
        char name[128] = {};
        if (::openpty(&g_master, &slave, name, nullptr, nullptr) != 0) __builtin_trap();
        ::close(slave);  // the link opens it by its name
        ::fcntl(g_master, F_SETFL, O_NONBLOCK);
        ::fcntl(g_master, F_SETFD, FD_CLOEXEC);
        s->setIni(std::string(kBase) + "[ComIn]\nCom=9\nSyncP=1\n[Ports]\nCOM9=" + name + "\n" +
                  fuzz::kChannelSections);
        s->setTraceId(TComThrd::kSerialHpId);
        return s;
    }();
    return *server;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzServer& h = host();
    h.lines().lines.clear();
    if (!TComThrd::Create(h, 2)) __builtin_trap();

    std::size_t sent = 0, closingSent = 0;
    const auto closingShown = [&lines = h.lines().lines] {
        return std::find(lines.begin(), lines.end(), kClosingShown) != lines.end();
    };
    auto closing = reinterpret_cast<const std::uint8_t*>(kClosing.data());
    Millis lastClosing = 0;
    h.serveUntil([&] {
        fuzz::pump(g_master, data, size, sent);
        if (sent < size) return false;
        // A stream of more than the cap without CR is dropped with whatever follows it in
        // the port's buffer, the closing line too: it is sent again after a cycle.
        const Millis now = steadyClock().now();
        if (closingSent == kClosing.size() && !closingShown() &&
            now - lastClosing > TComThrd::kCycleMs * 3)
            closingSent = 0;
        if (closingSent == 0) lastClosing = now;
        fuzz::pump(g_master, closing, kClosing.size(), closingSent);
        return closingShown();
    });

    for (RepeaterConnection* c : h.hostList()->entries())
        if (c->Nr == 2) c->requestStop();
    h.serveUntil([&] {
        fuzz::pump(g_master, data, size, sent);  // all sent: only drains what the link writes
        return h.runningWorkers() == 0;
    });
    if (h.hostList()->size() != 0) __builtin_trap();
    h.checkQueues();
    h.emptyQueues();
    return 0;
}
