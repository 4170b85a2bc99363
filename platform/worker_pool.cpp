#include "platform/worker_pool.h"

#include <pthread.h>

#include <chrono>
#include <exception>
#include <thread>

#include "platform/console_output.h"

namespace kormlink {

WorkerPool::WorkerPool(std::size_t maxThreads, Millis idleMs)
    : m_maxThreads(maxThreads == 0 ? 1 : maxThreads), m_idleMs(idleMs) {}

WorkerPool::~WorkerPool() {
    std::unique_lock lock(m_mutex);
    m_closing = true;
    m_wake.notify_all();
    m_ended.wait(lock, [this] { return m_threads == 0; });
}

std::size_t WorkerPool::threads() const {
    std::lock_guard lock(m_mutex);
    return m_threads;
}

bool WorkerPool::run(std::function<void()> fn) {
    std::unique_lock lock(m_mutex);
    m_queue.push_back(std::move(fn));
    if (m_idle >= m_queue.size()) {
        m_wake.notify_one();
        return true;
    }
    if (m_threads < m_maxThreads) {
        ++m_threads;
        try {
            std::thread([this] { work(); }).detach();
            return true;
        } catch (...) {
            --m_threads;
        }
    }
    if (m_threads > 0) return true;  // one of them takes it in its turn
    m_queue.pop_back();
    return false;
}

void WorkerPool::work() {
    // Named for the process's thread list; a thread started by a loop would carry its name.
    ::pthread_setname_np(::pthread_self(), "kl-exchange");
    std::unique_lock lock(m_mutex);
    for (;;) {
        if (m_queue.empty()) {
            if (m_closing) break;
            ++m_idle;
            const bool got = m_wake.wait_for(lock, std::chrono::milliseconds(m_idleMs), [this] {
                return !m_queue.empty() || m_closing;
            });
            --m_idle;
            if (!got) break;  // idle for the whole time: this thread is not needed
            continue;
        }
        std::function<void()> fn = std::move(m_queue.front());
        m_queue.pop_front();
        lock.unlock();
        try {
            fn();
        } catch (const std::exception& e) {
            consolePrintf(ConsoleStream::Err, "Kormlink: a worker task failed: %s\n", e.what());
        } catch (...) {
            consolePrintf(ConsoleStream::Err, "Kormlink: a worker task failed\n");
        }
        fn = nullptr;
        lock.lock();
    }
    if (--m_threads == 0) m_ended.notify_all();
}

}  // namespace kormlink
