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

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/clock.h"

namespace kormlink {

class MainThread {
public:
    using Task = std::function<void()>;

    // The constructing thread becomes the main thread.
    MainThread();
    MainThread(const MainThread&) = delete;
    MainThread& operator=(const MainThread&) = delete;

    bool isMainThread() const { return std::this_thread::get_id() == m_owner; }

    // Queues fn to run on the main thread. Dropped when the hand-over is closed.
    void post(Task fn);

    // Runs fn on the main thread and returns when it has run; inline when called on the main
    // thread. An exception thrown by fn is rethrown here. Returns false (fn not run) when the
    // hand-over is closed.
    bool call(Task fn);

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

    // Called (on any thread) whenever work is queued, so a foreign event loop can schedule a
    // drain; the Qt loop sets it.
    void setWaker(std::function<void()> waker);

    // Refuses further closures; queued ones are dropped and their callers' call() returns false.
    void close();

    // Main thread: fn runs after every runPending() that ran at least one closure, before the
    // main thread waits again (the journals' group commit). Empty removes it.
    void setAfterBatch(Task fn) { m_afterBatch = std::move(fn); }

private:
    struct Item {
        Task run;
        std::function<void()> dropped;  // tells a waiting caller that run will never happen
    };

    bool enqueue(Task fn, std::function<void()> onDropped);

    const std::thread::id m_owner;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<Item> m_queue;
    bool m_closed = false;
    bool m_woken = false;
    std::function<void()> m_waker;
    Task m_afterBatch;  // main thread only
};

}  // namespace kormlink
