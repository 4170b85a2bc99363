// Measures how fast one promptly answering monitoring client drains a full queue: the channel
// is filled with distinct event lines, then a client on loopback takes them one by one,
// answering each at once. Prints lines per second. The server runs in this process.
//
//   output_bench [lines=20000]

#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "core/main_thread.h"
#include "core/operator_view.h"
#include "core/server.h"
#include "output/channels.h"
#include "platform/files.h"
#include "platform/tcp.h"
#include "core/event_line.h"

using namespace kormlink;

int main(int argc, char** argv) {
    const int lines = argc > 1 ? std::atoi(argv[1]) : 20000;

    char tmpl[] = "/tmp/kormlink-bench-XXXXXX";
    std::string dir = ::mkdtemp(tmpl);
    ::mkdir((dir + "/Kormlink_c").c_str(), 0755);
    replaceFileAtomically(dir + "/Kormlink.ini", "[In]\nPort=0\n[ComIn]\nCom=0\n[Out]\nPort=0\n[Client0]\nId=A\nQSize=" +
                                                     std::to_string(lines) + "\n");
    MainThread mainThread;
    NullOperatorView view;
    ServerOptions options;
    options.dataDir = dir;
    Server server(mainThread, view, options);
    server.LoadConfiguration();

    const std::string stamp = formatTimeStamp(localNow());
    for (int i = 0; i < lines; ++i) {
        std::string line(72, '-');
        line.replace(0, 4, "COM1");
        line.replace(16, 19, stamp);
        char fields[32];
        std::snprintf(fields, sizeof fields, "%03X1--%016d", i % 4096, i);
        line.replace(40, 22, fields);
        line.replace(65, 7, " 00A1B2");
        server.RouteEvent(line, EventSource::Tcp);
    }
    std::printf("queued %zu lines\n", server.channels()->at(0).Queue.size());
    mainThread.runUntil([&] { return server.outputPort() != 0; }, 3000);

    std::atomic<bool> done{false};
    long received = 0;
    Millis start = 0, end = 0;
    std::thread client([&] {
        auto socket = TcpSocket::connectTo("127.0.0.1", server.outputPort(), 3000);
        std::string line;
        if (socket && socket->recvLine(line, 3000) == RecvStatus::Line) {
            socket->sendAll("A\r\n");
            start = steadyClock().now();
            while (received < lines && socket->recvLine(line, 5000) == RecvStatus::Line) {
                ++received;
                socket->sendAll("ok\r\n");
            }
            end = steadyClock().now();
        }
        done = true;
    });
    mainThread.runUntil([&] { return done.load(); }, 600'000);
    client.join();
    const double secs = static_cast<double>(end - start) / 1000.0;
    std::printf("one client drained %ld lines in %.2f s: %.0f lines/s\n", received, secs,
                secs > 0 ? static_cast<double>(received) / secs : 0.0);
    mainThread.runUntil([&] { return server.channels()->at(0).Queue.empty(); }, 5000);
    server.StopServer();
    std::string cleanup = "rm -rf '" + dir + "'";
    return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
