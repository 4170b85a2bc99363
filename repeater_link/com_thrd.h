#pragma once

// TComThrd: the serial repeater link. One repeater wired to a serial port (INI section ComIn)
// takes part like a TCP repeater: it is an entry of the connection registry (Ip "Com", HpId
// 0x7777, Nr 2), its events are logged and routed, its clock is kept in step, and it carries out
// the operator's commands. The differences from a TCP connection:
//   - lines end at CR (the LF of CR LF is trimmed from the next line); at most 100 bytes are
//     taken per read, and a stream of more than 400 bytes without CR is discarded;
//   - a time-out and an empty line are the same; such a pass only carries out a pending command,
//     so a command leaves within about half a second even while the repeater is silent;
//   - no batch acknowledgement, no ACKDelay pause, never closed for silence;
//   - every line beginning with "COM" is an event (no length test) and is routed without the
//     duplicate test, unless it holds a control byte; other lines go to the status log
//     (escaped) and the command window, within the log budget (LogBudget);
//   - HpId never changes: no re-sorting, no open or close records.
// As on TCP, an event line is logged and routed before its answer leaves, and the answer waits
// until the channels' journals hold it (AnswerGate).
//
// The object owns itself; others wait on completion().

#include <memory>
#include <optional>
#include <string>

#include "core/answer_gate.h"
#include "core/event_line.h"
#include "core/operator_view.h"
#include "device/hosted_exchange_io.h"
#include "platform/serial.h"
#include "platform/tcp.h"
#include "repeater_link/repeater_connection.h"
#include "repeater_link/log_budget.h"
#include "repeater_link/status_lines.h"

namespace kormlink {

class ServerHost;

class TComThrd final : public RepeaterConnection, private HostedExchangeIo {
public:
    static constexpr std::uint32_t kSerialHpId = 0x7777;
    static constexpr Millis kCycleMs = 500;
    static constexpr std::size_t kReadChunk = 100;
    static constexpr std::size_t kDiscardAbove = 400;
    static constexpr Millis kWriteTimeoutMs = 2000;

    // Opens the port of ComIn/Com and starts the link with that Nr; false (no link, no message)
    // when the port cannot be opened. Main thread; the link registers itself at once.
    static bool Create(ServerHost& host, std::int32_t nr);

    void requestStop() override { m_stop.wake(); }

private:
    TComThrd(ServerHost& host, ReopeningSerialPort port, std::int32_t nr);

    void run();
    void runCycles();
    void respond(std::string& line);
    void processEventLine(const std::string& line);
    std::string RecvLine(Millis timeoutMs);
    void SendLine(const std::string& text);
    void sendNow(const std::string& bytes);
    bool releaseAnswer();  // false when the answer was withheld
    void traceText(TraceDirection direction, const std::string& text);
    void pause(Millis ms) { pauseMs(ms); }
    void showInCommandWindow(const std::string& text) { show(text); }
    std::string who() const { return hexId(kSerialHpId) + " " + Ip; }

    // ExchangeIo.
    bool isSerial() const override { return true; }
    std::uint32_t linkId() const override { return kSerialHpId; }
    ReplyStatus readReply(std::string& line, Millis timeoutMs) override;
    void sendText(const std::string& text) override { SendLine(text); }
    std::string waitForPrompt() override;

    ServerHost& m_host;
    ReopeningSerialPort m_port;  // tried again every few seconds once it has gone
    Waker m_stop;
    std::string RxBuffer;

    Millis CmdDelay = 1000;
    Millis LoadDelay = 5000;
    Millis SyncP = 0;
    std::string SysTimeCmd;
    std::string LogText;
    bool SyncDue = false;
    Millis NextSync = 0;
    Millis NextAttempt = 0;
    std::uint16_t BatchCount = 0;
    StatusLines m_status{false};  // main thread
    LogBudget m_budget;           // main thread
    AnswerGate m_gate{m_host};
};

}  // namespace kormlink
