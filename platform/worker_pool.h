#pragma once

// Threads for work that has to block: a connection's command exchange, which waits for
// replies for seconds, runs here instead of on its event loop.
//
// Threads are made when work comes and none is free, up to a bound; beyond it the work waits
// its turn. A thread with nothing to do for idleMs ends, so a server that runs no exchanges
// keeps none.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

#include "platform/clock.h"

namespace kormlink {

class WorkerPool {
public:
    WorkerPool(std::size_t maxThreads, Millis idleMs);
    // Waits for every thread to end (they finish the work they have, then end).
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Queues fn; false when no thread runs and none can be started (fn is then dropped).
    bool run(std::function<void()> fn);

    // Threads alive now; any thread (for figures and tests).
    std::size_t threads() const;

private:
    void work();

    const std::size_t m_maxThreads;
    const Millis m_idleMs;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_ended;
    std::deque<std::function<void()>> m_queue;
    std::size_t m_threads = 0;
    std::size_t m_idle = 0;
    bool m_closing = false;
};

}  // namespace kormlink
