#include "core/main_thread.h"
#include "platform/console_output.h"

#include <cstdio>
#include <exception>
#include <future>

namespace kormlink {

MainThread::MainThread() : m_owner(std::this_thread::get_id()) {}

bool MainThread::enqueue(Task fn, std::function<void()> onDropped) {
    std::function<void()> waker;
    {
        std::lock_guard lock(m_mutex);
        if (m_closed) return false;
        m_queue.push_back(Item{std::move(fn), std::move(onDropped)});
        waker = m_waker;
    }
    m_cv.notify_all();
    if (waker) waker();
    return true;
}

void MainThread::post(Task fn) { enqueue(std::move(fn), nullptr); }

bool MainThread::call(Task fn) {
    if (isMainThread()) {
        fn();
        return true;
    }
    auto done = std::make_shared<std::promise<bool>>();
    auto future = done->get_future();
    bool queued = enqueue(
        [done, fn = std::move(fn)] {
            try {
                fn();
                done->set_value(true);
            } catch (...) {
                done->set_exception(std::current_exception());
            }
        },
        [done] { done->set_value(false); });
    if (!queued) return false;
    return future.get();
}

bool MainThread::callEndStep(const Task& fn) {
    bool ran = false;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        try {
            return call([&] {
                ran = true;
                fn();
            });
        } catch (...) {
            if (ran) throw;
        }
        sleepMs(10);
    }
    return false;
}

size_t MainThread::runPending() {
    // One closure at a time straight from the shared queue, never a private batch: a closure
    // may itself wait for a worker (a stop) and drain the queue meanwhile, and it must find
    // every closure queued so far, or a worker whose closure sat in such a batch would wait
    // for ever.
    size_t budget;
    {
        std::lock_guard lock(m_mutex);
        budget = m_queue.size();
        m_woken = false;
    }
    size_t ran = 0;
    for (; ran < budget; ++ran) {
        Item item;
        {
            std::lock_guard lock(m_mutex);
            if (m_queue.empty()) break;
            item = std::move(m_queue.front());
            m_queue.pop_front();
        }
        // call() closures catch for their caller; a posted closure that throws must not take
        // the main loop down with it.
        try {
            item.run();
        } catch (const std::exception& e) {
            consolePrintf(ConsoleStream::Err, "Kormlink: main-thread task failed: %s\n", e.what());
        } catch (...) {
            consolePrintf(ConsoleStream::Err, "Kormlink: main-thread task failed\n");
        }
    }
    if (ran > 0 && m_afterBatch) {
        try {
            m_afterBatch();
        } catch (const std::exception& e) {
            consolePrintf(ConsoleStream::Err, "Kormlink: main-thread task failed: %s\n", e.what());
        } catch (...) {
            consolePrintf(ConsoleStream::Err, "Kormlink: main-thread task failed\n");
        }
    }
    return ran;
}

bool MainThread::runUntil(const std::function<bool()>& pred, Millis timeoutMs) {
    const Millis deadline = steadyClock().now() + timeoutMs;
    for (;;) {
        runPending();
        if (pred()) return true;
        Millis left = deadline - steadyClock().now();
        if (left <= 0) return pred();
        waitForWork(std::min<Millis>(left, 5));
    }
}

void MainThread::waitForWork(Millis timeoutMs) {
    std::unique_lock lock(m_mutex);
    // Closed, nothing can be queued any more: the wait still lasts its time, so a caller that
    // loops on it (runUntil) does not spin.
    m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                  [this] { return !m_queue.empty() || m_woken; });
    m_woken = false;
}

void MainThread::wake() {
    std::function<void()> waker;
    {
        std::lock_guard lock(m_mutex);
        m_woken = true;
        waker = m_waker;
    }
    m_cv.notify_all();
    if (waker) waker();
}

void MainThread::setWaker(std::function<void()> waker) {
    std::lock_guard lock(m_mutex);
    m_waker = std::move(waker);
}

void MainThread::close() {
    std::deque<Item> dropped;
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
        dropped.swap(m_queue);
    }
    m_cv.notify_all();
    for (auto& item : dropped)
        if (item.dropped) item.dropped();
}

}  // namespace kormlink
