#include "repeater_link/tcp_echo_thrd.h"

#include <poll.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <mutex>
#include <thread>

#include "core/main_thread.h"
#include "core/operator_view.h"
#include "core/daily_logs.h"
#include "core/event_line.h"
#include "repeater_link/host_list.h"
#include "core/server_host.h"
#include "platform/console_output.h"

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
    std::shared_ptr<TTCPEchoThrd> self(new TTCPEchoThrd(host, std::move(socket), nr));
    host.workerStarted(WorkerKind::Repeater);
    try {
        std::thread([self, slot = std::move(slot)]() mutable {
            ServerHost& host = self->m_host;
            self->run();
            // The connection object is gone before the server hears of the end, unless the
            // registry could not be left: then it stays, so the registry never dangles.
            if (self->InRegistry) {
                consolePrint(ConsoleStream::Err, "Kormlink: a repeater connection could not leave "
                                                 "the registry; its memory is kept");
                new std::shared_ptr<TTCPEchoThrd>(std::move(self));
            }
            self.reset();
            slot.release();
            host.workerEnded(WorkerKind::Repeater);
        }).detach();
    } catch (...) {
        host.workerEnded(WorkerKind::Repeater);
        throw;
    }
}

TTCPEchoThrd::TTCPEchoThrd(ServerHost& host, UniqueFd socket, std::int32_t nr)
    : HostedExchangeIo(host, m_stop), m_host(host), m_socket(std::move(socket), kMaxRepeaterLine) {
    m_socket.discardOverlongLines(kOverlongEndMs);
    Nr = nr;
    const RepeaterConnectionSettings s = readRepeaterConnectionSettings(host.readConfig());
    CmdDelay = s.CmdDelay;
    IdleLimit = s.IdleLimit;
    ACKDelay = s.ACKDelay;
    LoadDelay = s.LoadDelay;
    SyncP = s.SyncP;
    IdentifyTime = s.IdentifyTime;
}

TTCPEchoThrd::~TTCPEchoThrd() = default;

void TTCPEchoThrd::requestStop() { m_stop.wake(); }

void TTCPEchoThrd::run() {
    try {
        if (startConnection()) runCycles();
        settleAnswer();
        processNumberedLines();  // received before the end: logged and routed as ever
    } catch (const std::exception& e) {
        consolePrintf(ConsoleStream::Err,
                      "Kormlink: repeater connection %s ended by an error: %s\n", Ip.c_str(),
                      e.what());
    } catch (...) {
        consolePrintf(ConsoleStream::Err, "Kormlink: repeater connection %s ended by an error\n",
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
}

bool TTCPEchoThrd::startConnection() {
    NextSync = m_host.clock().now() + SyncP;
    SendLine(std::string(kRepeaterGreeting) + std::string(kCrLf));
    SendLine(sysTimeCommand(m_host.localTime()) + std::string(kCrLf));
    ++m_host.counters().timeSyncsToRepeaters;
    Ip = m_socket.peerAddress();
    m_host.mainThread().call([&] {
        tHostList* list = m_host.hostList();
        // Once a stop has begun no connection is taken on: it would escape the stop.
        if (!list || !m_host.acceptingConnections()) return;
        list->RegisterConnection(this);
        InRegistry = true;  // before anything else that may throw
        m_host.ShowConnectionCount();
    });
    IdleCount = IdleLimit;
    NextAttempt = m_host.clock().now();
    m_identifyBy = NextAttempt + IdentifyTime;
    return InRegistry;
}

void TTCPEchoThrd::endConnection() {
    leaveRegistry(m_host, [&] {
        m_budget.report(m_host, who(), true);
        if (std::uint32_t id = HpId.load(); id != 0)
            m_host.logs().WriteConnectionLog(connectionRecord(m_host.localTime(), "Close", id, Ip));
    });
}

Millis TTCPEchoThrd::nextWait(Millis idleSince) const {
    // The receive waits as long as nothing can fall due: the idle close (IdleLimit cycles of
    // kCycleMs after the last line), or the moment the time command falls due. A silent
    // connection then wakes about once a minute instead of twice a second; a stop ends the
    // wait at once through the waker, and a line whenever it comes.
    const Millis cycles = std::max<Millis>(IdleLimit, 1);
    Millis wait = idleSince + cycles * kCycleMs - steadyClock().now();
    if (SyncP > 0 && !SyncDue) wait = std::min(wait, NextSync - m_host.clock().now() + 1);
    if (IdentifyTime > 0 && HpId.load() == 0)
        wait = std::min(wait, m_identifyBy - m_host.clock().now() + 1);
    if (const Millis at = m_budget.reportAt(); at != 0)
        wait = std::min(wait, at - m_host.clock().now() + 1);
    return std::clamp<Millis>(wait, 1, kMaxWaitMs);
}

void TTCPEchoThrd::runCycles() {
    Millis idleSince = steadyClock().now();  // IdleCount counts cycles from here
    for (;;) {
        std::string line;
        const RecvStatus status = RecvLine(line, nextWait(idleSince));
        settleAnswer();
        if (m_sendFailed) return;
        const Millis now = m_host.clock().now();
        if (SyncP > 0 && now > NextSync) {
            NextSync = now + SyncP;
            SyncDue = true;
        }
        if (status == RecvStatus::Timeout) {
            // The whole cycles of silence since the last line.
            const Millis silent = steadyClock().now() - idleSince;
            if (IdleLimit - silent / kCycleMs <= 0) return;
            IdleCount = static_cast<std::int32_t>(IdleLimit - silent / kCycleMs);
            if (const Millis at = m_budget.reportAt(); at != 0 && now >= at)
                m_host.mainThread().call([&] { m_budget.report(m_host, who()); });
        } else if (status == RecvStatus::Overlong) {
            // From here on only the excerpt stands for the line.
            IdleCount = IdleLimit;
            idleSince = steadyClock().now();
            line = overlongExcerpt(line, m_socket.lastLineLength());
            processNumberedLines();
            answerLine(line, true);
        } else if (status == RecvStatus::Line) {
            IdleCount = IdleLimit;
            idleSince = steadyClock().now();
            if (line == "OK") {
                NextAttempt = now;
                SyncDue = false;
            }
            if (isNumberedLine(line)) {
                line[13] = '3';
                ++BatchCount;
                auto number = hexAt(line, 64, 4);
                if (!number || *number != BatchCount) BatchBroken = true;
                m_numbered.push_back(std::move(line));  // acknowledged later, with its batch
                if (!m_socket.hasBufferedLine()) processNumberedLines();
            } else {
                processNumberedLines();
                answerLine(line);
            }
        } else {
            processNumberedLines();
            return;  // closed, reset, overflowing line, or stop requested
        }
        if (m_stop.isSet() || m_sendFailed) return;
        if (identifyTimeOver()) {
            closeUnidentified();
            return;
        }
    }
}

bool TTCPEchoThrd::identifyTimeOver() const {
    return IdentifyTime > 0 && HpId.load() == 0 && m_host.clock().now() >= m_identifyBy;
}

void TTCPEchoThrd::closeUnidentified() {
    ++m_host.counters().unidentifiedClosed;
    tellUnidentified(Ip, IdentifyTime);
}

void TTCPEchoThrd::answerLine(std::string& line, bool overlong) {
    if (!overlong && answersFromMainThread(line)) {
        answerFromMainThread(line);
        return;
    }
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
    const bool control = !overlong && hasControlByte(trimLine(line));
    if (control) ++m_host.counters().controlByteLines;
    const std::string_view logged = overlong || control ? trimLine(line) : std::string_view();
    const std::string shown = hexId(HpId) + ":" + line;
    m_host.mainThread().call([&] { m_budget.write(m_host, who(), logged, shown); });
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

bool TTCPEchoThrd::answersFromMainThread(const std::string& line) {
    // Exactly the passes whose response step would send a plain acknowledgement and nothing
    // else: no command pending, no time command due, nothing to trace, journals taking their
    // records.
    if (!isEventLine(line) || hasPendingCmd() || !m_host.journalsHealthy()) return false;
    if (SyncDue && m_host.clock().now() > NextAttempt) return false;
    const std::uint32_t id = HpId.load();
    return id == 0 || id != m_host.traceId();
}

void TTCPEchoThrd::answerFromMainThread(const std::string& received) {
    Ack.clear();
    ++MCnt;
    BatchCount = 0;
    BatchBroken = false;
    MainThread& main = m_host.mainThread();
    // The closure holds two pointers only, so handing it over allocates nothing.
    m_answerLine.assign(trimLine(received));
    main.submit(m_answer, [this, &main] {
        LogText = m_answerLine;
        processOnMainThread(m_answerLine);
        // The answer leaves once the batch has written (and in the fsync mode synced) what
        // the line put into the journals; this thread is released after it.
        main.releaseAfterBatch([this] {
            if (!m_gate.mayAnswer()) return;  // not kept: the repeater sends the line again
            const long sent = m_socket.trySend(kCrLf);
            if (sent >= 0) ++m_host.counters().eventsAnswered;
            if (sent < 0) {
                m_answerFailed = true;
            } else if (static_cast<std::size_t>(sent) < kCrLf.size()) {
                m_unsent.assign(kCrLf.substr(static_cast<std::size_t>(sent)));
            }
        });
    });
}

void TTCPEchoThrd::settleAnswer() {
    if (!m_answer.inFlight()) return;
    const bool ran = m_host.mainThread().await(m_answer);
    if (!ran) {
        m_sendFailed = true;  // the hand-over is closed: the server is going away
        return;
    }
    if (!m_unsent.empty()) {
        sendNow(m_unsent);
        m_unsent.clear();
    }
    if (m_answerFailed) {
        m_answerFailed = false;
        m_sendFailed = true;
    }
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
        m_budget.report(m_host, who());
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
    if (status == RecvStatus::Line) traceReceived(line.empty() ? std::string(kCrLf) : line);
    if (status == RecvStatus::Overlong) {
        // line holds the first kMaxRepeaterLine bytes; the rest was never kept.
        ++m_host.counters().overlongLines;
        traceReceived(overlongExcerpt(line, m_socket.lastLineLength()));
    }
    return status;
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
        case RecvStatus::Line: return ReplyStatus::Line;
        case RecvStatus::Timeout: return ReplyStatus::Timeout;
        case RecvStatus::Overlong: {
            // Logged as refused; the exchange sees the line's first kMaxRepeaterLine bytes, a
            // line longer than any it expects, and drops it as it drops every such line.
            const std::string excerpt = overlongExcerpt(line, m_socket.lastLineLength());
            m_host.mainThread().call([&] { m_budget.write(m_host, who(), excerpt, {}); });
            return ReplyStatus::Line;
        }
        default: m_sendFailed = true; return ReplyStatus::Broken;  // the connection ends after
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
    // A failed send ends the connection at the end of the cycle: either the peer is gone, or it
    // has not read for the whole send time-out and the stream can no longer be trusted.
    if (!m_socket.sendAll(bytes, &m_stop)) m_sendFailed = true;
}

bool TTCPEchoThrd::releaseAnswer() {
    const std::uint64_t before = m_gate.withheld();
    if (std::string held = m_gate.release(); !held.empty()) sendNow(held);
    return m_gate.withheld() == before;
}

}  // namespace kormlink
