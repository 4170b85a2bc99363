#pragma once

// TTCPEchoThrd: one repeater connection over TCP and the conversation held on it.
//
// The thread greets the repeater and sets its clock, registers the connection, then runs
// receive cycles of 500 ms until the connection ends:
//   - every line except a numbered event line goes through the response step: the batch
//     acknowledgement "D<count>/" when an empty line closes a batch of numbered lines (D0/ when
//     one was out of place), then the operator's pending command, or the due time command, or
//     a plain acknowledgement (empty line) of an event line;
//   - event lines (beginning with "COM") are logged, teach the connection its repeater Id, and
//     go to the output channels, except status lines, which are passed on only when they change
//     or when the test time has passed since the last one was passed on; all of this happens
//     before the answer to the line leaves, and the answer waits until the channels' journals
//     hold the line (AnswerGate);
//   - other non-empty lines are replies to commands and are shown in the command window; a
//     line with a control byte in it is no event but such a line, and goes to the status log
//     as well, escaped;
//   - a line longer than kMaxRepeaterLine is refused: counted, its excerpt logged, the rest
//     of it discarded unread, and it is then treated as a reply line;
//   - what the connection writes about lines that are not valid events is held to a budget
//     a minute (LogBudget);
//   - 2 x ECnst receive time-outs in a row, a closed or broken connection, an overlong line
//     whose end does not come within kOverlongEndMs, no valid event line with a repeater Id
//     within IdentifyTime, or a stop request end the connection.
// Everything that touches shared state runs on the main thread through the hand-over.
//
// The object owns itself: its thread holds the only owning reference and the object is gone
// when the thread ends. Others wait on completion().

#include <memory>
#include <string>
#include <vector>

#include "core/answer_gate.h"
#include "core/config.h"
#include "core/event_line.h"
#include "core/main_thread.h"
#include "device/hosted_exchange_io.h"
#include "repeater_link/log_budget.h"
#include "repeater_link/status_lines.h"
#include "platform/tcp.h"
#include "platform/tcp_acceptor.h"
#include "repeater_link/repeater_connection.h"

namespace kormlink {

class ServerHost;

class TTCPEchoThrd final : public RepeaterConnection, private HostedExchangeIo {
public:
    static constexpr Millis kCycleMs = 500;
    static constexpr Millis kMaxWaitMs = 3'600'000;  // a bound on any single wait
    // The end of an overlong line must come this soon after the line passed the cap; bytes
    // that keep coming without it are a stream, and the connection ends.
    static constexpr Millis kOverlongEndMs = 2000;

    // Reads the connection's settings from the configuration file and starts its thread.
    // host.workerStarted() is called before the thread exists and workerEnded() as the last
    // step of the thread. Throws std::system_error when no thread can be started (the socket is
    // then closed). The address slot is kept until the thread ends.
    static void start(ServerHost& host, UniqueFd socket, std::int32_t nr, AddressSlot slot = {});

    void requestStop() override;

    ~TTCPEchoThrd() override;

private:
    TTCPEchoThrd(ServerHost& host, UniqueFd socket, std::int32_t nr);

    void run();
    bool startConnection();
    void runCycles();
    // How long the next receive may wait; idleSince: when the idle count began.
    Millis nextWait(Millis idleSince) const;
    void endConnection();

    // The response step; an exchange may replace the pass's line. event: the line is an
    // event line (an overlong line's excerpt never is).
    void respond(std::string& line, bool event);
    void processEventLine(const std::string& line);
    // Main thread: logs and routes one trimmed event line (the body of processEventLine).
    void processOnMainThread(const std::string& line);
    // Numbered lines wait to be acknowledged with their batch; those received in one go are
    // logged and routed in one hand-over, before anything else happens on the connection.
    void processNumberedLines();

    // The plain answer to an event line, when nothing else is due, leaves from the main thread
    // right after the line was logged and routed, so this thread need not wake for it. It is
    // handed over without waiting; settleAnswer() collects the outcome before the connection
    // does anything else, which keeps every byte in order.
    bool answersFromMainThread(const std::string& line);
    void countAnswered(const std::string& line, bool event);
    void answerFromMainThread(const std::string& line);
    void settleAnswer();

    // ExchangeIo: the command exchanges run on this connection's thread and socket.
    bool isSerial() const override { return false; }
    std::uint32_t linkId() const override { return HpId.load(); }
    ReplyStatus readReply(std::string& line, Millis timeoutMs) override;
    void sendText(const std::string& text) override { SendLine(text); }
    std::string waitForPrompt() override;

    RecvStatus RecvLine(std::string& line, Millis timeoutMs);
    void traceReceived(const std::string& text);
    void SendLine(const std::string& text);
    void sendNow(const std::string& bytes);
    // Processes a held event line and sends its answer; false when the answer was withheld.
    bool releaseAnswer();
    // One received line other than a numbered event line: the response step and the event.
    // overlong: line is the excerpt of a refused overlong line.
    void answerLine(std::string& line, bool overlong = false);
    // A line that is no event, after its response step: shown, and logged when it holds a
    // control byte or is an overlong line's excerpt; within the log budget.
    void noteOtherLine(const std::string& line, bool overlong);
    // The connection as the logs name it: its Id and address.
    std::string who() const { return hexId(HpId.load()) + " " + Ip; }
    // No valid event line with an Id came within IdentifyTime: counted, told (at most once a
    // minute for all connections), and the connection ends.
    bool identifyTimeOver() const;
    void closeUnidentified();
    void pause(Millis ms) { pauseMs(ms); }
    void showInCommandWindow(const std::string& text) { show(text); }

    ServerHost& m_host;
    TcpSocket m_socket;
    Waker m_stop{Waker::WithoutDescriptor{}};  // ten thousand connections: no descriptor each
    bool m_sendFailed = false;

    // Fields of the connection record.
    std::int32_t IdleCount = 0;
    std::uint32_t LineId = 0;
    Millis CmdDelay = 0;
    Millis SyncP = 0;
    Millis LoadDelay = 0;
    std::string SysTimeCmd;
    std::string LogText;
    bool SyncDue = false;
    Millis ACKDelay = 0;
    std::int32_t IdleLimit = 0;
    Millis IdentifyTime = 0;   // 0: no deadline
    Millis m_identifyBy = 0;   // the deadline, from the start of the connection

    // Cycle state.
    Millis NextSync = 0;
    Millis NextAttempt = 0;
    std::uint16_t BatchCount = 0;
    bool BatchBroken = false;
    std::string Ack;
    StatusLines m_status{true};  // main thread
    LogBudget m_budget;          // main thread
    AnswerGate m_gate{m_host};

    // The answer handed to the main thread; its outcome is read after settleAnswer().
    MainThread::Handover m_answer;
    std::string m_answerLine;    // the line m_answer carries (its buffer is reused)
    std::vector<std::string> m_numbered;  // received numbered lines not yet processed
    std::string m_unsent;        // what the socket did not take at once: sent from here
    bool m_answerFailed = false; // the peer was gone
};

}  // namespace kormlink
