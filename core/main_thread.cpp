#include "core/main_thread.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>

#include "core/scope_exit.h"
#include "platform/console_output.h"

namespace kormlink {

namespace {

std::int64_t monotonicNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

long futexWait(std::atomic<std::uint32_t>& word, std::uint32_t expected, const timespec* timeout) {
    return ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE,
                     expected, timeout, nullptr, 0);
}

void futexWake(std::atomic<std::uint32_t>& word) {
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr,
              nullptr, 0);
}

}  // namespace

MainThread::Node* MainThread::closedMarker() {
    alignas(16) static char marker;
    return reinterpret_cast<Node*>(&marker);
}

// Where a worker sleeps until the main thread has run its closure. The word is 0 while the
// closure is outstanding, 2 once the worker sleeps on it, 1 when the closure has run; the main
// thread makes a system call only when it finds 2. Shared, so that the main thread's last
// touch (the wake-up) can never reach a parker that is gone.
struct MainThread::Parker {
    std::atomic<std::uint32_t> word{1};

    void arm() { word.store(0, std::memory_order_relaxed); }

    void signal() {
        if (word.exchange(1, std::memory_order_release) == 2) futexWake(word);
    }

    void wait() {
        std::uint32_t w = word.load(std::memory_order_acquire);
        while (w != 1) {
            if (w == 0 && !word.compare_exchange_strong(w, 2, std::memory_order_acquire))
                continue;  // w now holds what the word became
            // Returns on the wake-up, at once when the word is no longer 2, or on a signal.
            futexWait(word, 2, nullptr);
            w = word.load(std::memory_order_acquire);
        }
    }
};

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));

MainThread::Handover::Handover() : m_parker(std::make_shared<Parker>()) {}

MainThread::Handover::Handover(std::shared_ptr<Parker> parker) : m_parker(std::move(parker)) {}

MainThread::Handover::~Handover() {
    if (!m_inFlight || !m_owner) return;
    try {
        m_owner->await(*this);
    } catch (...) {
        // the closure's own failure; nobody is left to take it
    }
}

MainThread::MainThread() : m_owner(std::this_thread::get_id()) {}

bool MainThread::enqueue(Node* node) {
    node->item.queuedNs = monotonicNs();
    // Counted before it can be taken, so pending() never reports less than is queued.
    m_queued.fetch_add(1, std::memory_order_relaxed);
    Node* head = m_head.load(std::memory_order_relaxed);
    do {
        if (head == closedMarker()) {
            m_queued.fetch_sub(1, std::memory_order_relaxed);
            return false;
        }
        node->next = head;
    } while (!m_head.compare_exchange_weak(head, node, std::memory_order_seq_cst,
                                           std::memory_order_relaxed));
    // Pairs with waitForWork: it announces its sleep and then looks at the head, this pushed
    // onto the head and now looks at the announcement, so one of the two sees the other.
    wakeMain();
    if (m_hasWaker.load(std::memory_order_acquire) &&
        !m_drainScheduled.exchange(true, std::memory_order_acq_rel))
        callWaker();
    return true;
}

void MainThread::wakeMain() {
    if (m_sleepWord.load(std::memory_order_seq_cst) == 1 &&
        m_sleepWord.exchange(0, std::memory_order_seq_cst) == 1)
        futexWake(m_sleepWord);
}

void MainThread::callWaker() {
    std::function<void()> waker;
    {
        std::lock_guard lock(m_wakerMutex);
        waker = m_waker;
    }
    if (waker) waker();
}

MainThread::Node* MainThread::takeQueued(bool close) {
    Node* head = nullptr;
    if (close) {
        head = m_head.exchange(closedMarker(), std::memory_order_acq_rel);
        if (head == closedMarker()) return nullptr;
    } else {
        head = m_head.load(std::memory_order_acquire);
        do {
            if (head == nullptr || head == closedMarker()) return nullptr;
        } while (!m_head.compare_exchange_weak(head, nullptr, std::memory_order_acq_rel,
                                               std::memory_order_acquire));
    }
    // Pushed last comes first: turn the stack round into the order of hand-over.
    Node* ordered = nullptr;
    while (head) {
        Node* next = head->next;
        head->next = ordered;
        ordered = head;
        head = next;
    }
    return ordered;
}

void MainThread::noteLatency(std::int64_t ns) {
    const double seconds = static_cast<double>(std::max<std::int64_t>(ns, 0)) / 1e9;
    std::size_t i = 0;
    while (i < std::size(kLatencyBounds) && seconds > kLatencyBounds[i]) ++i;
    ++m_latency.counts[i];
    m_latency.sumSeconds += seconds;
    ++m_latency.count;
}

void MainThread::post(Task fn) {
    auto* node = new Node{nullptr, Item{std::move(fn), nullptr, nullptr}};
    if (!enqueue(node)) delete node;
}

void MainThread::postAll(std::vector<Task>& tasks) {
    if (tasks.empty()) return;
    // Chained first, pushed with one exchange and one wake-up: an event loop hands over what
    // one turn gathered as one piece, which the main thread then runs as one batch.
    Node* first = nullptr;
    Node* last = nullptr;
    const std::int64_t queuedNs = monotonicNs();
    for (Task& task : tasks) {
        auto* node = new Node{nullptr, Item{std::move(task), nullptr, nullptr}};
        node->item.queuedNs = queuedNs;
        // The stack is taken whole and turned round: the last pushed runs first, so the chain
        // is built in reverse.
        node->next = first;
        first = node;
        if (!last) last = node;
    }
    tasks.clear();
    const std::size_t count = [&] {
        std::size_t n = 0;
        for (Node* node = first; node; node = node->next) ++n;
        return n;
    }();
    m_queued.fetch_add(count, std::memory_order_relaxed);
    Node* head = m_head.load(std::memory_order_relaxed);
    do {
        if (head == closedMarker()) {
            m_queued.fetch_sub(count, std::memory_order_relaxed);
            while (first) {
                Node* next = first->next;
                delete first;
                first = next;
            }
            return;
        }
        last->next = head;
    } while (!m_head.compare_exchange_weak(head, first, std::memory_order_seq_cst,
                                           std::memory_order_relaxed));
    wakeMain();
    if (m_hasWaker.load(std::memory_order_acquire) &&
        !m_drainScheduled.exchange(true, std::memory_order_acq_rel))
        callWaker();
}

void MainThread::atDrainEnd(Task fn) {
    if (!m_draining) {
        fn();
        return;
    }
    m_drainEnd.push_back(std::move(fn));
}

void MainThread::runDrainEnd() {
    while (!m_drainEnd.empty()) {
        std::vector<Task> steps;
        steps.swap(m_drainEnd);
        for (Task& step : steps) {
            try {
                step();
            } catch (const std::exception& e) {
                consolePrintf(ConsoleStream::Err, "Kormlink: main-thread task failed: %s\n",
                              e.what());
            } catch (...) {
                consolePrintf(ConsoleStream::Err, "Kormlink: main-thread task failed\n");
            }
        }
    }
}

bool MainThread::submit(Handover& h, Task fn) {
    h.m_fn = std::move(fn);
    h.m_run = &h.m_fn;
    h.m_error = nullptr;
    h.m_ran = false;
    h.m_owner = this;
    if (isMainThread()) {
        // Inline, as call() does; await() then reports it.
        h.m_inFlight = true;
        try {
            h.m_fn();
            h.m_ran = true;
        } catch (...) {
            h.m_ran = true;
            h.m_error = std::current_exception();
        }
        h.m_parker->word.store(1, std::memory_order_relaxed);
        return true;
    }
    h.m_parker->arm();
    h.m_inFlight = true;
    h.m_node.item = Item{nullptr, &h, h.m_parker};
    if (enqueue(&h.m_node)) return true;
    h.m_node.item = Item{};
    h.m_parker->word.store(1, std::memory_order_relaxed);
    return false;
}

bool MainThread::isDone(const Handover& h) {
    return !h.m_inFlight || h.m_parker->word.load(std::memory_order_acquire) == 1;
}

bool MainThread::await(Handover& h) {
    if (!h.m_inFlight) return false;
    h.m_parker->wait();
    h.m_inFlight = false;
    h.m_fn = nullptr;
    h.m_run = nullptr;
    if (h.m_error) {
        std::exception_ptr error = std::move(h.m_error);
        h.m_error = nullptr;
        std::rethrow_exception(error);
    }
    return h.m_ran;
}

bool MainThread::call(const Task& fn) {
    if (isMainThread()) {
        fn();
        return true;
    }
    // One parker per thread serves all its calls: a call allocates nothing of its own.
    thread_local std::shared_ptr<Parker> parker = std::make_shared<Parker>();
    Handover h(parker);
    h.m_run = &fn;
    h.m_owner = this;
    parker->arm();
    h.m_inFlight = true;
    h.m_node.item = Item{nullptr, &h, parker};
    if (!enqueue(&h.m_node)) {
        h.m_inFlight = false;
        h.m_node.item = Item{};
        return false;
    }
    parker->wait();
    h.m_inFlight = false;
    if (h.m_error) std::rethrow_exception(h.m_error);
    return h.m_ran;
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

void MainThread::settle(Item& item, bool ran, std::exception_ptr error) {
    Handover& h = *item.handover;
    h.m_ran = ran;
    h.m_error = std::move(error);
    // The last touch of the worker's hand-over: after the signal it may be gone, the parker
    // is kept alive by the item.
    item.parker->signal();
}

void MainThread::releaseAfterBatch(Task lastStep) {
    if (!m_current && m_inPosted) {
        // A posted closure has nobody to release: only its last step waits for the batch.
        if (lastStep) m_deferred.push_back(Deferred{Item{}, std::move(lastStep)});
        return;
    }
    if (!m_current) {
        if (lastStep) lastStep();
        return;
    }
    m_deferCurrent = true;
    if (lastStep) m_currentLastStep = std::move(lastStep);
}

void MainThread::releaseDeferred() {
    std::vector<Deferred> deferred;
    deferred.swap(m_deferred);
    for (Deferred& d : deferred) {
        if (!d.item.handover) {
            try {
                d.lastStep();
            } catch (const std::exception& e) {
                consolePrintf(ConsoleStream::Err, "Kormlink: main-thread task failed: %s\n",
                              e.what());
            } catch (...) {
                consolePrintf(ConsoleStream::Err, "Kormlink: main-thread task failed\n");
            }
            continue;
        }
        std::exception_ptr error = std::move(d.item.handover->m_error);
        if (d.lastStep && !error) {
            try {
                d.lastStep();
            } catch (...) {
                error = std::current_exception();
            }
        }
        settle(d.item, true, std::move(error));
    }
}

void MainThread::runItem(Item& item) {
    if (item.handover) {
        // The caller takes a failure and decides; the main loop goes on either way.
        std::exception_ptr error;
        Item* outer = m_current;
        const bool outerDefer = m_deferCurrent;
        Task outerStep = std::move(m_currentLastStep);
        m_current = &item;
        m_deferCurrent = false;
        m_currentLastStep = nullptr;
        try {
            (*item.handover->m_run)();
        } catch (...) {
            error = std::current_exception();
        }
        const bool defer = m_deferCurrent;
        Task lastStep = std::move(m_currentLastStep);
        m_current = outer;
        m_deferCurrent = outerDefer;
        m_currentLastStep = std::move(outerStep);
        if (defer) {
            item.handover->m_error = std::move(error);
            m_deferred.push_back(Deferred{std::move(item), std::move(lastStep)});
            return;
        }
        settle(item, true, std::move(error));
        return;
    }
    // A posted closure that throws must not take the main loop down with it.
    Item* outer = m_current;
    const bool outerPosted = m_inPosted;
    m_current = nullptr;
    m_inPosted = true;
    ScopeExit restore([&] {
        m_current = outer;
        m_inPosted = outerPosted;
    });
    try {
        item.task();
    } catch (const std::exception& e) {
        consolePrintf(ConsoleStream::Err, "Kormlink: main-thread task failed: %s\n", e.what());
    } catch (...) {
        consolePrintf(ConsoleStream::Err, "Kormlink: main-thread task failed\n");
    }
}

size_t MainThread::runPending() {
    // Everything queued so far moves to the main thread's own list in one step; closures are
    // then taken from its front one by one, so that a closure that itself waits for a worker
    // (a stop) and drains meanwhile runs the ones queued behind it first, in order.
    m_woken.store(false, std::memory_order_relaxed);
    m_drainScheduled.store(false, std::memory_order_seq_cst);
    const bool outerDrain = m_draining;
    m_draining = true;
    ScopeExit drained([&] { m_draining = outerDrain; });
    size_t taken = 0;
    Node* first = takeQueued(false);
    const std::int64_t takenNs = first ? monotonicNs() : 0;
    for (Node* node = first; node;) {
        Node* next = node->next;
        noteLatency(takenNs - node->item.queuedNs);
        m_local.push_back(std::move(node->item));
        // A worker's node belongs to its hand-over, which may be gone once its closure ran.
        if (!m_local.back().handover) delete node;
        node = next;
        ++taken;
    }
    if (taken) m_queued.fetch_sub(taken, std::memory_order_relaxed);
    const size_t budget = m_local.size();
    if (budget > 0 && m_beforeBatch) m_beforeBatch();
    size_t ran = 0;
    for (; ran < budget && !m_local.empty(); ++ran) {
        Item item = std::move(m_local.front());
        m_local.pop_front();
        runItem(item);
    }
    // Deferred workers are released only after an after-batch step, which writes the
    // journals. A drain nested in a closure (a stop waiting for its workers) may find nothing
    // queued and still hold workers whose closures ran earlier in the enclosing batch: it
    // writes their journal records before it releases them, or their answers would wait for
    // records not written yet, on the very thread that is to write them.
    if ((ran > 0 || !m_deferred.empty()) && m_afterBatch) {
        try {
            m_afterBatch();
        } catch (const std::exception& e) {
            consolePrintf(ConsoleStream::Err, "Kormlink: main-thread task failed: %s\n", e.what());
        } catch (...) {
            consolePrintf(ConsoleStream::Err, "Kormlink: main-thread task failed\n");
        }
    }
    // Only now, with the journals written, do the workers that asked for it go on.
    if (!m_deferred.empty()) releaseDeferred();
    runDrainEnd();
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
    if (!m_local.empty()) return;  // left over from a drain that ran out of budget
    // Closed, nothing can be queued any more: the wait still lasts its time, so a caller that
    // loops on it (runUntil) does not spin.
    const auto ready = [this] {
        Node* head = m_head.load(std::memory_order_seq_cst);
        return (head != nullptr && head != closedMarker()) ||
               m_woken.load(std::memory_order_seq_cst);
    };
    const Millis deadline = steadyClock().now() + timeoutMs;
    for (;;) {
        m_sleepWord.store(1, std::memory_order_seq_cst);
        if (ready()) break;
        const Millis left = deadline - steadyClock().now();
        if (left <= 0) break;
        const timespec timeout{static_cast<std::time_t>(left / 1000),
                               static_cast<long>(left % 1000) * 1000000L};
        futexWait(m_sleepWord, 1, &timeout);
    }
    m_sleepWord.store(0, std::memory_order_relaxed);
    m_woken.store(false, std::memory_order_relaxed);
}

void MainThread::wake() {
    m_woken.store(true, std::memory_order_seq_cst);
    wakeMain();
    callWaker();
}

void MainThread::setWaker(std::function<void()> waker) {
    std::lock_guard lock(m_wakerMutex);
    m_hasWaker.store(static_cast<bool>(waker), std::memory_order_release);
    m_waker = std::move(waker);
    m_drainScheduled.store(false, std::memory_order_release);
}

size_t MainThread::pending() const {
    return m_queued.load(std::memory_order_relaxed) + (isMainThread() ? m_local.size() : 0);
}

void MainThread::close() {
    std::deque<Item> dropped;
    size_t taken = 0;
    for (Node* node = takeQueued(true); node;) {
        Node* next = node->next;
        dropped.push_back(std::move(node->item));
        if (!dropped.back().handover) delete node;
        node = next;
        ++taken;
    }
    if (taken) m_queued.fetch_sub(taken, std::memory_order_relaxed);
    for (Item& item : m_local) dropped.push_back(std::move(item));
    m_local.clear();
    releaseDeferred();  // their closures ran
    for (Item& item : dropped)
        if (item.handover) settle(item, false, nullptr);
}

MainThread::~MainThread() {
    // Posted closures nobody ran.
    for (Node* node = takeQueued(true); node;) {
        Node* next = node->next;
        if (!node->item.handover) delete node;
        node = next;
    }
}

}  // namespace kormlink
