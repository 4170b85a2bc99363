#pragma once

// The main-thread hand-over.
//
// All shared state of the server (connection registry, channel list and queues, windows, log
// files) is touched only on the main thread, so it needs no locks. A worker thread that needs
// it hands a short closure to the main thread with call() and blocks until the closure has
// run there; post() hands it over without waiting. Closures run in the order they were handed
// over.
//
// The main thread drains the queue from its loop (the headless loop, or the Qt event loop via
// the waker). While it waits for a worker to end it must keep draining, because the ending
// worker hands over its last steps (unregistering, log lines) and waits for them: runUntil()
// does exactly that.
//
// Closures must be short and must never block on I/O or wait for another worker.
//
// The hand-over is on the path of every event, so it is kept cheap: a worker that waits sleeps
// on a futex of its own and is woken only when it really sleeps; the main thread is woken only
// when it sleeps; all closures queued meanwhile are taken in one step; a call() allocates
// nothing beyond what its closure needs.

#include <atomic>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/clock.h"

namespace kormlink {

class MainThread {
public:
    using Task = std::function<void()>;
    class Handover;

private:
    // Where a worker sleeps until its closure has run.
    struct Parker;
    // A posted closure (task), or a worker's hand-over waiting for its closure to run.
    struct Item {
        Task task;
        Handover* handover = nullptr;
        std::shared_ptr<Parker> parker;  // keeps the wake-up target alive
        std::int64_t queuedNs = 0;       // monotonic, when it was handed over
    };
    // An entry of the queue of closures: a worker's hand-over carries its own, a posted
    // closure gets one from the heap.
    struct Node {
        Node* next = nullptr;
        Item item;
    };

public:
    // One hand-over a worker started and collects later (submit, then await), so that it can
    // go on meanwhile (send, receive) while the main thread runs the closure. Owned by one
    // worker thread; reusable once awaited. The destructor awaits an unfinished hand-over.
    class Handover {
    public:
        Handover();
        ~Handover();
        Handover(const Handover&) = delete;
        Handover& operator=(const Handover&) = delete;
        bool inFlight() const { return m_inFlight; }

    private:
        friend class MainThread;
        Handover(std::shared_ptr<Parker> parker);
        MainThread* m_owner = nullptr;
        std::shared_ptr<Parker> m_parker;
        Node m_node;  // its place in the queue while in flight
        Task m_fn;
        const Task* m_run = nullptr;  // m_fn, or the caller's closure for call()
        std::exception_ptr m_error;
        bool m_ran = false;
        bool m_inFlight = false;
    };

    // The constructing thread becomes the main thread.
    MainThread();
    ~MainThread();
    MainThread(const MainThread&) = delete;
    MainThread& operator=(const MainThread&) = delete;

    bool isMainThread() const { return std::this_thread::get_id() == m_owner; }

    // Queues fn to run on the main thread. Dropped when the hand-over is closed.
    void post(Task fn);
    // Queues every task (in order) in one step and empties the vector.
    void postAll(std::vector<Task>& tasks);

    // Main thread: fn runs once the current drain has run its closures, its after-batch step
    // and its releases (at once outside a drain). For handing many results back in one piece.
    void atDrainEnd(Task fn);

    // Runs fn on the main thread and returns when it has run; inline when called on the main
    // thread. An exception thrown by fn is rethrown here. Returns false (fn not run) when the
    // hand-over is closed.
    bool call(const Task& fn);

    // Worker thread: queues fn through h and returns at once; await(h) later waits for it and
    // returns (or rethrows) what call() would have. False when the hand-over is closed (then
    // await returns false at once). On the main thread fn runs inline. h must not be in
    // flight.
    bool submit(Handover& h, Task fn);
    bool await(Handover& h);
    // True when await(h) would not wait (or h is not in flight).
    static bool isDone(const Handover& h);

    // For an end step that must happen (leaving a registry): like call(), but a failure to hand
    // fn over (memory) is retried every 10 ms for up to 10 s. An exception from fn itself is
    // rethrown, never retried. False when fn has not run (closed, or it could not be handed
    // over): the caller must then keep alive whatever a registry may still point to.
    bool callEndStep(const Task& fn);

    // Main thread: runs everything queued now; returns how many closures ran.
    size_t runPending();

    // Main thread: runs queued closures until pred() holds or timeoutMs has passed; returns
    // pred(). pred is checked at least every few milliseconds even without new closures.
    bool runUntil(const std::function<bool()>& pred, Millis timeoutMs);

    // Main thread: waits until a closure is queued or wake() is called or timeoutMs passes.
    void waitForWork(Millis timeoutMs);

    // Wakes waitForWork() and runUntil() without queueing anything. Any thread.
    void wake();

    // Called (on any thread) when work is queued and no drain is scheduled yet, so a foreign
    // event loop can schedule one: it is called again only after runPending() has begun. The
    // Qt loop sets it.
    void setWaker(std::function<void()> waker);

    // Main thread: refuses further closures; queued ones are dropped and their callers'
    // call() returns false.
    void close();

    // Closures queued and not yet run; any thread (for tests and figures).
    size_t pending() const;

    // How long hand-overs waited for the main thread to take them: counts per upper bound in
    // seconds (the last bound is infinite), their sum and number. Main thread.
    static constexpr double kLatencyBounds[] = {1e-5,  5e-5, 1e-4, 2.5e-4, 5e-4, 1e-3, 2.5e-3,
                                                5e-3,  1e-2, 2.5e-2, 5e-2, 0.1,  0.25, 1.0};
    static constexpr std::size_t kLatencyBuckets = std::size(kLatencyBounds) + 1;
    struct Latency {
        std::uint64_t counts[kLatencyBuckets] = {};
        double sumSeconds = 0;
        std::uint64_t count = 0;
    };
    const Latency& handoverLatency() const { return m_latency; }

    // Main thread: fn runs after every runPending() that ran at least one closure, before the
    // main thread waits again (the journals' group commit). Empty removes it.
    void setAfterBatch(Task fn) { m_afterBatch = std::move(fn); }
    // Main thread: fn runs at the start of every runPending() that has closures to run.
    void setBeforeBatch(Task fn) { m_beforeBatch = std::move(fn); }

    // Main thread, inside a worker's closure (call() or submit()): its worker is released only
    // after the after-batch step has run, so what the closure queued into the journals is
    // written (and synced) when the worker goes on. lastStep, when given, runs after that step
    // and just before the release (an answer that must follow the write). Inside a posted
    // closure only lastStep waits for the step (an event loop's answer). Elsewhere lastStep
    // runs at once.
    void releaseAfterBatch(Task lastStep = nullptr);

private:
    bool enqueue(Node* node);
    void wakeMain();
    void callWaker();
    // The queued nodes in the order they were handed over; close leaves the queue closed.
    Node* takeQueued(bool close);
    // Stands in the queue's head once the hand-over is closed; never dereferenced.
    static Node* closedMarker();
    void noteLatency(std::int64_t ns);
    void releaseDeferred();
    void runItem(Item& item);
    static void settle(Item& item, bool ran, std::exception_ptr error);

    const std::thread::id m_owner;
    // The queue: a stack of nodes that workers push onto without a lock and the main thread
    // takes whole (and puts back in order). Holds closedMarker() once closed.
    std::atomic<Node*> m_head{nullptr};
    std::atomic<size_t> m_queued{0};  // nodes pushed and not yet taken
    std::atomic<bool> m_woken{false};
    // 1 while the main thread sleeps in waitForWork (on this word); whoever swaps it to 0
    // wakes it.
    std::atomic<std::uint32_t> m_sleepWord{0};
    // The waker was called and runPending has not begun since.
    std::atomic<bool> m_drainScheduled{false};
    std::atomic<bool> m_hasWaker{false};
    std::mutex m_wakerMutex;
    std::function<void()> m_waker;  // guarded by m_wakerMutex
    // Main thread only: closures taken from the queue in one step and not yet run. A nested
    // drain (a closure that waits for a worker) runs these first, so it finds every closure
    // queued before its own.
    std::deque<Item> m_local;
    Latency m_latency;   // main thread only
    Task m_afterBatch;   // main thread only
    Task m_beforeBatch;  // main thread only
    // Main thread only: the worker closure running now, whether it asked to be released after
    // the batch, and the closures so released with their last steps.
    void runDrainEnd();
    bool m_draining = false;         // main thread: inside runPending()
    std::vector<Task> m_drainEnd;    // main thread: atDrainEnd() steps
    Item* m_current = nullptr;
    bool m_inPosted = false;  // a posted closure is running (m_current is then null)
    bool m_deferCurrent = false;
    Task m_currentLastStep;
    struct Deferred {
        Item item;
        Task lastStep;
    };
    std::vector<Deferred> m_deferred;
};

}  // namespace kormlink
