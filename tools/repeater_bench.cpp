// Measures how fast the server takes events from repeaters: each simulated repeater sends plain
// event lines and waits for each acknowledgement, and numbered batches of 32 lines; the program
// prints events per second. The server runs in this process on a loopback port, with its logs
// in a temporary folder.
//
//   repeater_bench [repeaters=4] [events per repeater=5000]

#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "core/main_thread.h"
#include "core/operator_view.h"
#include "core/server.h"
#include "platform/files.h"
#include "platform/tcp.h"

using namespace kormlink;

namespace {

std::string eventLine(int repeater, int number) {
    std::string line(number > 0 ? 74 : 72, '-');
    line.replace(0, 4, "COM1");
    if (number > 0) {
        line.replace(12, 2, "#4");
        char num[8];
        std::snprintf(num, sizeof num, "%04X", number & 0xFFFF);
        line.replace(63, 4, num);
    }
    line.replace(16, 19, "2026/12/06 12:00:00");
    line.replace(40, 4, "1231");
    char id[8];
    std::snprintf(id, sizeof id, "%06X", 0x100 + repeater);
    line[line.size() - 7] = ' ';
    line.replace(line.size() - 6, 6, id);
    return line;
}

double seconds(Millis from) { return static_cast<double>(steadyClock().now() - from) / 1000.0; }

}  // namespace

int main(int argc, char** argv) {
    const int repeaters = argc > 1 ? std::atoi(argv[1]) : 4;
    const int events = argc > 2 ? std::atoi(argv[2]) : 5000;

    char tmpl[] = "/tmp/kormlink-bench-XXXXXX";
    std::string dir = ::mkdtemp(tmpl);
    ::mkdir((dir + "/Kormlink").c_str(), 0755);
    ::mkdir((dir + "/Kormlink_c").c_str(), 0755);
    replaceFileAtomically(dir + "/Kormlink.ini", "[In]\nPort=0\n[ComIn]\nCom=0\n[Sock]\nACKDelay=0\n");

    MainThread mainThread;
    NullOperatorView view;
    ServerOptions options;
    options.dataDir = dir;
    Server server(mainThread, view, options);
    std::atomic<long> routed{0};
    server.setEventTap([&](const std::string&, EventSource) { ++routed; });
    server.LoadConfiguration();
    mainThread.runUntil([&] { return server.inputPort() != 0; }, 3000);
    const std::uint16_t port = server.inputPort();

    std::atomic<int> finished{0};
    auto runPhase = [&](const char* name, bool batches) {
        finished = 0;
        const long before = routed;
        const Millis start = steadyClock().now();
        std::vector<std::thread> clients;
        for (int r = 0; r < repeaters; ++r) {
            clients.emplace_back([&, r] {
                auto socket = TcpSocket::connectTo("127.0.0.1", port, 3000);
                std::string line;
                if (!socket || socket->recvLine(line, 3000) != RecvStatus::Line ||
                    socket->recvLine(line, 3000) != RecvStatus::Line) {
                    ++finished;
                    return;
                }
                if (!batches) {
                    for (int i = 0; i < events; ++i) {
                        socket->sendAll(eventLine(r, 0) + "\r\n");
                        if (socket->recvLine(line, 5000) != RecvStatus::Line) break;
                    }
                } else {
                    for (int i = 0; i < events; i += 32) {
                        std::string batch;
                        for (int n = 1; n <= 32; ++n) batch += eventLine(r, n) + "\r\n";
                        socket->sendAll(batch + "\r\n");
                        if (socket->recvLine(line, 5000) != RecvStatus::Line) break;
                    }
                }
                ++finished;
            });
        }
        mainThread.runUntil([&] { return finished == repeaters; }, 600'000);
        for (auto& t : clients) t.join();
        const double secs = seconds(start);
        const long count = routed - before;
        std::printf("%-28s %2d repeaters  %8ld events  %6.2f s  %9.0f events/s\n", name,
                    repeaters, count, secs, static_cast<double>(count) / secs);
    };
    runPhase("plain events, each acked", false);
    runPhase("batches of 32", true);

    server.StopServer();
    std::string cleanup = "rm -rf '" + dir + "'";
    return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
