#include "core/main_thread.h"
#include "platform/console_output.h"

#include <cstdio>
#include <exception>
#include <memory>

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
    // The outcome passes under a mutex. An exception is handed over only once the main
    // thread's handler has been left, and the caller moves it out, so the caller alone owns
    // it from then on and it is destroyed on the caller's thread.
    struct Outcome {
        std::mutex mutex;
        std::condition_variable changed;
        bool settled = false;
        bool ran = false;
        std::exception_ptr error;
        void settle(bool hasRun, std::exception_ptr e) {
            {
                std::lock_guard lock(mutex);
                if (settled) return;
                settled = true;
                ran = hasRun;
                error = std::move(e);
            }
            changed.notify_all();
        }
    };
    // Held by both closures: if the queue lets go of them without running either (it cannot
    // today), the caller still learns that fn did not run instead of waiting for ever.
    struct Settler {
        std::shared_ptr<Outcome> outcome = std::make_shared<Outcome>();
        ~Settler() { outcome->settle(false, nullptr); }
    };
    auto settler = std::make_shared<Settler>();
    const std::shared_ptr<Outcome> outcome = settler->outcome;
    bool queued = enqueue(
        [settler, fn = std::move(fn)] {
            std::exception_ptr error;
            try {
                fn();
            } catch (...) {
                error = std::current_exception();
            }
            settler->outcome->settle(true, std::move(error));
        },
        [settler] { settler->outcome->settle(false, nullptr); });
    settler.reset();
    if (!queued) return false;
    std::exception_ptr error;
    bool ran = false;
    {
        std::unique_lock lock(outcome->mutex);
        outcome->changed.wait(lock, [&] { return outcome->settled; });
        ran = outcome->ran;
        error = std::move(outcome->error);
    }
    if (error) std::rethrow_exception(error);
    return ran;
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
