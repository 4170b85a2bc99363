#include "repeater_link/tcp_echo_thrd.h"

#include <poll.h>
#include <sys/epoll.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <mutex>
#include <system_error>

#include "core/daily_logs.h"
#include "core/event_line.h"
#include "core/main_thread.h"
#include "core/operator_view.h"
#include "core/server_host.h"
#include "platform/console_output.h"
#include "platform/worker_pool.h"
#include "repeater_link/host_list.h"

namespace kormlink {

namespace {

// Tells stderr of connections closed for not identifying themselves: the first close after a
// quiet minute at once, the others counted and told with the first close after the minute.
// Shared by every connection of the process.
void tellUnidentified(const std::string& ip, Millis identifyTime) {
    static std::mutex mutex;
    static Millis nextReportAt = 0;
    static std::uint64_t untold = 0;
    std::lock_guard lock(mutex);
    ++untold;
    const Millis now = steadyClock().now();
    if (now < nextReportAt) return;
    consolePrintf(ConsoleStream::Err,
                  "Kormlink: %llu repeater connection%s closed in the last minute (the last from "
                  "%s): no valid event line with a repeater Id within %lld s ([In] IdentifyTime)\n",
                  static_cast<unsigned long long>(untold), untold == 1 ? "" : "s", ip.c_str(),
                  static_cast<long long>(identifyTime / 1000));
    untold = 0;
    nextReportAt = now + LogBudget::kMinuteMs;
}

}  // namespace

void TTCPEchoThrd::start(ServerHost& host, UniqueFd socket, std::int32_t nr, AddressSlot slot) {
    EventLoop& loop = host.connectionLoop();
    std::shared_ptr<TTCPEchoThrd> self(new TTCPEchoThrd(host, std::move(socket), nr, loop));
    self->m_slot = std::move(slot);
    self->m_self = self;
    host.workerStarted(WorkerKind::Repeater);
    if (!loop.post([self] { self->begin(); })) {
        self->m_self.reset();
        host.workerEnded(WorkerKind::Repeater);
        throw std::system_error(std::make_error_code(std::errc::operation_canceled),
                                "the connection loops have ended");
    }
}

TTCPEchoThrd::TTCPEchoThrd(ServerHost& host, UniqueFd socket, std::int32_t nr, EventLoop& loop)
    : HostedExchangeIo(host, m_stop),
      m_host(host),
      m_loop(loop),
      m_socket(std::move(socket), kMaxRepeaterLine) {
    m_socket.discardOverlongLines(kOverlongEndMs);
    Nr = nr;
}

TTCPEchoThrd::~TTCPEchoThrd() = default;

void TTCPEchoThrd::requestStop() {
    m_stop.wake();  // ends a worker's wait at once
    // The loop looks at the stop when the connection is its own.
    if (auto self = weak_from_this().lock())
        m_loop.post([self] {
            if (self->m_phase == Phase::Running) self->end();
        });
}

// ---- Loop thread ----

void TTCPEchoThrd::begin() {
    // Read here rather than on the acceptor's thread, which then only accepts: in a storm of
    // connections the loops share the work.
    const RepeaterConnectionSettings s = readRepeaterConnectionSettings(m_host.readConfig());
    CmdDelay = s.CmdDelay;
    IdleLimit = s.IdleLimit;
    ACKDelay = s.ACKDelay;
    LoadDelay = s.LoadDelay;
    SyncP = s.SyncP;
    IdentifyTime = s.IdentifyTime;
    if (!m_loop.add(m_socket.fd(), this, EPOLLIN | EPOLLOUT | EPOLLRDHUP)) {
        consolePrintf(ConsoleStream::Err,
                      "Kormlink: a repeater connection could not be served (epoll: errno %d)\n",
                      errno);
        end();
        return;
    }
    NextSync = m_host.clock().now() + SyncP;
    // The greeting and the time command leave together, in one send.
    m_corked = true;
    SendLine(std::string(kRepeaterGreeting) + std::string(kCrLf));
    SendLine(sysTimeCommand(m_host.localTime()) + std::string(kCrLf));
    m_corked = false;
    flushOutbox();
    ++m_host.counters().timeSyncsToRepeaters;
    Ip = m_socket.peerAddress();
    m_phase = Phase::OnMain;
    toMain([self = m_self] {
        try {
            ServerHost& host = self->m_host;
            tHostList* list = host.hostList();
            // Once a stop has begun no connection is taken on: it would escape the stop.
            if (list && host.acceptingConnections()) {
                list->RegisterConnection(self.get());
                self->InRegistry = true;  // before anything else that may throw
                host.ShowConnectionCount();
            }
        } catch (...) {
            self->failedOnMain(std::current_exception());
        }
        self->m_loop.post([self] { self->registered(); });
    });
}

void TTCPEchoThrd::failedOnMain(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        consolePrintf(ConsoleStream::Err,
                      "Kormlink: repeater connection %s ended by an error: %s\n", Ip.c_str(),
                      e.what());
    } catch (...) {
        consolePrintf(ConsoleStream::Err, "Kormlink: repeater connection %s ended by an error\n",
                      Ip.c_str());
    }
    m_endAfterPass = true;
}

void TTCPEchoThrd::backToLoop(std::shared_ptr<TTCPEchoThrd> self) {
    if (!m_host.mainThread().isMainThread()) {
        std::vector<std::shared_ptr<EventLoop::Resumable>> one;
        one.emplace_back(self, static_cast<EventLoop::Resumable*>(self.get()));
        m_loop.resumeAll(one);
        return;
    }
    // The main thread hands back every connection of a drain in one piece per loop, once the
    // drain is over: one wake-up of each loop instead of one per answer.
    struct Returns {
        EventLoop* loop;
        std::vector<std::shared_ptr<EventLoop::Resumable>> items;
    };
    thread_local std::vector<Returns> pending;  // the main thread's
    const bool first = pending.empty();
    auto it = std::find_if(pending.begin(), pending.end(),
                           [&](const Returns& r) { return r.loop == &m_loop; });
    if (it == pending.end()) it = pending.insert(pending.end(), Returns{&m_loop, {}});
    it->items.emplace_back(self, static_cast<EventLoop::Resumable*>(self.get()));
    // Outside a drain the step runs at once, so it is registered only after the item is in.
    if (first)
        m_host.mainThread().atDrainEnd([] {
            std::vector<Returns> all;
            all.swap(pending);
            for (Returns& r : all) r.loop->resumeAll(r.items);
        });
}

void TTCPEchoThrd::resumeOnLoop() {
    if (m_phase == Phase::OnWorker) {
        // The worker's last read may have emptied the socket before more came: read again.
        m_socket.noteReadable(m_hungUpMeanwhile);
        m_hungUpMeanwhile = false;
    }
    m_phase = Phase::Running;
    resume();
}

void TTCPEchoThrd::toMain(MainThread::Task task) {
    // What one turn of the loop hands to the main thread goes in one piece at the turn's end,
    // so the main thread runs it as one batch: one journal write, one wake-up.
    struct Gathered {
        MainThread* main = nullptr;
        std::vector<MainThread::Task> tasks;
    };
    thread_local Gathered gathered;  // the loop's thread
    MainThread& main = m_host.mainThread();
    if (gathered.main && gathered.main != &main) main.postAll(gathered.tasks);
    if (gathered.tasks.empty()) m_loop.atTurnEnd([] { gathered.main->postAll(gathered.tasks); });
    gathered.main = &main;
    gathered.tasks.push_back(std::move(task));
}

void TTCPEchoThrd::registered() {
    if (!InRegistry || m_endAfterPass) {
        end();
        return;
    }
    IdleCount = IdleLimit;
    NextAttempt = m_host.clock().now();
    m_identifyBy = NextAttempt + IdentifyTime;
    m_idleSince = steadyClock().now();
    m_phase = Phase::Running;
    resume();
}

void TTCPEchoThrd::resume() {
    if (m_answerCount >= 0) {
        // The plain answer the main thread let go.
        queueSend(Ack + std::string(kCrLf));
        if (!m_sendFailed) m_host.counters().eventsAnswered += m_answerCount;
        m_answerCount = -1;
    }
    if (m_endAfterPass || m_stop.isSet() || m_sendFailed) {
        end();
        return;
    }
    if (identifyTimeOver()) {
        closeUnidentified();
        end();
        return;
    }
    pump();
}

void TTCPEchoThrd::pump() {
    // Lines that stay on the loop (empty lines, the lines of a batch) are taken at most this
    // many at a time: a peer that keeps its socket full must not keep the other connections
    // of the loop waiting. The rest follows in the loop's next turn.
    constexpr int kLinesPerTurn = 128;
    int taken = 0;
    while (m_phase == Phase::Running) {
        if (m_stop.isSet() || m_sendFailed) return end();
        if (identifyTimeOver()) {
            closeUnidentified();
            return end();
        }
        // Nothing new is taken while earlier bytes wait to leave: the next answer would
        // overtake them. The socket's readiness to write brings the connection back.
        if (!m_outbox.empty()) break;
        if (++taken > kLinesPerTurn) {
            m_loop.post([self = m_self] {
                if (self->m_phase == Phase::Running) self->pump();
            });
            break;
        }
        std::string line;
        const RecvStatus status = m_socket.takeLine(line);
        if (status == RecvStatus::Timeout) break;  // all read: wait for the next edge
        onLine(status, line);
    }
    if (m_phase == Phase::Running) armTimer();
}

bool TTCPEchoThrd::traced() const {
    const std::uint32_t id = HpId.load();
    return id != 0 && id == m_host.traceId();
}

bool TTCPEchoThrd::plainPass(const std::string& line) const {
    // Exactly the passes whose response step sends nothing but a plain acknowledgement (of an
    // event line, or "D<n>/" of a batch) or nothing at all (replies, empty lines): no command
    // pending, no time command due, nothing to trace, journals taking their records.
    if (isNumberedLine(line)) return true;
    if (hasPendingCmd() || !m_host.journalsHealthy()) return false;
    return !(SyncDue && m_host.clock().now() > NextAttempt);
}

void TTCPEchoThrd::onLine(RecvStatus status, std::string& line) {
    const Millis now = m_host.clock().now();
    if (SyncP > 0 && now > NextSync) {
        NextSync = now + SyncP;
        SyncDue = true;
    }
    if (status != RecvStatus::Line && status != RecvStatus::Overlong) {
        end();  // closed, reset or overflowing line
        return;
    }
    IdleCount = IdleLimit;
    m_idleSince = steadyClock().now();
    if (status == RecvStatus::Line && line == "OK") {
        NextAttempt = now;
        SyncDue = false;
    }
    if (status == RecvStatus::Overlong || traced() || !plainPass(line)) {
        toWorker(status, std::move(line));
        return;
    }
    if (isNumberedLine(line)) {
        if (holdNumbered(line)) numberedToMain();
        return;
    }
    if (line.empty() && BatchCount == 0) {
        // An empty line outside a batch: the response step sends nothing.
        ++MCnt;
        BatchBroken = false;
        return;
    }
    if (!line.empty() && !isEventLine(line)) {
        // A reply (the "OK" to the time command): nothing is sent, the line is shown.
        ++MCnt;
        BatchCount = 0;
        BatchBroken = false;
        otherToMain(std::move(line));
        return;
    }
    const bool batchEnd = line.empty();  // before the move: argument order is unspecified
    answerToMain(std::move(line), batchEnd);
}

void TTCPEchoThrd::otherToMain(std::string line) {
    // The loop waits for the main thread as the hand-over of a worker would: a peer flooding
    // lines must not grow the main thread's queue.
    m_phase = Phase::OnMain;
    toMain([self = m_self, line = std::move(line)] {
        try {
            self->noteOtherLineOnMain(line, false);
        } catch (...) {
            self->failedOnMain(std::current_exception());
        }
        self->backToLoop(self);
    });
}

void TTCPEchoThrd::numberedToMain() {
    m_phase = Phase::OnMain;
    toMain([c = this] {  // alive while on the main thread, as in answerToMain()
        try {
            c->processNumberedOnMain();
        } catch (...) {
            c->failedOnMain(std::current_exception());
        }
        c->backToLoop(c->m_self);
    });
}

void TTCPEchoThrd::answerToMain(std::string line, bool batchEnd) {
    m_phase = Phase::OnMain;
    Ack.clear();
    if (batchEnd) {
        if (BatchBroken) BatchCount = 0;
        Ack = "D" + std::to_string(BatchCount) + "/";
    }
    m_pendingCount = batchEnd ? BatchCount : 1;
    ++MCnt;
    BatchCount = 0;
    BatchBroken = false;
    m_answerBatchEnd = batchEnd;
    m_answerLine.assign(batchEnd ? std::string_view() : trimLine(line));
    // The closures hold a plain pointer: they fit in std::function without an allocation, and
    // the connection is alive while the main thread has it (its loop's m_self holds it until
    // the connection ends, and it cannot end before it is back).
    toMain([c = this] {
        try {
            c->processNumberedOnMain();
            if (!c->m_answerBatchEnd) {
                c->LogText = c->m_answerLine;
                c->processOnMainThread(c->m_answerLine);
            }
        } catch (...) {
            c->failedOnMain(std::current_exception());
            return c->backToLoop(c->m_self);  // nothing is answered: the repeater sends again
        }
        // The answer may leave once the batch has written (and in the fsync mode synced) what
        // the lines put into the journals; the loop sends it when it has the connection back,
        // so the main thread spends no time in the sockets.
        c->m_host.mainThread().releaseAfterBatch([c] {
            // Not kept: no answer, the repeater sends the lines again.
            if (c->m_gate.mayAnswer()) c->m_answerCount = c->m_pendingCount;
            c->backToLoop(c->m_self);
        });
    });
}

void TTCPEchoThrd::toWorker(RecvStatus status, std::string line) {
    m_phase = Phase::OnWorker;
    const bool taken = m_host.exchangeWorkers().run([self = m_self, status, line]() mutable {
        self->m_onWorker = true;
        try {
            self->workerPass(status, line);
        } catch (const std::exception& e) {
            consolePrintf(ConsoleStream::Err,
                          "Kormlink: repeater connection %s ended by an error: %s\n",
                          self->Ip.c_str(), e.what());
            self->m_endAfterPass = true;
        } catch (...) {
            consolePrintf(ConsoleStream::Err,
                          "Kormlink: repeater connection %s ended by an error\n", self->Ip.c_str());
            self->m_endAfterPass = true;
        }
        self->m_onWorker = false;
        self->m_socket.noteReadable();  // what came meanwhile is read on the loop
        self->backToLoop(self);
    });
    if (!taken) {
        consolePrintf(
            ConsoleStream::Err,
            "Kormlink: repeater connection %s ended: no thread for its command exchange\n",
            Ip.c_str());
        m_phase = Phase::Running;
        end();
    }
}

void TTCPEchoThrd::onEvents(std::uint32_t events) {
    // Held until the handler returns: an end on the way hands the last reference on.
    const std::shared_ptr<TTCPEchoThrd> keep = m_self;
    // A worker reads the socket itself; what the loop saw meanwhile is noted when the worker
    // is done, so that an edge (a hang-up above all) that came during the pass is not lost.
    const bool hungUp = (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0;
    if (events & ~std::uint32_t{EPOLLOUT}) {
        if (m_phase == Phase::OnWorker)
            m_hungUpMeanwhile = m_hungUpMeanwhile || hungUp;
        else
            m_socket.noteReadable(hungUp);
    }
    if ((events & EPOLLOUT) && !m_outbox.empty()) flushOutbox();
    if (m_phase == Phase::Running) pump();
}

void TTCPEchoThrd::onLoopStopped() {
    // Only when the server went away without stopping its connections first: nothing can be
    // handed over any more. The socket closes; the registry keeps the object (never dangling).
    m_loop.cancel(m_timer);
    m_loop.remove(m_socket.fd(), this);
    m_socket.shutdownBoth();
    m_phase = Phase::Ending;
}

Millis TTCPEchoThrd::nextWait(Millis idleSince) const {
    // The wait lasts as long as nothing can fall due: the idle close (IdleLimit cycles of
    // kCycleMs after the last line), or the moment the time command falls due. A silent
    // connection then wakes about once a minute; a stop ends the wait at once, and a line
    // whenever it comes.
    const Millis cycles = std::max<Millis>(IdleLimit, 1);
    Millis wait = idleSince + cycles * kCycleMs - steadyClock().now();
    if (SyncP > 0 && !SyncDue) wait = std::min(wait, NextSync - m_host.clock().now() + 1);
    if (IdentifyTime > 0 && HpId.load() == 0)
        wait = std::min(wait, m_identifyBy - m_host.clock().now() + 1);
    if (const Millis at = m_budget.reportAt(); at != 0)
        wait = std::min(wait, at - m_host.clock().now() + 1);
    return std::clamp<Millis>(wait, 1, kMaxWaitMs);
}

void TTCPEchoThrd::armTimer() {
    const Millis now = steadyClock().now();
    Millis at = now + nextWait(m_idleSince);
    if (const Millis end = m_socket.overlongDeadline(); end != 0) at = std::min(at, end + 1);
    if (!m_outbox.empty()) at = std::min(at, m_outboxSince + TcpSocket::kSendTimeoutMs);
    m_loop.arm(m_timer, at);
}

void TTCPEchoThrd::onTimer() {
    const std::shared_ptr<TTCPEchoThrd> keep = m_self;
    if (m_phase != Phase::Running) return;  // re-armed when the connection comes back
    const Millis steadyNow = steadyClock().now();
    if (!m_outbox.empty() && steadyNow - m_outboxSince >= TcpSocket::kSendTimeoutMs) {
        m_sendFailed = true;  // the peer has not read for the whole send time-out
        return end();
    }
    const Millis now = m_host.clock().now();
    if (SyncP > 0 && now > NextSync) {
        NextSync = now + SyncP;
        SyncDue = true;
    }
    // The whole cycles of silence since the last line.
    const Millis silent = steadyNow - m_idleSince;
    if (IdleLimit - silent / kCycleMs <= 0) return end();
    IdleCount = static_cast<std::int32_t>(IdleLimit - silent / kCycleMs);
    if (const Millis at = m_budget.reportAt(); at != 0 && now >= at)
        m_host.mainThread().post(
            [self = m_self] { self->m_budget.report(self->m_host, self->who()); });
    if (identifyTimeOver()) {
        closeUnidentified();
        return end();
    }
    pump();  // an overlong line's deadline is looked at by the next take
}

void TTCPEchoThrd::queueSend(std::string_view bytes) {
    if (m_corked || !m_outbox.empty()) {
        if (m_outbox.empty()) m_outboxSince = steadyClock().now();
        m_outbox.append(bytes);
        return;
    }
    const long sent = m_socket.trySend(bytes);
    if (sent < 0) {
        m_sendFailed = true;
        return;
    }
    if (static_cast<std::size_t>(sent) < bytes.size()) {
        m_outbox.assign(bytes.substr(static_cast<std::size_t>(sent)));
        m_outboxSince = steadyClock().now();
    }
}

void TTCPEchoThrd::flushOutbox() {
    if (m_outbox.empty()) return;
    const long sent = m_socket.trySend(m_outbox);
    if (sent < 0) {
        m_sendFailed = true;
        m_outbox.clear();
        return;
    }
    m_outbox.erase(0, static_cast<std::size_t>(sent));
    if (m_outbox.empty()) std::string().swap(m_outbox);
}

void TTCPEchoThrd::end() {
    if (m_phase == Phase::Ending) return;
    m_phase = Phase::Ending;
    m_loop.cancel(m_timer);
    m_loop.remove(m_socket.fd(), this);
    if (!m_self) return;
    // The last steps are the main thread's: lines received before the end are logged and
    // routed as ever, then the connection leaves the registry. (The caller holds a reference
    // of its own until it returns.)
    m_host.mainThread().post([self = std::move(m_self)] { self->finishOnMain(self); });
}

// ---- Main thread ----

void TTCPEchoThrd::processNumberedOnMain() {
    if (m_numbered.empty()) return;
    for (std::string& line : m_numbered) {
        line.assign(trimLine(line));
        LogText = line;
        processOnMainThread(line);
    }
    m_numbered.clear();
}

void TTCPEchoThrd::finishOnMain(std::shared_ptr<TTCPEchoThrd> self) {
    ServerHost& host = m_host;
    try {
        processNumberedOnMain();
    } catch (...) {
        consolePrintf(ConsoleStream::Err,
                      "Kormlink: repeater connection %s: its last lines "
                      "could not be processed\n",
                      Ip.c_str());
    }
    // Whatever ended the conversation, even a failure in the middle of registering.
    if (InRegistry) {
        try {
            endConnection();
        } catch (...) {
            // the view failed after the connection had left the registry
        }
    }
    m_socket.shutdownBoth();
    completion()->set();
    // The connection object is gone before the server hears of the end, unless the registry
    // could not be left: then it stays, so the registry never dangles.
    if (InRegistry) {
        consolePrint(ConsoleStream::Err,
                     "Kormlink: a repeater connection could not leave "
                     "the registry; its memory is kept");
        new std::shared_ptr<TTCPEchoThrd>(self);
    }
    AddressSlot slot = std::move(m_slot);
    self.reset();
    slot.release();
    host.workerEnded(WorkerKind::Repeater);
}

void TTCPEchoThrd::endConnection() {
    leaveRegistry(m_host, [&] {
        m_budget.report(m_host, who(), true);
        if (std::uint32_t id = HpId.load(); id != 0)
            m_host.logs().WriteConnectionLog(connectionRecord(m_host.localTime(), "Close", id, Ip));
    });
}

// ---- Worker thread ----

void TTCPEchoThrd::workerPass(RecvStatus status, std::string& line) {
    noteReceived(status, line);
    if (status == RecvStatus::Overlong) {
        // From here on only the excerpt stands for the line.
        line = overlongExcerpt(line, m_socket.lastLineLength());
        processNumberedLines();
        answerLine(line, true);
    } else {
        if (isNumberedLine(line)) {
            if (holdNumbered(line)) processNumberedLines();
        } else {
            processNumberedLines();
            answerLine(line);
        }
    }
    if (m_stop.isSet() || m_sendFailed) {
        m_endAfterPass = true;
    } else if (identifyTimeOver()) {
        closeUnidentified();
        m_endAfterPass = true;
    }
}

bool TTCPEchoThrd::holdNumbered(std::string& line) {
    line[13] = '3';
    ++BatchCount;
    auto number = hexAt(line, 64, 4);
    if (!number || *number != BatchCount) BatchBroken = true;
    m_numbered.push_back(std::move(line));  // acknowledged later, with its batch
    return !m_socket.hasBufferedLine();
}

bool TTCPEchoThrd::identifyTimeOver() const {
    return IdentifyTime > 0 && HpId.load() == 0 && m_host.clock().now() >= m_identifyBy;
}

void TTCPEchoThrd::closeUnidentified() {
    ++m_host.counters().unidentifiedClosed;
    tellUnidentified(Ip, IdentifyTime);
}

void TTCPEchoThrd::answerLine(std::string& line, bool overlong) {
    const std::string received = line;
    const bool event = !overlong && isEventLine(received);
    const auto pass = m_gate.respondTo(
        event, [this, &received] { processEventLine(received); }, [&] { respond(line, event); },
        [this] { releaseAnswer(); });
    if (pass == AnswerGate::Pass::Withheld) {
        BatchCount = 0;
        BatchBroken = false;
        return;
    }
    // An exchange may have replaced the line with its own last reply, which is looked at like
    // any received line.
    if (line != received) {
        if (isEventLine(line)) {
            processEventLine(line);
        } else if (!line.empty()) {
            noteOtherLine(line, false);
        }
    } else if (!event && !line.empty()) {
        noteOtherLine(line, overlong);
    }
}

void TTCPEchoThrd::noteOtherLine(const std::string& line, bool overlong) {
    m_host.mainThread().call([&] { noteOtherLineOnMain(line, overlong); });
}

void TTCPEchoThrd::noteOtherLineOnMain(const std::string& line, bool overlong) {
    const bool control = !overlong && hasControlByte(trimLine(line));
    if (control) ++m_host.counters().controlByteLines;
    const std::string_view logged = overlong || control ? trimLine(line) : std::string_view();
    m_budget.write(m_host, who(), logged, hexId(HpId) + ":" + line);
}

void TTCPEchoThrd::respond(std::string& line, bool event) {
    Ack.clear();
    if (line.empty() && BatchCount != 0) {
        if (BatchBroken) BatchCount = 0;
        Ack = "D" + std::to_string(BatchCount) + "/";
    }
    if (auto [cmd, editor] = takePendingCmd(); !cmd.empty()) {
        if (isPlainCommand(cmd))
            m_gate.onWithheld([this, cmd = cmd, editor = editor] { keepPendingCmd(cmd, editor); });
        CommandContext ctx{cmd, editor, Ack, LoadDelay, ACKDelay};
        DispatchResult result = DispatchCommand(*this, ctx);
        if (!result.stillPending.empty()) keepPendingCmd(result.stillPending, result.editor);
        if (result.replacesLine) line = result.line;
    } else if (SyncDue && m_host.clock().now() > NextAttempt) {
        SysTimeCmd = sysTimeCommand(m_host.localTime());
        NextAttempt = m_host.clock().now() + CmdDelay;
        LogText = hexId(HpId) + ":" + std::string(trimLine("->" + Ack + SysTimeCmd));
        m_host.mainThread().call([&] {
            m_host.view().ShowInCommandWindow(LogText);
            m_host.logs().WriteEventLog(LogText);
        });
        pause(ACKDelay);
        SendLine(Ack + SysTimeCmd + std::string(kCrLf));
        SysTimeCmd.clear();
        ++m_host.counters().timeSyncsToRepeaters;
        countAnswered(line, event);
    } else if (event || !Ack.empty()) {
        SendLine(Ack + std::string(kCrLf));
        countAnswered(line, event);
    }
    ++MCnt;
    BatchCount = 0;
    BatchBroken = false;
}

void TTCPEchoThrd::countAnswered(const std::string& line, bool event) {
    // A batch answer ("D<n>/") acknowledges the batch's n lines, a plain one its event line.
    if (line.empty() && BatchCount != 0 && !BatchBroken)
        m_host.counters().eventsAnswered += BatchCount;
    else if (event)
        ++m_host.counters().eventsAnswered;
}

void TTCPEchoThrd::processEventLine(const std::string& received) {
    const std::string line(trimLine(received));
    LogText = line;
    m_host.mainThread().call([&] { processOnMainThread(line); });
}

void TTCPEchoThrd::processNumberedLines() {
    if (m_numbered.empty()) return;
    for (std::string& line : m_numbered) line.assign(trimLine(line));
    m_host.mainThread().call([&] {
        for (const std::string& line : m_numbered) {
            LogText = line;
            processOnMainThread(line);
        }
    });
    m_numbered.clear();
}

void TTCPEchoThrd::processOnMainThread(const std::string& line) {
    {
        const DailyLogs& logs = m_host.logs();
        if (m_budget.reportAt() != 0) m_budget.report(m_host, who());  // who() only when needed
        if (!hasValidEventLength(line)) {
            m_budget.write(m_host, who(), LogText, {});
            return;
        }
        logs.WriteEventLog(LogText);

        const EventFields fields = parseEventFields(line);
        if (fields.hasIdWord) {
            LineId = fields.lineId;
            if (HpId.load() == 0) {
                HpId = LineId;
                if (tHostList* list = m_host.hostList()) list->IdLearned(this);
                if (HpId.load() != 0) {
                    LogText = connectionRecord(m_host.localTime(), "Open", HpId, Ip);
                    logs.WriteConnectionLog(LogText);
                }
            }
        }
        m_status.offer(line, fields, m_host.clock().now(), m_host.TestTime(), m_host.localTime(),
                       [&](std::string event) {
                           EventLine = std::move(event);
                           m_host.RouteEvent(EventLine, EventSource::Tcp);
                           m_gate.noteRouted();
                           m_host.MarkRefresh();
                       });
    }
}

RecvStatus TTCPEchoThrd::RecvLine(std::string& line, Millis timeoutMs) {
    RecvStatus status = m_socket.recvLine(line, timeoutMs, &m_stop);
    noteReceived(status, line);
    return status;
}

void TTCPEchoThrd::noteReceived(RecvStatus status, std::string& line) {
    if (status == RecvStatus::Line) traceReceived(line.empty() ? std::string(kCrLf) : line);
    if (status == RecvStatus::Overlong) {
        // line holds the first kMaxRepeaterLine bytes; the rest was never kept.
        ++m_host.counters().overlongLines;
        traceReceived(overlongExcerpt(line, m_socket.lastLineLength()));
    }
}

void TTCPEchoThrd::traceReceived(const std::string& text) {
    std::uint32_t id = HpId.load();
    if (id == 0 || id != m_host.traceId()) return;
    // call(), not post(): a peer flooding lines must not grow the main thread's queue.
    m_host.mainThread().call([&] { m_host.view().traceText(TraceDirection::Received, text); });
}

ReplyStatus TTCPEchoThrd::readReply(std::string& line, Millis timeoutMs) {
    // An exchange's first line leaves only after the event it answers. Withheld, the exchange
    // cannot go on: the connection ends, and the repeater sends its event again.
    if (!releaseAnswer()) {
        m_sendFailed = true;
        return ReplyStatus::Broken;
    }
    switch (RecvLine(line, timeoutMs)) {
        case RecvStatus::Line:
            return ReplyStatus::Line;
        case RecvStatus::Timeout:
            return ReplyStatus::Timeout;
        case RecvStatus::Overlong: {
            // Logged as refused; the exchange sees the line's first kMaxRepeaterLine bytes, a
            // line longer than any it expects, and drops it as it drops every such line.
            const std::string excerpt = overlongExcerpt(line, m_socket.lastLineLength());
            m_host.mainThread().call([&] { m_budget.write(m_host, who(), excerpt, {}); });
            return ReplyStatus::Line;
        }
        default:
            m_sendFailed = true;
            return ReplyStatus::Broken;  // the connection ends after
    }
}

std::string TTCPEchoThrd::waitForPrompt() {
    if (!releaseAnswer()) {
        m_sendFailed = true;
        return {};
    }
    // Up to 600 looks, 100 ms apart, for 14 bytes waiting; exactly those 14 are taken, and
    // anything after them stays for later line reads.
    for (int i = 0; i < 600; ++i) {
        pause(100);
        if (m_stop.isSet()) return {};
        if (m_socket.bytesWaiting() >= 14) {
            std::string reply;
            if (m_socket.recvBytes(reply, 14, 100, &m_stop) != RecvStatus::Line) return {};
            traceReceived(reply);
            return reply;
        }
    }
    return {};
}

void TTCPEchoThrd::SendLine(const std::string& text) {
    std::uint32_t id = HpId.load();
    if (id != 0 && id == m_host.traceId()) {
        m_host.mainThread().call([&] { m_host.view().traceText(TraceDirection::Sent, text); });
    }
    if (m_gate.admit(text)) sendNow(text);
}

void TTCPEchoThrd::sendNow(const std::string& bytes) {
    // On the loop nothing waits: what the socket does not take leaves when it can.
    if (!m_onWorker) return queueSend(bytes);
    // A failed send ends the connection after the pass: either the peer is gone, or it has
    // not read for the whole send time-out and the stream can no longer be trusted.
    if (!m_socket.sendAll(bytes, &m_stop)) m_sendFailed = true;
}

bool TTCPEchoThrd::releaseAnswer() {
    const std::uint64_t before = m_gate.withheld();
    if (std::string held = m_gate.release(); !held.empty()) sendNow(held);
    return m_gate.withheld() == before;
}

}  // namespace kormlink
