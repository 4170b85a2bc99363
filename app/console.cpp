#include "app/console.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "core/main_thread.h"
#include "core/server.h"
#include "output/channels.h"
#include "repeater_link/event_line.h"
#include "repeater_link/host_list.h"
#include "repeater_link/repeater_connection.h"

namespace kormlink {
namespace {

std::string_view stripLineEnd(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

// Splits off the first blank-separated word.
std::string_view nextWord(std::string_view& rest) {
    size_t start = rest.find_first_not_of(' ');
    if (start == std::string_view::npos) {
        rest = {};
        return {};
    }
    rest.remove_prefix(start);
    size_t end = rest.find(' ');
    std::string_view word = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    return word;
}

}  // namespace

void ConsoleView::ShowInCommandWindow(const std::string& text) {
    std::fprintf(m_out, "%s\n", text.c_str());
    std::fflush(m_out);
}

void ConsoleView::traceText(TraceDirection direction, const std::string& text) {
    std::string_view line = stripLineEnd(text);
    std::fprintf(m_out, "%s %.*s\n", direction == TraceDirection::Received ? "<-" : "->",
                 static_cast<int>(line.size()), line.data());
    std::fflush(m_out);
}

void ConsoleView::showMessageBox(const std::string& caption, const std::string& text,
                                 std::function<void()> closed) {
    std::fprintf(m_err, "%s: %s\n", caption.c_str(), text.c_str());
    std::fflush(m_err);
    if (closed) closed();  // nobody to wait for
}

Console::Result Console::execute(std::string_view line) {
    line = stripLineEnd(line);
    std::string_view rest = line;
    std::string_view command = nextWord(rest);
    if (command.empty()) return Result::Continue;
    if (command == "quit") return Result::Quit;
    if (command == "list") {
        std::fputs(listText().c_str(), m_out);
    } else if (command == "cmd") {
        sendCommand(rest);
    } else if (command == "trace") {
        trace(rest);
    } else if (command == "update" || command == "prog" || command == "upee") {
        std::fprintf(m_err, "%.*s: not supported by this version\n",
                     static_cast<int>(command.size()), command.data());
    } else {
        std::fprintf(m_err, "unknown command: %.*s (commands: cmd, trace, list, quit)\n",
                     static_cast<int>(command.size()), command.data());
    }
    std::fflush(m_out);
    std::fflush(m_err);
    return Result::Continue;
}

void Console::sendCommand(std::string_view args) {
    std::string_view idText = nextWord(args);
    auto id = parseHex(idText);
    if (!id || args.empty()) {
        std::fprintf(m_err, "usage: cmd ID TEXT (ID in hexadecimal)\n");
        return;
    }
    tHostList* list = m_server.hostList();
    RepeaterConnection* connection = list ? list->findByHpId(*id) : nullptr;
    if (!connection) {
        std::fprintf(m_out, "%X: No connection\n", *id);
        return;
    }
    connection->setPendingCmd(std::string(args));
}

void Console::trace(std::string_view args) {
    auto id = parseHex(nextWord(args));
    if (!id) {
        std::fprintf(m_err, "usage: trace ID (ID in hexadecimal, 0 ends tracing)\n");
        return;
    }
    m_server.setTraceId(*id);
}

std::string Console::listText() {
    std::string text = "HpId\tIp\tMCnt\tLastMessage\tNr\n";
    if (const tHostList* list = m_server.hostList()) {
        for (const RepeaterConnection* c : list->entries()) {
            text += hexId(c->HpId) + "\t" + c->Ip + "\t" + std::to_string(c->MCnt.load()) + "\t" +
                    c->EventLine + "\t" + std::to_string(c->Nr) + "\n";
        }
    }
    text += "Id\tQueue\tConnected\n";
    if (const tOList* channels = m_server.channels()) {
        for (std::size_t i = 0; i < channels->size(); ++i) {
            const tOItem& c = channels->at(i);
            text += c.Id + "\t" + std::to_string(c.Queue.size()) + "\t" +
                    (c.Connected.load() != 0 ? "yes" : "no") + "\n";
        }
    }
    return text;
}

LineReaderThread::LineReaderThread(int fd, MainThread& mainThread,
                                   std::function<void(std::string)> onLine)
    : m_fd(fd), m_mainThread(mainThread), m_onLine(std::move(onLine)), m_thread([this] { run(); }) {}

LineReaderThread::~LineReaderThread() { stop(); }

void LineReaderThread::stop() {
    m_stop.wake();
    if (m_thread.joinable()) m_thread.join();
}

void LineReaderThread::run() {
    constexpr size_t kMaxLine = 64 * 1024;
    std::string buffer;
    bool discarding = false;  // inside a line that exceeded the cap
    for (;;) {
        pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_stop.fd(), POLLIN, 0}};
        int n = ::poll(fds, 2, 500);
        if (n < 0 && errno != EINTR) return;
        if (fds[1].revents) return;
        if (n <= 0 || !fds[0].revents) continue;
        char chunk[4096];
        ssize_t got = ::read(m_fd, chunk, sizeof chunk);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got <= 0) return;  // end of input: the server goes on without a console
        for (ssize_t i = 0; i < got; ++i) {
            if (chunk[i] == '\n') {
                if (discarding) {
                    // the over-long line is dropped whole
                } else if (m_backlog->load() >= kMaxBacklog) {
                    std::fprintf(stderr, "Kormlink: console input dropped (too many lines)\n");
                } else {
                    ++*m_backlog;
                    m_mainThread.post([onLine = m_onLine, backlog = m_backlog, line = buffer] {
                        --*backlog;
                        onLine(line);
                    });
                }
                buffer.clear();
                discarding = false;
            } else if (!discarding) {
                buffer.push_back(chunk[i]);
                if (buffer.size() > kMaxLine) {
                    buffer.clear();
                    discarding = true;
                }
            }
        }
    }
}

}  // namespace kormlink
