#pragma once

// TSOutThrd: one monitoring client on the output port.
//
// The client is checked against the address list, greeted with "Kormlink", and names a
// channel within 20 s. Attached, it receives the channel's lines one at a time, each removed
// only when the client answers it with a non-empty line within 5 s; an empty answer gets the
// same line again, no answer ends the connection and leaves the line queued. An answer counts
// for the line it follows only: what the client sent before the line went out is dropped. The
// client also gets "systime<day number>" every Out/SyncP minutes, which it answers with any
// line within 5 s or is disconnected, and "@" after about 10 s without lines.
// A client that names no channel is held for 10 s and closed.
//
// Delivery does not poll: after an acknowledged line the next is fetched at once, and an idle
// connection sleeps until its channel queues a line, the keep-alive or time sync falls due, the
// peer hangs up, or it is stopped.
//
// Design: the conversation is a state machine on one of the server's event loops
// (EventLoop), so a client costs no thread and an idle one little more than its socket.
//   - The loop thread owns the socket and every field of the conversation. It reads with
//     takeLine(), which never waits, sends without waiting (what the socket does not take
//     waits in the outbox for EPOLLOUT), and keeps all deadlines (the Id, an answer, the send
//     time-out, the retry pause, the hold, the keep-alive and the time sync) in one timer of
//     the loop's heap.
//   - Everything shared (the client registry, the channel and client lists, the queue, the
//     logs) is the main thread's: the connection posts a closure there and waits for nothing;
//     the closure posts the connection back to its loop when it is done. The queue is read
//     ahead: kLookAhead lines fetched at a time, answered lines removed in groups by the same
//     hand-over, and the loop goes on only once the batch has written the removals
//     (MainThread::releaseAfterBatch).
//   - The channel tells an attached client of a queued line through ChannelSignal: the main
//     thread sets a flag and posts one wake-up to the loop, unless one is on its way. An
//     eventfd per client would work as well, but costs a descriptor for each of thousands of
//     idle clients and an epoll registration more; the post costs nothing until a line comes.
//   - Nothing the loop runs may block: the tones of this connection only queue a beep (or do
//     nothing headless), and the configuration is read on the acceptor's thread in start().
// The bytes on the wire and their timing are those of a thread that waits for each step in
// turn: the loop takes the same steps, in the same order, with the same time-outs.
//
// The object is shared by its loop's closures and the hand-overs in flight; the loop's hold
// ends with the connection. Others wait on completion().

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/completion.h"
#include "output/channels.h"
#include "platform/event_loop.h"
#include "platform/tcp.h"
#include "platform/tcp_acceptor.h"

namespace kormlink {

class ServerHost;

class TSOutThrd final : private EventLoop::Handler,
                        private ChannelSignal::Listener,
                        public std::enable_shared_from_this<TSOutThrd> {
public:
    static constexpr Millis kIdentifyTimeoutMs = 20'000;
    static constexpr Millis kAnswerTimeoutMs = 5'000;
    static constexpr Millis kKeepAliveAfterMs = 10'000;
    static constexpr Millis kRetryPauseMs = 10;
    static constexpr int kHoldSteps = 100;  // x 100 ms for a client that names no channel
    // The longest line a client may send: its channel Id is at most 64 bytes and its answers
    // are short lines (an event line is 74 characters), so an idle or flooding client holds at
    // most this much of the server's memory. A longer line ends the connection.
    static constexpr std::size_t kMaxLine = 4096;
    // Lines fetched ahead of the one being delivered; answered lines are removed in groups of
    // up to half of it.
    static constexpr std::size_t kLookAhead = 32;
    // The most answered lines whose removal is not yet written: no line is sent while this many
    // wait, so a kill delivers at most this many lines of a client again.
    static constexpr std::size_t kMaxUnremoved = kLookAhead / 2;

    // Reads the client's settings and hands the connection to one of the host's event loops.
    // host.workerStarted() is called before and workerEnded() as the last step of the
    // connection. Throws std::system_error when no loop takes it (the socket is then closed).
    // The address slot is kept until the connection ends.
    static void start(ServerHost& host, UniqueFd socket, AddressSlot slot = {});

    // Any thread: the connection ends on its loop (at once, or when the main thread hands it
    // back).
    void requestStop();
    const std::shared_ptr<Completion>& completion() const { return m_completion; }

    // Main thread: the channel Id as the client named it (empty when none or no such channel).
    const std::string& channelId() const { return Id; }

private:
    TSOutThrd(ServerHost& host, UniqueFd socket, EventLoop& loop);

    // Where the connection is. Registering and Attaching: the main thread has it, and the
    // loop leaves it alone until it is posted back.
    enum class Phase { Starting, Registering, Identifying, Attaching, Holding, Serving, Ending };
    // What a serving connection waits for.
    enum class Wait { None, Answer, RetryPause, Fetch, Idle };
    // What the awaited answer answers.
    enum class Answer { Line, Sync, KeepAlive };
    // Where the delivery goes on after a fetch it waited for: past the time sync (as a thread
    // that waited for the fetch at that point would), and after the fetch that looked at an
    // empty look-ahead, on to the idle wait instead of fetching again.
    enum class Resume { Top, AfterFetch, AfterLook };
    struct Removal {
        std::uint64_t seq;
        bool expired;  // outlived LifeTime unsent, rather than answered
    };

    // ---- Loop thread ----
    void begin();
    void registered();
    void readId();
    void identified(std::string id);
    void attached();
    // The delivery: takes the steps until one has to wait.
    void serve(Resume resume);
    RecvStatus takeLine(std::string& line);
    void awaitAnswer(Answer kind);
    // Takes the awaited answer if it is there; true when the delivery goes on at once.
    bool takeAnswer();
    void awaitFetch(Resume resume);
    void submitFetch();
    void fetched();
    // The first looked-ahead line not answered yet; counts the looked-ahead lines behind it.
    const tOList::Head* next();
    bool taken(std::uint64_t seq) const;
    void onStop();
    void onLineQueued();
    void onEvents(std::uint32_t events) override;
    void onLoopStopped() override;
    void onTimer();
    void armTimer();
    // Reading may begin once what was sent has left: within ms from then.
    void startRead(Millis ms);
    void outboxEmptied();
    // Sends without waiting; false when the peer is gone. The outbox holds at most one line:
    // nothing more is sent before the answer to what waits in it.
    bool send(std::string_view text);
    void flushOutbox();
    // What happens when what waits in the outbox cannot be sent (the peer is gone, or has not
    // read for the whole send time-out): the greeting is given up, and the read that follows
    // finds out; after that a send that fails ends the connection.
    void sendFailed();
    void end();
    void postFinish();
    // An exception on the loop ends the connection, reported like any failure of it.
    template <typename F>
    void guarded(F&& step);
    void failed(const char* what);

    // ---- Main thread ----
    void lineQueued() noexcept override;
    void registerOnMain();
    void attachOnMain(const std::string& id);
    void fetchOnMain(const std::shared_ptr<TSOutThrd>& self);
    void finishOnMain(std::shared_ptr<TSOutThrd> self);
    void lastSteps(std::shared_ptr<TSOutThrd> self);
    void attach();
    void detach();
    void writeLog(const std::string& record);
    void reportOnMain(std::exception_ptr error);
    void backToLoop(void (TSOutThrd::*step)());

    // Any thread.
    void releaseSlot();

    ServerHost& m_host;
    EventLoop& m_loop;
    TcpSocket Sock;
    std::shared_ptr<Completion> m_completion = std::make_shared<Completion>();
    std::shared_ptr<TSOutThrd> m_self;  // the loop's hold on the connection until it ends
    AddressSlot m_slot;
    std::atomic<bool> m_stopRequested{false};
    std::atomic<bool> m_lineQueued{false};  // set by the channel; a wake-up is on its way
    std::atomic<bool> m_holdsSlot{false};   // counted as an unattached client
    LoopTimer m_timer{[this] { onTimer(); }};
    Phase m_phase = Phase::Starting;
    Wait m_wait = Wait::None;
    Answer m_answer = Answer::Line;
    Resume m_resume = Resume::Top;
    bool m_inLoop = false;      // the socket is in the loop's epoll
    bool m_peerGone = false;    // the peer hung up (or the socket failed): noticed when idle
    bool m_failed = false;      // a main-thread step failed: the connection ends
    bool m_fetching = false;    // a fetch is on the main thread
    bool m_fetchFailed = false;
    int m_finishTries = 0;      // the last steps could not be posted (memory): tried again
    std::string m_outbox;       // what the socket did not take yet
    bool m_outboxIsGreeting = false;
    Millis m_outboxSince = 0;   // steady time it stopped taking it
    bool m_readPending = false; // a read waits for the outbox to empty
    Millis m_readWithin = 0;
    Millis m_readBy = 0;        // steady deadline of the line being read; 0: none
    Millis m_wakeAt = 0;        // steady end of the hold, retry pause or idle wait; 0: none

    // Set on the acceptor's thread by start().
    bool m_allowed = false;
    bool m_lifeTimeInvalid = false;
    std::string m_invalidLifeTime;  // the [Opt] LifeTime text when it is no time
    std::string m_ip;
    Millis SyncPeriod = 0;
    double m_lifetime = 0;

    // Main thread, read by the loop once the connection is posted back.
    std::string Id;
    bool m_registered = false;  // in the server's list of all clients
    bool m_attached = false;    // in tOHostList, listening to the channel, counted in Connected
    bool m_detachDue = false;   // the attach step ran: the end detaches, whatever it found
    bool m_serving = false;     // the channel was served: the end writes "Close Id="

    // The delivery (loop thread, except where a fetch is in flight: then the main thread
    // reads m_removing and writes m_fetched, and the loop only reads m_removing).
    Millis m_nextSync = 0;
    Millis m_idleSince = 0;
    std::uint64_t m_sending = 0;     // the line whose answer is awaited
    std::size_t m_behind = 0;        // looked-ahead lines behind the next one
    // Lines from the head of the queue as the main thread last saw them. The client still
    // gets one line at a time, each removed only after its answer; but the next line is known
    // before the answer comes, so it goes out at once, and the answered lines are removed
    // (and the look-ahead renewed) by one hand-over for many lines, while the client reads.
    std::vector<tOList::Head> m_ahead;
    std::vector<tOList::Head> m_fetched;
    std::vector<Removal> m_toRemove;  // answered (or expired) lines not yet handed over
    std::vector<Removal> m_removing;  // those the fetch in flight removes
};

}  // namespace kormlink
