#pragma once

// TTCPEchoThrd: one repeater connection over TCP and the conversation held on it.
//
// The connection greets the repeater and sets its clock, registers itself, then answers lines
// until the connection ends:
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
//   - 2 x ECnst cycles of kCycleMs without a line, a closed or broken connection, an overlong
//     line whose end does not come within kOverlongEndMs, no valid event line with a repeater
//     Id within IdentifyTime, or a stop request end the connection.
// Everything that touches shared state runs on the main thread through the hand-over.
//
// Design: an event loop serves the connection, and a worker thread takes it for the passes
// that wait.
//   The conversation that every connection holds all the time (the greeting, event lines and
//   their plain answers, numbered batches and their "D<n>/", empty lines, the idle close, the
//   identify deadline) runs on one of a few event loops (EventLoop) as a state machine: a line
//   that needs the main thread is handed over without waiting (MainThread::post), the loop
//   serves other connections meanwhile, and the main thread lets the answer go once the batch
//   has written the journals and hands the connection back to its loop, which sends it. What
//   one turn of a loop hands over goes as one piece, and the main thread hands back a whole
//   drain in one piece per loop, so a batch of lines costs one wake-up each way. Deadlines are
//   one timer per connection in the loop's heap. Ten thousand connections thus cost a few
//   threads and no wake-up of their own per line.
//   Every other pass (a line when a command is pending or the time command is due, replies,
//   refused lines, a traced repeater, passes while a journal fails) runs on a worker thread
//   (WorkerPool), the loop leaving the connection alone until the worker hands it back. Those
//   passes are the command exchanges (dicfg, prog, upee, upfirm and plain commands), which wait
//   for replies for seconds, pause for LoadDelay and ACKDelay, and wait for the operator's
//   error box: written as blocking code they are the same code as on the serial link, which
//   has a thread of its own; as states of a loop they would be a second copy of every exchange.
//   They are rare (the operator's commands, once an hour the time command) and a worker costs
//   nothing while none runs.
//   Bytes and times on the wire are the same either way: the worker runs the same response
//   step, and the loop sends only what that step would have sent.
//
// The object is shared by its loop's closures and the passes in flight; it is gone when the
// last of them is done. Others wait on completion().

#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "core/answer_gate.h"
#include "core/config.h"
#include "core/event_line.h"
#include "core/main_thread.h"
#include "device/hosted_exchange_io.h"
#include "platform/event_loop.h"
#include "platform/tcp.h"
#include "platform/tcp_acceptor.h"
#include "repeater_link/log_budget.h"
#include "repeater_link/repeater_connection.h"
#include "repeater_link/status_lines.h"

namespace kormlink {

class ServerHost;

class TTCPEchoThrd final : public RepeaterConnection,
                           private HostedExchangeIo,
                           private EventLoop::Handler,
                           private EventLoop::Resumable,
                           public std::enable_shared_from_this<TTCPEchoThrd> {
  public:
    static constexpr Millis kCycleMs = 500;
    static constexpr Millis kMaxWaitMs = 3'600'000;  // a bound on any single wait
    // The end of an overlong line must come this soon after the line passed the cap; bytes
    // that keep coming without it are a stream, and the connection ends.
    static constexpr Millis kOverlongEndMs = 2000;

    // Hands the connection to one of the host's event loops, which reads its settings from the
    // configuration file and greets the repeater. host.workerStarted() is called before and
    // workerEnded() as the last step of the connection. Throws std::system_error when no loop takes
    // it (the socket is then closed). The address slot is kept until the connection ends.
    static void start(ServerHost& host, UniqueFd socket, std::int32_t nr, AddressSlot slot = {});

    void requestStop() override;

    ~TTCPEchoThrd() override;

  private:
    TTCPEchoThrd(ServerHost& host, UniqueFd socket, std::int32_t nr, EventLoop& loop);

    // Where the connection is: its loop serves it (Running), or the main thread or a worker
    // has it for a pass and the loop leaves it alone until they hand it back.
    enum class Phase { Starting, Running, OnMain, OnWorker, Ending };

    // ---- Loop thread ----
    void begin();
    void registered();
    // Takes received lines while the connection is the loop's, then waits for the next edge.
    void pump();
    void onLine(RecvStatus status, std::string& line);
    void onEvents(std::uint32_t events) override;
    void onLoopStopped() override;
    void onTimer();
    void armTimer();
    // After a pass: the checks that end the connection, then the next lines.
    void resume();
    void toWorker(RecvStatus status, std::string line);
    // The plain passes, done by the main thread without the loop waiting.
    void numberedToMain();
    void answerToMain(std::string line, bool batchEnd);
    void otherToMain(std::string line);
    // Sends bytes without waiting; what the socket does not take waits in the outbox.
    void queueSend(std::string_view bytes);
    void flushOutbox();
    void end();
    // Whether a received line is one of the plain passes.
    bool plainPass(const std::string& line) const;
    bool traced() const;

    // ---- Main thread ----
    void processNumberedOnMain();
    // A hand-over failed: told, and the connection ends when it is back on its loop.
    void failedOnMain(std::exception_ptr error);
    // Any thread: the pass is over, the loop has the connection again. (A loop that has ended
    // leaves it to the stop that ended the loop.)
    void backToLoop(std::shared_ptr<TTCPEchoThrd> self);
    void resumeOnLoop() override;
    // Loop thread: hands task to the main thread with the others of this turn.
    void toMain(MainThread::Task task);
    void finishOnMain(std::shared_ptr<TTCPEchoThrd> self);

    // ---- Worker thread: one pass that may wait ----
    void workerPass(RecvStatus status, std::string& line);

    // How long the next wait may last; idleSince: when the idle count began.
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
    // Any thread that has the connection: holds a numbered line for its batch (its "#4"
    // becomes "#3") and says whether the lines held should be handed on now, because no
    // further line of this read is waiting.
    bool holdNumbered(std::string& line);
    void countAnswered(const std::string& line, bool event);

    // ExchangeIo: the command exchanges run on a worker with this connection's socket.
    bool isSerial() const override { return false; }
    std::uint32_t linkId() const override { return HpId.load(); }
    ReplyStatus readReply(std::string& line, Millis timeoutMs) override;
    void sendText(const std::string& text) override { SendLine(text); }
    std::string waitForPrompt() override;

    RecvStatus RecvLine(std::string& line, Millis timeoutMs);
    void noteReceived(RecvStatus status, std::string& line);
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
    void noteOtherLineOnMain(const std::string& line, bool overlong);
    // The connection as the logs name it: its Id and address.
    std::string who() const { return hexId(HpId.load()) + " " + Ip; }
    // No valid event line with an Id came within IdentifyTime: counted, told (at most once a
    // minute for all connections), and the connection ends.
    bool identifyTimeOver() const;
    void closeUnidentified();
    void pause(Millis ms) { pauseMs(ms); }

    ServerHost& m_host;
    EventLoop& m_loop;
    TcpSocket m_socket;
    Waker m_stop{Waker::WithoutDescriptor{}};  // ten thousand connections: no descriptor each
    bool m_sendFailed = false;
    AddressSlot m_slot;
    std::shared_ptr<TTCPEchoThrd> m_self;  // the loop's hold on the connection until it ends
    Phase m_phase = Phase::Starting;
    bool m_onWorker = false;  // sends wait (a worker's pass) rather than queue (the loop)
    bool m_hungUpMeanwhile = false;  // loop: the peer hung up while a worker had the socket
    bool m_endAfterPass = false;
    LoopTimer m_timer{[this] { onTimer(); }};
    std::string m_outbox;      // loop: what the socket did not take yet
    bool m_corked = false;     // sends gather in the outbox until flushOutbox()
    Millis m_outboxSince = 0;  // when it stopped taking it
    Millis m_idleSince = 0;    // steady time of the last line

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
    Millis IdentifyTime = 0;  // 0: no deadline
    Millis m_identifyBy = 0;  // the deadline, from the start of the connection

    // Cycle state.
    Millis NextSync = 0;
    Millis NextAttempt = 0;
    std::uint16_t BatchCount = 0;
    bool BatchBroken = false;
    std::string Ack;
    StatusLines m_status{true};  // main thread
    LogBudget m_budget;          // main thread
    AnswerGate m_gate{m_host};

    std::vector<std::string> m_numbered;  // received numbered lines not yet processed
    // The main thread let the plain answer (Ack and CR LF) go: the lines it acknowledges;
    // -1 when there is none to send. The loop sends it when the connection comes back.
    int m_answerCount = -1;
    int m_pendingCount = 0;         // what it would acknowledge, while on the main thread
    bool m_answerBatchEnd = false;  // the pass answers a batch ("D<n>/"), not an event line
    std::string m_answerLine;       // the line of the plain pass on the main thread
};

}  // namespace kormlink
