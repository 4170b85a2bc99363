#pragma once

// Event loops: a few threads that serve many connections each.
//
// Every loop is one thread waiting in epoll_wait() on the descriptors handed to it, with the
// deadlines of its connections in a timer heap and closures posted from other threads
// (the main thread's answers, stop requests). A connection lives on one loop for its whole
// life and is touched only by that loop's thread (or by a thread it handed itself to and that
// handed it back through post()), so it needs no locks of its own.
//
// What runs on a loop must never block: no waits for the main thread, no sleeps, no blocking
// sends. A connection that has to wait for something posts the request and goes on when the
// answer is posted back; one whose exchange cannot be written that way hands itself to a
// thread of its own for the exchange (see the repeater connection).
//
// A loop ends when stop() is called; handlers still registered then are told through
// onLoopStopped() (on the loop thread), so each connection can end as it would on a stop
// request. Closures posted after the end are dropped.

#include <sys/epoll.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <vector>

#include "platform/clock.h"
#include "platform/unique_fd.h"

namespace kormlink {

class EventLoop;

// A deadline on a loop. Owned by whoever arms it; it must be cancelled (or have fired) before
// it is destroyed or its loop is. Loop thread only.
class LoopTimer {
public:
    explicit LoopTimer(std::function<void()> fire) : m_fire(std::move(fire)) {}
    LoopTimer(const LoopTimer&) = delete;
    LoopTimer& operator=(const LoopTimer&) = delete;
    bool armed() const { return m_index != kNone; }
    Millis at() const { return m_at; }

private:
    friend class EventLoop;
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::function<void()> m_fire;
    Millis m_at = 0;
    std::size_t m_index = kNone;  // its place in the loop's heap
};

class EventLoop {
public:
    // What a loop calls for a descriptor handed to it. Loop thread only.
    class Handler {
    public:
        // events: what epoll_wait() reported (EPOLLIN, EPOLLOUT, EPOLLRDHUP, EPOLLHUP, EPOLLERR).
        virtual void onEvents(std::uint32_t events) = 0;
        // The loop is ending while the handler is registered: end now, without waiting.
        virtual void onLoopStopped() = 0;

    protected:
        ~Handler() = default;
    };

    // Something that goes on on its loop when another thread hands it back (resumeAll()).
    class Resumable {
    public:
        virtual void resumeOnLoop() = 0;

    protected:
        ~Resumable() = default;
    };

    // Starts the loop's thread. Throws std::system_error when the epoll instance, the wake-up
    // descriptor or the thread cannot be had.
    explicit EventLoop(std::string name = "loop");
    ~EventLoop();  // stop() and join
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Any thread: runs fn on the loop thread, in the order posted. False (fn dropped) once the
    // loop has ended or is ending.
    bool post(std::function<void()> fn);

    // Any thread: each of them goes on on the loop (resumeOnLoop()), in order (not ordered
    // with posted closures); one lock and at most one wake-up for all. Empties the vector.
    // False (the vector left as it is) once the loop has ended.
    bool resumeAll(std::vector<std::shared_ptr<Resumable>>& items);

    // Loop thread: fn runs at the end of the current turn, after its events, closures and
    // timers (what a turn gathered for another thread leaves in one piece).
    void atTurnEnd(std::function<void()> fn) { m_turnEnd.push_back(std::move(fn)); }

    // Loop thread. Registers fd (edge-triggered for the given events); false with errno set
    // when epoll refuses it.
    bool add(int fd, Handler* handler, std::uint32_t events);
    bool modify(int fd, Handler* handler, std::uint32_t events);
    // Loop thread: forgets fd (before it is closed). The handler gets no further calls; it
    // must stay alive until the loop's current turn has ended (destroy it in a posted closure),
    // since events for it may already have been taken from epoll.
    void remove(int fd, Handler* handler);

    // Loop thread: arms the timer for the monotonic time `at` (steadyClock), moving it when it
    // is armed already; cancel() disarms it.
    void arm(LoopTimer& timer, Millis at);
    void cancel(LoopTimer& timer);

    // Ends the loop: handlers registered then get onLoopStopped(), posted closures still run,
    // then the thread ends. Any thread but the loop's; idempotent.
    void stop();

    bool inLoopThread() const { return std::this_thread::get_id() == m_threadId.load(); }
    // Handlers registered now; any thread (for picking the least busy loop and for figures).
    std::size_t handlerCount() const { return m_handlers.load(std::memory_order_relaxed); }

private:
    void run();
    void runPosted();
    void runTurnEnd();
    void wakeUp();
    void runTimers();
    int waitMs() const;
    void heapUp(std::size_t i);
    void heapDown(std::size_t i);
    void heapSwap(std::size_t a, std::size_t b);
    void heapRemove(std::size_t i);

    UniqueFd m_epoll;
    UniqueFd m_wake;  // eventfd: posted closures wait
    std::string m_name;

    std::mutex m_mutex;                         // guards m_posted, m_ending
    std::vector<std::function<void()>> m_posted;
    std::vector<std::shared_ptr<Resumable>> m_resumed;  // handed back, in order after m_posted
    bool m_ending = false;
    bool m_ended = false;
    std::atomic<bool> m_wakePending{false};  // the eventfd was written and not yet read

    std::vector<LoopTimer*> m_heap;  // loop thread only: earliest first
    std::vector<std::function<void()>> m_turnEnd;  // loop thread only
    std::unordered_set<Handler*> m_registered;  // loop thread only
    std::atomic<std::size_t> m_handlers{0};
    std::atomic<std::thread::id> m_threadId{};
    std::thread m_thread;
};

// A fixed set of loops, one per core or fewer, chosen at start.
class EventLoops {
public:
    // count 0: one per core, at most kMaxLoops.
    static constexpr std::size_t kMaxLoops = 8;
    explicit EventLoops(std::size_t count = 0);
    ~EventLoops();

    // The loop with the fewest handlers now; any thread.
    EventLoop& pick();
    std::size_t size() const { return m_loops.size(); }
    EventLoop& at(std::size_t i) { return *m_loops[i]; }
    // Stops every loop (each stop waits for its thread).
    void stop();

private:
    std::vector<std::unique_ptr<EventLoop>> m_loops;
    std::atomic<std::size_t> m_next{0};
};

}  // namespace kormlink
