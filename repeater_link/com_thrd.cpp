#include "repeater_link/com_thrd.h"

#include <poll.h>

#include <atomic>
#include <cstdio>
#include <exception>
#include <thread>

#include "core/daily_logs.h"
#include "core/event_line.h"
#include "core/main_thread.h"
#include "core/operator_view.h"
#include "core/server_host.h"
#include "platform/console_output.h"
#include "repeater_link/host_list.h"

namespace kormlink {

// The reader never holds more than kDiscardAbove + kReadChunk bytes without a CR, so no line it
// returns passes the cap of repeater lines; a longer stream is discarded unlogged.
static_assert(TComThrd::kDiscardAbove + TComThrd::kReadChunk <= kMaxRepeaterLine);

bool TComThrd::Create(ServerHost& host, std::int32_t nr) {
    const IniFile ini = host.readConfig();
    const std::int32_t number = ini.readInteger("ComIn", "Com", 1);
    std::string error;
    const std::string path = serialDevicePath(ini, number);
    const SerialSettings settings = readSerialSettings(ini, "ComIn");
    auto port = SerialPort::open(path, settings, &error);
    if (!port) return false;  // no serial link, and nothing to report
    std::shared_ptr<TComThrd> self(new TComThrd(
        host,
        ReopeningSerialPort("serial repeater link COM" + std::to_string(number), path, settings,
                            std::move(port)),
        nr));
    // Registered before the thread starts, so a stop that follows at once finds it.
    if (tHostList* list = host.hostList()) {
        list->AppendConnection(self.get());
        self->InRegistry = true;
    }
    host.workerStarted(WorkerKind::Repeater);
    try {
        std::thread([self]() mutable {
            ServerHost& host = self->m_host;
            self->run();
            if (self->InRegistry) {
                consolePrint(ConsoleStream::Err, "Kormlink: the serial repeater link could not "
                                                 "leave the registry; its memory is kept");
                new std::shared_ptr<TComThrd>(std::move(self));
            }
            self.reset();
            host.workerEnded(WorkerKind::Repeater);
        }).detach();
    } catch (...) {
        if (tHostList* list = host.hostList()) list->UnregisterConnection(self.get());
        self->InRegistry = false;
        host.workerEnded(WorkerKind::Repeater);
        throw;
    }
    // Shown once the thread owns the link: a failing view cannot leave the registry dangling.
    host.ShowConnectionCount();
    return true;
}

TComThrd::TComThrd(ServerHost& host, ReopeningSerialPort port, std::int32_t nr)
    : HostedExchangeIo(host, m_stop), m_host(host), m_port(std::move(port)) {
    Nr = nr;
    Ip = "Com";
    HpId = kSerialHpId;
    const IniFile ini = host.readConfig();
    CmdDelay = ini.readInteger("Sock", "CmdDelay", 1000);
    LoadDelay = ini.readInteger("loadee", "delay", 5000);
    SyncP = static_cast<Millis>(ini.readInteger("ComIn", "SyncP", 60)) * 60'000;
}

void TComThrd::run() {
    try {
        NextSync = m_host.clock().now() + SyncP;
        SendLine(std::string(kRepeaterGreeting) + std::string(kCrLf));
        SendLine(sysTimeCommand(m_host.localTime()) + std::string(kCrLf));
        ++m_host.counters().timeSyncsToRepeaters;
        runCycles();
    } catch (const std::exception& e) {
        consolePrintf(ConsoleStream::Err, "Kormlink: serial repeater link ended by an error: %s\n",
                      e.what());
    } catch (...) {
        consolePrintf(ConsoleStream::Err, "Kormlink: serial repeater link ended by an error\n");
    }
    try {
        // The link leaves the registry itself, like a TCP connection, so no entry outlives it.
        leaveRegistry(m_host, [&] { m_budget.report(m_host, who(), true); });
    } catch (...) {
        // the view failed after the link had left the registry
    }
    completion()->set();
}

void TComThrd::runCycles() {
    while (!m_stop.isSet()) {
        std::string line = RecvLine(kCycleMs);
        const Millis now = m_host.clock().now();
        if (const Millis at = m_budget.reportAt(); at != 0 && now >= at)
            m_host.mainThread().call([&] { m_budget.report(m_host, who()); });
        if (SyncP > 0 && now > NextSync) {
            NextSync = now + SyncP;
            SyncDue = true;
        }
        if (line.empty()) {
            // A time-out or a blank line: only a pending command goes out.
            if (auto [cmd, editor] = takePendingCmd(); !cmd.empty()) {
                CommandContext ctx{cmd, editor, "", LoadDelay, 0};
                DispatchResult result = DispatchCommand(*this, ctx);
                if (!result.stillPending.empty())
                    keepPendingCmd(result.stillPending, result.editor);
            }
            continue;
        }
        if (line == "OK") {
            NextAttempt = now;
            SyncDue = false;
        }
        if (isNumberedLine(line)) {
            line[13] = '3';
            ++BatchCount;  // counted, but the serial link never acknowledges batches
            processEventLine(line);
            continue;
        }
        const std::string received = line;
        const bool event = isEventLine(received);
        const auto pass = m_gate.respondTo(
            event, [this, &received] { processEventLine(received); }, [&] { respond(line); },
            [this] { releaseAnswer(); });
        if (pass == AnswerGate::Pass::Withheld) {
            BatchCount = 0;
            continue;
        }
        if (line == received && event) continue;  // processed before its answer
        if (isEventLine(line)) {
            processEventLine(line);  // the last reply an exchange read
        } else if (!line.empty()) {
            // A line with a control byte is no event either, and is logged escaped.
            if (hasControlByte(line)) ++m_host.counters().controlByteLines;
            const std::string shown = hexId(kSerialHpId) + ":" + line;
            m_host.mainThread().call([&] { m_budget.write(m_host, who(), line, shown); });
        }
    }
}

void TComThrd::respond(std::string& line) {
    if (auto [cmd, editor] = takePendingCmd(); !cmd.empty()) {
        if (isPlainCommand(cmd))
            m_gate.onWithheld([this, cmd = cmd, editor = editor] { keepPendingCmd(cmd, editor); });
        CommandContext ctx{cmd, editor, "", LoadDelay, 0};
        DispatchResult result = DispatchCommand(*this, ctx);
        if (!result.stillPending.empty()) keepPendingCmd(result.stillPending, result.editor);
        if (result.replacesLine) line = result.line;
    } else if (SyncDue && m_host.clock().now() > NextAttempt) {
        SysTimeCmd = sysTimeCommand(m_host.localTime());
        NextAttempt = m_host.clock().now() + CmdDelay;
        LogText = hexId(kSerialHpId) + ":" + std::string(trimLine("->" + SysTimeCmd));
        m_host.mainThread().call([&] {
            m_host.view().ShowInCommandWindow(LogText);
            m_host.logs().WriteEventLog(LogText);
        });
        SendLine(SysTimeCmd + std::string(kCrLf));
        SysTimeCmd.clear();
        ++m_host.counters().timeSyncsToRepeaters;
        if (isEventLine(line)) ++m_host.counters().eventsAnswered;
    } else if (isEventLine(line)) {
        SendLine(std::string(kCrLf));
        ++m_host.counters().eventsAnswered;
    }
    ++MCnt;
    BatchCount = 0;
}

void TComThrd::processEventLine(const std::string& received) {
    const std::string line(trimLine(received));
    LogText = line;
    m_host.mainThread().call([&] {
        m_host.logs().WriteEventLog(LogText);
        const EventFields fields = parseEventFields(line);
        m_status.offer(line, fields, m_host.clock().now(), m_host.TestTime(), m_host.localTime(),
                       [&](std::string event) {
                           EventLine = std::move(event);
                           m_host.RouteEvent(EventLine, EventSource::Serial);
                           m_gate.noteRouted();
                           m_host.MarkRefresh();
                       });
    });
}

std::string TComThrd::RecvLine(Millis timeoutMs) {
    auto takeLine = [this]() -> std::optional<std::string> {
        const std::size_t cr = RxBuffer.find('\r');
        if (cr == std::string::npos) return std::nullopt;
        std::string line(trimLine(std::string_view(RxBuffer).substr(0, cr + 1)));
        RxBuffer.erase(0, cr + 1);
        return line;
    };
    std::optional<std::string> line = takeLine();
    const Millis deadline = m_host.clock().now() + timeoutMs;
    while (!line && !m_stop.isSet()) {
        const Millis left = deadline - m_host.clock().now();
        if (left <= 0) break;
        if (RxBuffer.size() > kDiscardAbove) {
            pause(left);  // a stream without CR: wait out the time, then drop it
            break;
        }
        SerialPort* port = m_port.port(m_host.clock().now());
        if (!port) {
            pause(left);  // gone: nothing can arrive before it is open again
            break;
        }
        std::string chunk;
        if (!port->readSome(chunk, kReadChunk, left, &m_stop)) break;
        RxBuffer += chunk;
        line = takeLine();
    }
    if (!line) {
        SerialPort* port = m_port.current();
        if (RxBuffer.size() > kDiscardAbove || (port && port->bytesWaiting() > kDiscardAbove)) {
            RxBuffer.clear();
            if (port) port->discardInput();
        }
        return {};
    }
    if (!line->empty()) traceText(TraceDirection::Received, *line);
    return *line;
}

void TComThrd::SendLine(const std::string& text) {
    traceText(TraceDirection::Sent, text);
    if (m_gate.admit(text)) sendNow(text);
}

void TComThrd::sendNow(const std::string& bytes) {
    // The whole text goes to the port, or (held by flow control) is dropped after the time-out.
    // A port that has gone takes nothing: the text is lost like one held by flow control.
    SerialPort* port = m_port.port(m_host.clock().now());
    if (port && !port->write(bytes, kWriteTimeoutMs, &m_stop)) port->discardOutput();
}

bool TComThrd::releaseAnswer() {
    const std::uint64_t before = m_gate.withheld();
    if (std::string held = m_gate.release(); !held.empty()) sendNow(held);
    return m_gate.withheld() == before;
}

void TComThrd::traceText(TraceDirection direction, const std::string& text) {
    if (m_host.traceId() != kSerialHpId) return;
    m_host.mainThread().call([&] { m_host.view().traceText(direction, text); });
}

ReplyStatus TComThrd::readReply(std::string& line, Millis timeoutMs) {
    // An exchange's first line leaves only after the event it answers; withheld, the exchange
    // ends there.
    if (!releaseAnswer()) return ReplyStatus::Broken;
    line = RecvLine(timeoutMs);
    return m_stop.isSet() ? ReplyStatus::Broken : ReplyStatus::Line;
}

std::string TComThrd::waitForPrompt() {
    // Up to 601 looks of 100 ms for 14 bytes; then whatever has come (at most 255 bytes), read
    // past the line buffer.
    if (!releaseAnswer()) return {};
    std::string reply;
    for (int i = 0; i < 601 && reply.size() < 14 && !m_stop.isSet(); ++i) {
        if (SerialPort* port = m_port.current()) {
            port->readSome(reply, 255 - reply.size(), 100, &m_stop);
        } else {
            pause(100);
        }
    }
    if (!reply.empty()) traceText(TraceDirection::Received, reply);
    return reply;
}

}  // namespace kormlink
