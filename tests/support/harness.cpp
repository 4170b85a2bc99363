#include "support/harness.h"

#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include <gtest/gtest.h>

#include "platform/files.h"
#include "core/daily_logs.h"
#include "core/event_line.h"
#include "output/channels.h"
#include "repeater_link/host_list.h"
#include "repeater_link/repeater_connection.h"
#include "tools/sim_line.h"

namespace kormlink::test {

TempDir::TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "kormlink-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

void TempDir::write(const std::string& name, const std::string& content) const {
    if (!replaceFileAtomically(file(name), content)) throw std::runtime_error("write failed");
}

std::string TempDir::read(const std::string& name) const {
    return readWholeFile(file(name)).value_or("");
}

std::string processStamp() {
    static const std::string stamp = formatTimeStamp(localNow());
    return stamp;
}

std::string hex3(unsigned value) { return sim::detail::hex(value & 0xFFF, 3); }

std::string EventSpec::build() const {
    using sim::detail::put;
    std::string line(length, '-');
    put(line, 1, "COM");
    put(line, 4, std::string(1, system));
    put(line, 13, number >= 0 ? "#4" : "  ");
    put(line, 17, stamp);
    put(line, 39, std::string(1, digit39));
    put(line, 41, transmitter);
    put(line, 44, std::string(1, kind));
    put(line, 47, state);
    if (number >= 0) put(line, 64, sim::detail::hex(static_cast<std::uint32_t>(number), 4));
    // The last word is the repeater's Id, after the only blank in the tail of the line.
    if (repeaterId.size() < line.size())
        put(line, line.size() - repeaterId.size(), " " + repeaterId);
    return line;
}

EventSpec EventSpec::status(const std::string& id, const std::string& state) {
    return {.digit39 = '0', .transmitter = "0" + id.substr(id.size() - 2), .kind = '0',
            .state = state, .repeaterId = id};
}

std::string eventFrom(const std::string& tx) { return EventSpec{.transmitter = tx}.build(); }

std::vector<std::string> queueTexts(const tOItem& channel) {
    std::vector<std::string> out;
    for (const auto& q : channel.Queue) out.push_back(q.text);
    return out;
}

ScriptedRepeater::ScriptedRepeater(std::uint16_t port, const std::string& from) {
    m_socket = TcpSocket::connectTo("127.0.0.1", port, 3000, from);
}

void ScriptedRepeater::send(const std::string& line) { sendRaw(line + "\r\n"); }

void ScriptedRepeater::sendRaw(const std::string& bytes) {
    if (m_socket) m_socket->sendAll(bytes);
}

std::optional<std::string> ScriptedRepeater::readLine(Millis timeoutMs) {
    if (!m_socket) return std::nullopt;
    std::string line;
    m_last = m_socket->recvLine(line, timeoutMs);
    if (m_last != RecvStatus::Line) return std::nullopt;
    return line;
}

bool ScriptedRepeater::readWelcome(Millis timeoutMs) {
    auto greeting = readLine(timeoutMs);
    auto systime = readLine(timeoutMs);
    return greeting == "QX7310kv V1.02" && systime && systime->rfind("systime", 0) == 0;
}

bool ScriptedRepeater::closedByServer(Millis timeoutMs) {
    const Millis deadline = steadyClock().now() + timeoutMs;
    while (steadyClock().now() < deadline) {
        if (readLine(deadline - steadyClock().now())) continue;
        if (m_last == RecvStatus::Closed || m_last == RecvStatus::Error) return true;
        if (m_last == RecvStatus::Timeout) return false;
    }
    return false;
}

void ScriptedRepeater::reset() {
    if (!m_socket) return;
    linger abort{1, 0};
    ::setsockopt(m_socket->fd(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    m_socket.reset();
}

PtyReceiver::PtyReceiver() {
    char name[128] = {};
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    m_path = name;
}

PtyReceiver::~PtyReceiver() {
    if (m_master >= 0) ::close(m_master);
    ::close(m_slave);
}

std::optional<std::string> PtyReceiver::readLine(Millis timeoutMs, char end) {
    const Millis deadline = steadyClock().now() + timeoutMs;
    while (steadyClock().now() < deadline) {
        pollfd p{m_master, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        char c;
        if (::read(m_master, &c, 1) != 1) continue;
        m_partial.push_back(c);
        if (c == end) return std::exchange(m_partial, {});
    }
    return std::nullopt;  // what came so far is the start of the next line
}

void PtyReceiver::answer(const std::string& bytes) {
    if (::write(m_master, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error("write to pseudo-terminal failed");
}

void PtyReceiver::hangUp() {
    ::close(m_master);
    m_master = -1;
}

std::uint16_t freePort() {
    auto l = TcpListener::open(0, nullptr);
    return l ? l->port() : 0;
}

void pointLink(const std::string& link, const std::string& target) {
    const std::string fresh = link + ".new";
    ::unlink(fresh.c_str());
    if (::symlink(target.c_str(), fresh.c_str()) != 0 || ::rename(fresh.c_str(), link.c_str()) != 0)
        throw std::runtime_error("cannot point " + link + " to " + target);
}

void RecordingView::ShowInCommandWindow(const std::string& text) {
    std::lock_guard lock(m_mutex);
    m_command.push_back(text);
}

void RecordingView::traceText(TraceDirection direction, const std::string& text) {
    std::lock_guard lock(m_mutex);
    m_trace.push_back((direction == TraceDirection::Received ? "<- " : "-> ") + text);
}

void RecordingView::showMessageBox(const std::string& caption, const std::string& text,
                                   std::function<void()> closed) {
    ShowInCommandWindow("[box] " + caption + ": " + text);
    if (closed) closed();
}

void RecordingView::connectionCountChanged(std::size_t count) {
    if (m_failing) throw std::runtime_error("view failed");
    std::lock_guard lock(m_mutex);
    m_count = count;
}

void RecordingView::channelsChanged() {
    if (m_failing) throw std::runtime_error("view failed");
}

ServerHarness::ServerHarness(const std::string& ini) {
    // The serial repeater link defaults to COM1, the machine's own serial port: tests name
    // their ports, and have none unless they say so.
    m_dir.write("Kormlink.ini",
                ini.find("[ComIn]") == std::string::npos ? ini + "[ComIn]\nCom=0\n" : ini);
    std::filesystem::create_directory(m_dir.file("Kormlink"));
    std::filesystem::create_directory(m_dir.file("Kormlink_c"));
    auto ready = m_ready.get_future();
    m_thread = std::thread([this] {
        m_main = std::make_unique<MainThread>();
        MainThread& mainThread = *m_main;
        ServerOptions options;
        options.dataDir = m_dir.path();
        options.clock = &m_clock;
        Server server(mainThread, m_view, options);
        server.setEventTap([this](const std::string& line, EventSource) {
            std::lock_guard lock(m_routedMutex);
            m_routed.push_back(line);
        });
        server.LoadConfiguration();
        m_server = &server;
        m_ready.set_value();
        while (!m_stop) {
            mainThread.waitForWork(20);
            mainThread.runPending();
        }
        server.StopServer();
        mainThread.runPending();
        mainThread.close();
    });
    ready.wait();
}

ServerHarness::~ServerHarness() {
    m_stop = true;
    m_main->wake();
    m_thread.join();
}

static std::uint16_t listening(ServerHarness& h, std::uint16_t (Server::*which)() const) {
    std::uint16_t port = 0;
    eventually([&] { return (port = h.onMain([&](Server& s) { return (s.*which)(); })) != 0; });
    return port;
}

std::uint16_t ServerHarness::port() { return listening(*this, &Server::inputPort); }

std::unique_ptr<ScriptedRepeater> ServerHarness::repeater(const std::string& from) {
    auto rpt = std::make_unique<ScriptedRepeater>(port(), from);
    if (!rpt->readWelcome()) ADD_FAILURE() << "no greeting and time command";
    return rpt;
}

std::uint16_t ServerHarness::outPort() { return listening(*this, &Server::outputPort); }

std::vector<std::string> ServerHarness::routed() const {
    std::lock_guard lock(m_routedMutex);
    return m_routed;
}

bool ServerHarness::waitRouted(std::size_t n, Millis timeoutMs) const {
    return eventually([&] { return routed().size() >= n; }, timeoutMs);
}

std::vector<std::pair<std::uint32_t, std::int32_t>> ServerHarness::registry() {
    return onMain([](Server& s) {
        std::vector<std::pair<std::uint32_t, std::int32_t>> rows;
        if (tHostList* list = s.hostList())
            for (RepeaterConnection* c : list->entries()) rows.emplace_back(c->HpId.load(), c->Nr);
        return rows;
    });
}

bool ServerHarness::waitRegistrySize(std::size_t n, Millis timeoutMs) {
    return eventually([&] { return registry().size() == n; }, timeoutMs);
}

std::vector<std::string> ServerHarness::logLines(int which) const {
    const DailyLog logs[] = {DailyLog::Event, DailyLog::Status, DailyLog::Connection};
    LocalTime t = localNow();
    return splitLines(m_dir.read(dailyLogName(logs[which], t.year, t.month, t.day)));
}

bool ServerHarness::logged(int which, const std::string& line, Millis timeoutMs) const {
    return eventually([&] { return std::ranges::count(logLines(which), line) > 0; }, timeoutMs);
}

bool ServerHarness::identify(ScriptedRepeater& rpt, const std::string& id) {
    const std::size_t logged = logLines(0).size();
    rpt.send(EventSpec{.repeaterId = id}.build());
    if (rpt.readLine() != "") return false;
    if (!eventually([&] { return logLines(0).size() > logged; })) return false;
    onMain([](Server&) {});
    return true;
}

bool ServerHarness::feed(const std::vector<std::string>& lines) {
    const std::size_t before = routed().size();
    ScriptedRepeater rpt(port());
    if (!rpt.readWelcome()) return false;
    for (const auto& line : lines) {
        rpt.send(line);
        rpt.readLine();
    }
    return waitRouted(before + lines.size());
}

bool ServerHarness::queueCommand(std::uint32_t id, const std::string& cmd,
                                 std::shared_ptr<ProgramEditor> editor) {
    return eventually([&] {
        return onMain([&](Server& s) {
            tHostList* list = s.hostList();
            RepeaterConnection* c = list ? list->findByHpId(id).connection : nullptr;
            if (c) c->setPendingCmd(cmd, editor);
            return c != nullptr;
        });
    });
}

bool ServerHarness::shown(const std::string& text, Millis timeoutMs) const {
    return eventually([&] { return std::ranges::count(m_view.commandLines(), text) > 0; },
                      timeoutMs);
}

std::size_t ServerHarness::queued(std::size_t channel) {
    return onMain([&](Server& s) { return s.channels()->at(channel).Queue.size(); });
}

int ServerHarness::attached(std::size_t channel) {
    return onMain([&](Server& s) { return int(s.channels()->at(channel).Connected.load()); });
}

bool eventually(const std::function<bool()>& pred, Millis timeoutMs) {
    const Millis deadline = steadyClock().now() + timeoutMs;
    while (!pred()) {
        if (steadyClock().now() > deadline) return false;
        sleepMs(5);
    }
    return true;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t pos = 0, end; pos < text.size(); pos = end + 2) {
        end = std::min(text.find("\r\n", pos), text.size());
        lines.push_back(text.substr(pos, end - pos));
    }
    return lines;
}

}  // namespace kormlink::test
