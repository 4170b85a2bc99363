#include "app/console.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "config_image/editor_model.h"
#include "core/event_line.h"
#include "core/main_thread.h"
#include "device/editor_adapter.h"
#include "output/channels.h"
#include "platform/files.h"
#include "repeater_link/host_list.h"
#include "repeater_link/repeater_connection.h"
#include "server/server.h"

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

// A repeater's text reaches the terminal (or the journal) with its control bytes escaped: an
// ESC could drive the terminal, a CR forge a line of its own.
void ConsoleView::ShowInCommandWindow(const std::string& text) {
    m_output.write(ConsoleStream::Out, escapeControlBytes(text) + "\n");
}

void ConsoleView::traceText(TraceDirection direction, const std::string& text) {
    std::string_view line = stripLineEnd(text);
    std::string shown(direction == TraceDirection::Received ? "<- " : "-> ");
    shown.append(escapeControlBytes(line)).push_back('\n');
    m_output.write(ConsoleStream::Out, shown);
}

void ConsoleView::showMessageBox(const std::string& caption, const std::string& text,
                                 std::function<void()> closed) {
    m_output.write(ConsoleStream::Err, caption + ": " + text + "\n");
    if (closed) closed();  // nobody to wait for
}

Console::Result Console::execute(std::string_view line) {
    line = stripLineEnd(line);
    std::string_view rest = line;
    std::string_view command = nextWord(rest);
    if (command.empty()) return Result::Continue;
    if (command == "quit") return Result::Quit;
    if (command == "list") {
        m_output.write(ConsoleStream::Out, listText());
    } else if (command == "cmd") {
        sendCommand(rest);
    } else if (command == "trace") {
        trace(rest);
    } else if (command == "update" || command == "prog" || command == "upee") {
        deviceCommand(command, rest);
    } else {
        complain("unknown command: " + std::string(command) +
                 " (commands: cmd, update, prog, upee, trace, list, quit)");
    }
    return Result::Continue;
}

// A programming request or configuration upload in progress.
struct Console::Request {
    enum class Stage { Download, Query, Upload } stage;
    std::uint32_t id;
    std::string code;
    std::string file;
    std::shared_ptr<ConfigEditor> editor;
    std::shared_ptr<ConfigEditorAdapter> adapter;
    Millis deadline;
};

namespace {
// A request whose connection never takes it (the repeater stays silent) is given up after this.
constexpr Millis kRequestLimitMs = 10 * 60'000;
}  // namespace

RepeaterConnection* Console::connectionFor(std::uint32_t id) {
    tHostList* list = m_server.hostList();
    const HpIdClaim claim = list ? list->findByHpId(id) : HpIdClaim{};
    if (claim.contested())
        say(claim.refusal(id));
    else if (!claim.connection)
        say(hexId(id) + ": No connection");
    return claim.connection;
}

void Console::say(const std::string& text) { m_output.write(ConsoleStream::Out, text + "\n"); }

void Console::complain(const std::string& text) {
    m_output.write(ConsoleStream::Err, text + "\n");
}

void Console::deviceCommand(std::string_view command, std::string_view args) {
    auto id = parseHex(nextWord(args));
    std::string_view code = nextWord(args);
    while (!args.empty() && args.front() == ' ') args.remove_prefix(1);
    const std::string file(args);
    if (!id || code.empty() || file.empty()) {
        complain("usage: " + std::string(command) + " ID CODE FILE (ID in hexadecimal)");
        return;
    }
    RepeaterConnection* connection = connectionFor(*id);
    if (!connection) return;
    if (command == "update") {
        connection->setPendingCmd(std::string(code) + "?upfirm|" + file);
        return;
    }
    // An unreadable file would upload an erased image: refuse before asking anything.
    if (command == "upee" && !readWholeFile(file)) {
        say("File " + file + " not found");
        return;
    }
    auto request = std::make_shared<Request>();
    request->id = *id;
    request->code = std::string(code);
    request->file = file;
    request->editor = std::make_shared<ConfigEditor>();
    request->adapter = std::make_shared<ConfigEditorAdapter>(request->editor);
    request->deadline = steadyClock().now() + kRequestLimitMs;
    request->editor->image().TransferState = kTransferWaiting;
    if (command == "prog") {
        request->stage = Request::Stage::Download;
        connection->setPendingCmd("prog" + request->code, request->adapter);
    } else {
        request->stage = Request::Stage::Query;
        connection->setPendingCmd("prog-", request->adapter);
    }
    m_requests.push_back(request);
}

bool Console::tick() {
    std::erase_if(m_requests, [this](const std::shared_ptr<Request>& r) { return !step(*r); });
    return !m_requests.empty();
}

// Moves a request on; false when it has ended.
bool Console::step(Request& r) {
    const std::uint8_t state = r.editor->image().TransferState.load();
    if (steadyClock().now() > r.deadline) {
        say(hexId(r.id) + ": request given up, the repeater did not answer");
        return false;
    }
    switch (r.stage) {
        case Request::Stage::Download:
            if (state == kTransferWaiting) return true;
            if (state == kTransferFailed) {
                say(hexId(r.id) + ": programming request failed");
                return false;
            }
            r.editor->ShowGeneral();
            if (std::string error; r.editor->saveHexFile(r.file, &error)) {
                say(hexId(r.id) + ": configuration saved to " + r.file);
            } else {
                say(hexId(r.id) + ": cannot save " + r.file + ": " + error);
            }
            return false;
        case Request::Stage::Query: {
            if (state == kTransferWaiting) return true;
            if (state == kTransferFailed) {
                say(hexId(r.id) + ": channel query failed");
                return false;
            }
            // The file's image with the channels the repeater reported.
            r.editor->loadHexFile(r.file);
            r.editor->image().TransferState = kTransferWaiting;
            RepeaterConnection* connection = connectionFor(r.id);
            if (!connection) return false;
            connection->setPendingCmd(r.code + ":upee|" + r.file, r.adapter);
            r.stage = Request::Stage::Upload;
            return true;
        }
        case Request::Stage::Upload:
            return state == kTransferWaiting;  // the upload's own lines report the rest
    }
    return false;
}

void Console::sendCommand(std::string_view args) {
    std::string_view idText = nextWord(args);
    auto id = parseHex(idText);
    if (!id || args.empty()) {
        complain("usage: cmd ID TEXT (ID in hexadecimal)");
        return;
    }
    if (RepeaterConnection* connection = connectionFor(*id))
        connection->setPendingCmd(std::string(args));
}

void Console::trace(std::string_view args) {
    auto id = parseHex(nextWord(args));
    if (!id) {
        complain("usage: trace ID (ID in hexadecimal, 0 ends tracing)");
        return;
    }
    m_server.setTraceId(*id);
}

std::string Console::listText() {
    std::string text = "HpId\tIp\tMCnt\tLastMessage\tNr\n";
    if (const tHostList* list = m_server.hostList()) {
        for (const RepeaterConnection* c : list->entries()) {
            // "!" marks an Id claimed from more than one address, as the window's list does.
            text += hexId(c->HpId) + (list->contestedBy(c->HpId) ? " !" : "") + "\t" + c->Ip +
                    "\t" + std::to_string(c->MCnt.load()) + "\t" + c->EventLine + "\t" +
                    std::to_string(c->Nr) + "\n";
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
    : m_fd(fd),
      m_mainThread(mainThread),
      m_onLine(std::move(onLine)),
      m_thread([this] { run(); }) {}

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
                    consolePrint(ConsoleStream::Err,
                                 "Kormlink: console input dropped (too many lines)");
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
