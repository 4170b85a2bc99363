#include "repeater_link/tcp_echo_thrd.h"

#include <poll.h>

#include <cstdio>
#include <exception>
#include <thread>

#include "core/main_thread.h"
#include "core/operator_view.h"
#include "repeater_link/daily_logs.h"
#include "repeater_link/event_line.h"
#include "repeater_link/host_list.h"
#include "core/server_host.h"

namespace kormlink {
namespace {

// Command forms whose exchanges are carried out by the device-command layer.
bool isExchangeCommand(const std::string& cmd) {
    for (const char* form : {"?upfirm", ":upfirm", ":upee", "prog"})
        if (cmd.find(form) != std::string::npos) return true;
    return false;
}

// Positions 47-62 of a status line: its state content.
constexpr size_t kStateFrom = 46;
constexpr size_t kStateLen = 16;
// Position 44: the kind digit.
constexpr size_t kKindIndex = 43;

}  // namespace

void TTCPEchoThrd::start(ServerHost& host, UniqueFd socket, std::int32_t nr) {
    std::shared_ptr<TTCPEchoThrd> self(new TTCPEchoThrd(host, std::move(socket), nr));
    host.workerStarted(WorkerKind::Repeater);
    try {
        std::thread([self]() mutable {
            ServerHost& host = self->m_host;
            self->run();
            self.reset();  // the connection object is gone before the server hears of the end
            host.workerEnded(WorkerKind::Repeater);
        }).detach();
    } catch (...) {
        host.workerEnded(WorkerKind::Repeater);
        throw;
    }
}

TTCPEchoThrd::TTCPEchoThrd(ServerHost& host, UniqueFd socket, std::int32_t nr)
    : m_host(host), m_socket(std::move(socket)) {
    Nr = nr;
    const RepeaterConnectionSettings s = readRepeaterConnectionSettings(host.readConfig());
    CmdDelay = s.CmdDelay;
    IdleLimit = s.IdleLimit;
    ACKDelay = s.ACKDelay;
    LoadDelay = s.LoadDelay;
    SyncP = s.SyncP;
}

TTCPEchoThrd::~TTCPEchoThrd() = default;

void TTCPEchoThrd::requestStop() { m_stop.wake(); }

void TTCPEchoThrd::run() {
    bool registered = false;
    try {
        registered = startConnection();
        if (registered) runCycles();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Kormlink: repeater connection %s ended by an error: %s\n", Ip.c_str(),
                     e.what());
    } catch (...) {
        std::fprintf(stderr, "Kormlink: repeater connection %s ended by an error\n", Ip.c_str());
    }
    if (registered) {
        try {
            endConnection();
        } catch (...) {
            // Nothing may escape a connection thread; endConnection unregisters regardless.
        }
    }
    m_socket.shutdownBoth();
    completion()->set();
}

bool TTCPEchoThrd::startConnection() {
    NextSync = m_host.clock().now() + SyncP;
    SendLine(std::string(kRepeaterGreeting) + std::string(kCrLf));
    SendLine(sysTimeCommand(m_host.localTime()) + std::string(kCrLf));
    Ip = m_socket.peerAddress();
    bool registered = false;
    m_host.mainThread().call([&] {
        tHostList* list = m_host.hostList();
        // Once a stop has begun no connection is taken on: it would escape the stop.
        if (!list || !m_host.acceptingConnections()) return;
        list->RegisterConnection(this);
        registered = true;
        m_host.ShowConnectionCount();
    });
    IdleCount = IdleLimit;
    NextAttempt = m_host.clock().now();
    return registered;
}

void TTCPEchoThrd::endConnection() {
    m_host.mainThread().call([&] {
        try {
            if (std::uint32_t id = HpId.load(); id != 0)
                m_host.logs().WriteConnectionLog(
                    connectionRecord(m_host.localTime(), "Close", id, Ip));
        } catch (...) {
            // A lost log line must not leave a dangling registry entry.
        }
        Closed = true;
        if (tHostList* list = m_host.hostList()) list->UnregisterConnection(this);
        m_host.ShowConnectionCount();
    });
}

void TTCPEchoThrd::runCycles() {
    for (;;) {
        std::string line;
        const RecvStatus status = RecvLine(line, kCycleMs);
        const Millis now = m_host.clock().now();
        if (SyncP > 0 && now > NextSync) {
            NextSync = now + SyncP;
            SyncDue = true;
        }
        if (status == RecvStatus::Timeout) {
            if (--IdleCount <= 0) return;
        } else if (status == RecvStatus::Line) {
            IdleCount = IdleLimit;
            if (line == "OK") {
                NextAttempt = now;
                SyncDue = false;
            }
            if (isNumberedLine(line)) {
                line[13] = '3';
                ++BatchCount;
                auto number = hexAt(line, 64, 4);
                if (!number || *number != BatchCount) BatchBroken = true;
            } else {
                respond(line);
            }
            if (isEventLine(line)) {
                processEventLine(line);
            } else if (!line.empty()) {
                showInCommandWindow(hexId(HpId) + ":" + line);
            }
        } else {
            return;  // closed, reset, overflowing line, or stop requested
        }
        if (m_stop.isSet() || m_sendFailed) return;
    }
}

void TTCPEchoThrd::respond(const std::string& line) {
    Ack.clear();
    if (line.empty() && BatchCount != 0) {
        if (BatchBroken) BatchCount = 0;
        Ack = "D" + std::to_string(BatchCount) + "/";
    }
    if (std::string cmd = takePendingCmd(); !cmd.empty()) {
        DispatchCommand(cmd, line);
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
    } else if (isEventLine(line) || !Ack.empty()) {
        SendLine(Ack + std::string(kCrLf));
    }
    ++MCnt;
    BatchCount = 0;
    BatchBroken = false;
}

void TTCPEchoThrd::DispatchCommand(const std::string& cmd, const std::string& line) {
    LogText = hexId(HpId) + ":" + std::string(trimLine("->" + Ack + cmd));
    if (isExchangeCommand(cmd)) {
        // Firmware updates and programming requests need the device-command layer, which this
        // build does not have yet. The command is dropped; the line is still acknowledged.
        std::string notice = hexId(HpId) + ": command not supported yet, dropped: " + cmd;
        m_host.mainThread().call([&] {
            m_host.view().ShowInCommandWindow(LogText);
            m_host.view().ShowInCommandWindow(notice);
        });
        if (isEventLine(line) || !Ack.empty()) SendLine(Ack + std::string(kCrLf));
        return;
    }
    m_host.mainThread().call([&] {
        m_host.view().ShowInCommandWindow(LogText);
        m_host.logs().WriteEventLog(LogText);
    });
    pause(ACKDelay);
    SendLine(Ack + cmd + std::string(kCrLf));
}

void TTCPEchoThrd::processEventLine(const std::string& received) {
    const std::string line(trimLine(received));
    LogText = line;
    m_host.mainThread().call([&] {
        const DailyLogs& logs = m_host.logs();
        if (!hasValidEventLength(line)) {
            logs.WriteStatusLog(LogText);
            return;
        }
        logs.WriteEventLog(LogText);

        const EventFields fields = parseEventFields(line);
        if (fields.hasIdWord) {
            LineId = fields.lineId;
            StatusFlag = 8;
            if (HpId.load() == 0) {
                HpId = LineId;
                if (tHostList* list = m_host.hostList()) list->ResortConnections();
                if (HpId.load() != 0) {
                    LogText = connectionRecord(m_host.localTime(), "Open", HpId, Ip);
                    logs.WriteConnectionLog(LogText);
                }
            }
        }

        if (fields.isStatus()) {
            // Held back; passed on below when it changed or the test time has passed.
            if (PrevStatus.size() >= kStateFrom + kStateLen) {
                if (PrevStatus.compare(kStateFrom, kStateLen, line, kStateFrom, kStateLen) != 0) {
                    StatusFlag = 0;
                    m_forwardDue = true;
                }
            } else {
                m_forwardDue = true;
            }
            PrevStatus = line;
        } else {
            EventLine = line;
            m_host.RouteEvent(EventLine, EventSource::Tcp);
            m_host.MarkRefresh();
        }
        forwardStatusRepetition(m_host.clock().now());
    });
}

// Main thread. Passes the last status line on, freshly stamped, when it is due.
void TTCPEchoThrd::forwardStatusRepetition(Millis now) {
    if (PrevStatus.empty()) return;
    if (!m_forwardDue && now - LastForward <= m_host.TestTime()) return;
    LastForward = now;
    m_forwardDue = false;
    EventLine = PrevStatus;
    EventLine.replace(kTimeStampPos - 1, kTimeStampLen, formatTimeStamp(m_host.localTime()));
    EventLine[kKindIndex] = StatusFlag == 8 ? '8' : '0';
    m_host.RouteEvent(EventLine, EventSource::Tcp);
    m_host.MarkRefresh();
}

RecvStatus TTCPEchoThrd::RecvLine(std::string& line, Millis timeoutMs) {
    RecvStatus status = m_socket.recvLine(line, timeoutMs, &m_stop);
    if (status == RecvStatus::Line) {
        std::uint32_t id = HpId.load();
        if (id != 0 && id == m_host.traceId()) {
            std::string text = line.empty() ? std::string(kCrLf) : line;
            // call(), not post(): a peer flooding lines must not grow the main thread's queue.
            m_host.mainThread().call(
                [&] { m_host.view().traceText(TraceDirection::Received, text); });
        }
    }
    return status;
}

void TTCPEchoThrd::SendLine(const std::string& text) {
    std::uint32_t id = HpId.load();
    if (id != 0 && id == m_host.traceId()) {
        m_host.mainThread().call([&] { m_host.view().traceText(TraceDirection::Sent, text); });
    }
    // A failed send ends the connection at the end of the cycle: either the peer is gone, or it
    // has not read for the whole send time-out and the stream can no longer be trusted.
    if (!m_socket.sendAll(text, &m_stop)) m_sendFailed = true;
}

void TTCPEchoThrd::pause(Millis ms) {
    if (ms <= 0) return;
    pollfd p{m_stop.fd(), POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(std::min<Millis>(ms, INT32_MAX)));
}

void TTCPEchoThrd::showInCommandWindow(const std::string& text) {
    m_host.mainThread().call([&] { m_host.view().ShowInCommandWindow(text); });
}

}  // namespace kormlink
