#include "platform/event_loop.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <cerrno>
#include <climits>
#include <system_error>

#include "platform/console_output.h"

namespace kormlink {

namespace {

// epoll_wait() reports this for the wake-up descriptor; handlers are never at this address.
char wakeTag;

}  // namespace

EventLoop::EventLoop(std::string name)
    : m_epoll(::epoll_create1(EPOLL_CLOEXEC)),
      m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      m_name(std::move(name)) {
    if (!m_epoll) throw std::system_error(errno, std::generic_category(), "epoll_create1");
    if (!m_wake) throw std::system_error(errno, std::generic_category(), "eventfd");
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = &wakeTag;
    if (::epoll_ctl(m_epoll.get(), EPOLL_CTL_ADD, m_wake.get(), &ev) != 0)
        throw std::system_error(errno, std::generic_category(), "epoll_ctl");
    m_heap.reserve(64);
    m_thread = std::thread([this] { run(); });
}

EventLoop::~EventLoop() { stop(); }

bool EventLoop::post(std::function<void()> fn) {
    {
        std::lock_guard lock(m_mutex);
        if (m_ended) return false;
        m_posted.push_back(std::move(fn));
    }
    wakeUp();
    return true;
}

bool EventLoop::resumeAll(std::vector<std::shared_ptr<Resumable>>& items) {
    if (items.empty()) return true;
    {
        std::lock_guard lock(m_mutex);
        if (m_ended) return false;
        if (m_resumed.empty()) {
            m_resumed.swap(items);
        } else {
            m_resumed.insert(m_resumed.end(), std::make_move_iterator(items.begin()),
                             std::make_move_iterator(items.end()));
        }
    }
    items.clear();
    wakeUp();
    return true;
}

void EventLoop::wakeUp() {
    // One write until the loop has read it: the loop takes everything queued when it wakes.
    if (!m_wakePending.exchange(true, std::memory_order_acq_rel)) {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(m_wake.get(), &one, sizeof one);
    }
}

bool EventLoop::add(int fd, Handler* handler, std::uint32_t events) {
    epoll_event ev{};
    ev.events = events | EPOLLET;
    ev.data.ptr = handler;
    if (::epoll_ctl(m_epoll.get(), EPOLL_CTL_ADD, fd, &ev) != 0) return false;
    m_registered.insert(handler);
    m_handlers.fetch_add(1, std::memory_order_relaxed);
    return true;
}

bool EventLoop::modify(int fd, Handler* handler, std::uint32_t events) {
    epoll_event ev{};
    ev.events = events | EPOLLET;
    ev.data.ptr = handler;
    return ::epoll_ctl(m_epoll.get(), EPOLL_CTL_MOD, fd, &ev) == 0;
}

void EventLoop::remove(int fd, Handler* handler) {
    ::epoll_ctl(m_epoll.get(), EPOLL_CTL_DEL, fd, nullptr);
    if (m_registered.erase(handler) == 0) return;
    m_handlers.fetch_sub(1, std::memory_order_relaxed);
}

// ---- The timer heap: a binary min-heap of armed timers, each knowing its index. ----

void EventLoop::heapSwap(std::size_t a, std::size_t b) {
    std::swap(m_heap[a], m_heap[b]);
    m_heap[a]->m_index = a;
    m_heap[b]->m_index = b;
}

void EventLoop::heapUp(std::size_t i) {
    while (i > 0) {
        const std::size_t parent = (i - 1) / 2;
        if (m_heap[parent]->m_at <= m_heap[i]->m_at) return;
        heapSwap(i, parent);
        i = parent;
    }
}

void EventLoop::heapDown(std::size_t i) {
    for (;;) {
        const std::size_t left = 2 * i + 1;
        if (left >= m_heap.size()) return;
        std::size_t least = left;
        if (left + 1 < m_heap.size() && m_heap[left + 1]->m_at < m_heap[left]->m_at)
            least = left + 1;
        if (m_heap[i]->m_at <= m_heap[least]->m_at) return;
        heapSwap(i, least);
        i = least;
    }
}

void EventLoop::heapRemove(std::size_t i) {
    LoopTimer* timer = m_heap[i];
    const std::size_t last = m_heap.size() - 1;
    if (i != last) heapSwap(i, last);
    m_heap.pop_back();
    timer->m_index = LoopTimer::kNone;
    if (i < m_heap.size()) {
        heapDown(i);
        heapUp(i);
    }
}

void EventLoop::arm(LoopTimer& timer, Millis at) {
    if (timer.armed()) {
        const Millis before = timer.m_at;
        timer.m_at = at;
        if (at < before) {
            heapUp(timer.m_index);
        } else {
            heapDown(timer.m_index);
        }
        return;
    }
    timer.m_at = at;
    timer.m_index = m_heap.size();
    m_heap.push_back(&timer);
    heapUp(timer.m_index);
}

void EventLoop::cancel(LoopTimer& timer) {
    if (timer.armed()) heapRemove(timer.m_index);
}

int EventLoop::waitMs() const {
    if (m_heap.empty()) return -1;
    const Millis left = m_heap.front()->m_at - steadyClock().now();
    return static_cast<int>(std::clamp<Millis>(left, 0, INT_MAX));
}

void EventLoop::runTimers() {
    const Millis now = steadyClock().now();
    // Only timers due now: one that a firing timer arms for now again waits for the next turn,
    // so a loop never spins inside this step.
    std::size_t budget = m_heap.size();
    while (budget-- > 0 && !m_heap.empty() && m_heap.front()->m_at <= now) {
        LoopTimer* timer = m_heap.front();
        heapRemove(0);
        timer->m_fire();  // may re-arm it, or destroy the connection that owns it
    }
}

void EventLoop::runTurnEnd() {
    while (!m_turnEnd.empty()) {
        std::vector<std::function<void()>> steps;
        steps.swap(m_turnEnd);
        for (std::function<void()>& fn : steps) {
            try {
                fn();
            } catch (...) {
                consolePrintf(ConsoleStream::Err, "Kormlink: %s turn step failed\n",
                              m_name.c_str());
            }
        }
    }
}

void EventLoop::runPosted() {
    std::vector<std::function<void()>> batch;
    std::vector<std::shared_ptr<Resumable>> resumed;
    {
        std::lock_guard lock(m_mutex);
        batch.swap(m_posted);
        resumed.swap(m_resumed);
    }
    for (std::shared_ptr<Resumable>& item : resumed) {
        try {
            item->resumeOnLoop();
        } catch (...) {
            consolePrintf(ConsoleStream::Err, "Kormlink: %s: a connection failed\n",
                          m_name.c_str());
        }
        item.reset();
    }
    for (std::function<void()>& fn : batch) {
        try {
            fn();
        } catch (const std::exception& e) {
            consolePrintf(ConsoleStream::Err, "Kormlink: %s task failed: %s\n", m_name.c_str(),
                          e.what());
        } catch (...) {
            consolePrintf(ConsoleStream::Err, "Kormlink: %s task failed\n", m_name.c_str());
        }
    }
}

void EventLoop::run() {
    m_threadId.store(std::this_thread::get_id());
    ::pthread_setname_np(::pthread_self(), m_name.substr(0, 15).c_str());
    epoll_event events[256];
    for (;;) {
        const int n = ::epoll_wait(m_epoll.get(), events, 256, waitMs());
        if (n < 0 && errno != EINTR) {
            consolePrintf(ConsoleStream::Err, "Kormlink: %s: epoll_wait failed (errno %d)\n",
                          m_name.c_str(), errno);
            ::usleep(10'000);  // never spin on a broken epoll
        }
        bool woken = false;
        for (int i = 0; i < n; ++i) {
            if (events[i].data.ptr == &wakeTag) {
                woken = true;
                continue;
            }
            auto* handler = static_cast<Handler*>(events[i].data.ptr);
            // A handler removed by an earlier event of this batch is not called again (it is
            // still alive: handlers are destroyed only after the turn).
            if (!m_registered.contains(handler)) continue;
            try {
                handler->onEvents(events[i].events);
            } catch (...) {
                consolePrintf(ConsoleStream::Err, "Kormlink: %s: a connection failed\n",
                              m_name.c_str());
            }
        }
        if (woken) {
            std::uint64_t value;
            [[maybe_unused]] ssize_t r = ::read(m_wake.get(), &value, sizeof value);
            m_wakePending.store(false, std::memory_order_release);
        }
        runPosted();
        runTimers();
        runTurnEnd();
        bool ending;
        {
            std::lock_guard lock(m_mutex);
            ending = m_ending;
        }
        if (ending) break;
    }
    // Whatever is still registered ends now; what it posts meanwhile still runs.
    while (!m_registered.empty()) {
        Handler* handler = *m_registered.begin();
        try {
            handler->onLoopStopped();
        } catch (...) {
        }
        if (m_registered.erase(handler) != 0)  // it did not remove itself
            m_handlers.fetch_sub(1, std::memory_order_relaxed);
    }
    for (;;) {
        {
            std::lock_guard lock(m_mutex);
            if (m_posted.empty() && m_resumed.empty()) {
                m_ended = true;
                break;
            }
        }
        runPosted();
        runTurnEnd();
    }
    m_heap.clear();
}

void EventLoop::stop() {
    {
        std::lock_guard lock(m_mutex);
        if (m_ending && !m_thread.joinable()) return;
        m_ending = true;
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(m_wake.get(), &one, sizeof one);
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
}

EventLoops::EventLoops(std::size_t count) {
    if (count == 0) count = std::max(1u, std::thread::hardware_concurrency());
    count = std::min(count, kMaxLoops);
    for (std::size_t i = 0; i < count; ++i)
        m_loops.push_back(std::make_unique<EventLoop>("kl-loop-" + std::to_string(i)));
}

EventLoops::~EventLoops() { stop(); }

EventLoop& EventLoops::pick() {
    // The least busy loop; ties go round, so connections that arrive together spread.
    const std::size_t start = m_next.fetch_add(1, std::memory_order_relaxed);
    std::size_t best = start % m_loops.size();
    for (std::size_t k = 1; k < m_loops.size(); ++k) {
        const std::size_t i = (start + k) % m_loops.size();
        if (m_loops[i]->handlerCount() < m_loops[best]->handlerCount()) best = i;
    }
    return *m_loops[best];
}

void EventLoops::stop() {
    for (auto& loop : m_loops) loop->stop();
}

}  // namespace kormlink
