#pragma once

// The headless console: the operator's commands on standard input, one per line, and the
// command window's and trace window's output on standard output.
//
//   cmd ID TEXT              hand TEXT (the rest of the line, verbatim) to the repeater ID (hex)
//   update ID CODE FILE      firmware update: version check, then FILE after the prompt
//   prog ID CODE FILE        read the repeater's configuration and save it to FILE
//   upee ID CODE FILE        ask the repeater's channels, then upload FILE's configuration
//   trace ID                 trace that repeater's traffic ("<- " received, "-> " sent); 0 ends
//   list                     the connection rows and the channel rows
//   quit                     orderly stop
//
// Message boxes go to standard error as "caption: text". Everything printed goes through a
// ConsoleOutput, so a terminal that does not take it never holds up the main thread.

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/operator_view.h"
#include "platform/console_output.h"
#include "platform/tcp.h"

namespace kormlink {

class MainThread;
class RepeaterConnection;
class Server;

// Prints what the windows would show. Main thread.
class ConsoleView final : public OperatorView {
public:
    explicit ConsoleView(ConsoleOutput& output) : m_output(output) {}
    void ShowInCommandWindow(const std::string& text) override;
    void traceText(TraceDirection direction, const std::string& text) override;
    void showMessageBox(const std::string& caption, const std::string& text,
                        std::function<void()> closed) override;
    void connectionCountChanged(std::size_t) override {}

private:
    ConsoleOutput& m_output;
};

class Console {
public:
    enum class Result { Continue, Quit };

    Console(Server& server, ConsoleOutput& output) : m_server(server), m_output(output) {}

    // Carries out one command line. Main thread.
    Result execute(std::string_view line);

    // The rows of both lists as the main window shows them. Main thread.
    std::string listText();

    // Follows the programming requests in progress (prog, upee); call from the main loop.
    // True while any is in progress.
    bool tick();

private:
    struct Request;

    void sendCommand(std::string_view args);
    void trace(std::string_view args);
    void deviceCommand(std::string_view command, std::string_view args);
    bool step(Request& request);
    RepeaterConnection* connectionFor(std::uint32_t id);
    void say(const std::string& text);
    void complain(const std::string& text);

    std::vector<std::shared_ptr<Request>> m_requests;

    Server& m_server;
    ConsoleOutput& m_output;
};

// Reads lines from a file descriptor on its own thread and hands each to the main thread.
// End of input ends the reading, not the server. Lines are capped at 64 KiB, and at most
// kMaxBacklog lines wait for the main thread; further lines are dropped with a notice.
class LineReaderThread {
public:
    static constexpr int kMaxBacklog = 1000;

    LineReaderThread(int fd, MainThread& mainThread, std::function<void(std::string)> onLine);
    ~LineReaderThread();
    void stop();

private:
    void run();

    int m_fd;
    MainThread& m_mainThread;
    std::function<void(std::string)> m_onLine;
    Waker m_stop;
    // Shared with the posted closures, which may run after this object is gone.
    std::shared_ptr<std::atomic<int>> m_backlog = std::make_shared<std::atomic<int>>(0);
    std::thread m_thread;
};

}  // namespace kormlink
