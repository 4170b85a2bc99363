#pragma once

// Pieces shared by the simulators' epoll loops (rptsim's repeaters, klbench's load driver):
// the once-a-second time stamp of event lines and the wake-up schedule of many connections.

#include <sys/epoll.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <functional>
#include <queue>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace kormlink::sim {

// The event line's "YYYY/MM/DD hh:mm:ss" in local time, made again only when the second turns:
// thousands of lines a second would otherwise each pay for localtime_r.
class StampCache {
  public:
    const std::string& now() {
        const time_t t = ::time(nullptr);
        if (t != m_second) {
            m_second = t;
            tm local{};
            ::localtime_r(&t, &local);
            char buf[32];
            std::strftime(buf, sizeof buf, "%Y/%m/%d %H:%M:%S", &local);
            m_text = buf;
        }
        return m_text;
    }

  private:
    std::string m_text;
    time_t m_second = -1;
};

// When each of many items next wants service. An item keeps `Millis scheduledAt` (-1: not in
// the schedule); an entry whose time no longer matches it was superseded and is skipped, which
// spares the heap a removal each time an item's next wake moves.
template <class Item>
class WakeSchedule {
  public:
    // Puts item `index` in the schedule for `at` (-1: never) unless it is there already.
    void set(Item& item, std::uint32_t index, Millis at) {
        if (at == item.scheduledAt) return;
        item.scheduledAt = at;
        if (at >= 0) m_heap.push({at, index});
    }

    // The same after service(item) has just run at `now`: a wake still due now would only spin
    // the loop, so it waits a millisecond instead.
    void setAfterService(Item& item, std::uint32_t index, Millis at, Millis now) {
        set(item, index, at >= 0 && at <= now ? now + 1 : at);
    }

    // How long the loop may wait for I/O from now: until the first wake, at most `longest`.
    int timeoutMs(Millis now, Millis longest) const {
        if (m_heap.empty()) return static_cast<int>(longest);
        return static_cast<int>(std::clamp<Millis>(m_heap.top().at - now, 0, longest));
    }

    // Waits up to timeoutMs(now, longest) for I/O on epollFd, whose events carry the index of
    // their item (`wakerTag` for a waker, skipped), and calls onIo(item, events, now) for each
    // ready item. Returns the time after the wait.
    template <class OnIo>
    Millis waitForIo(int epollFd, std::uint32_t wakerTag, Millis longest, std::vector<Item>& items,
                     OnIo&& onIo) {
        epoll_event events[256];
        const int n = ::epoll_wait(epollFd, events, 256, timeoutMs(steadyClock().now(), longest));
        const Millis now = steadyClock().now();
        for (int i = 0; i < n; ++i) {
            if (events[i].data.u32 != wakerTag)
                onIo(items[events[i].data.u32], events[i].events, now);
        }
        return now;
    }

    // Calls service(item) for each item due by `now`, its entry taken out first.
    template <class Service>
    void runDue(Millis now, std::vector<Item>& items, Service&& service) {
        while (!m_heap.empty() && m_heap.top().at <= now) {
            const Wake w = m_heap.top();
            m_heap.pop();
            Item& item = items[w.index];
            if (item.scheduledAt != w.at) continue;  // superseded
            item.scheduledAt = -1;
            service(item);
        }
    }

  private:
    struct Wake {
        Millis at;
        std::uint32_t index;
        bool operator>(const Wake& o) const { return at > o.at; }
    };
    std::priority_queue<Wake, std::vector<Wake>, std::greater<Wake>> m_heap;
};

}  // namespace kormlink::sim
