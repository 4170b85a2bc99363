#include "platform/event_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <random>
#include <thread>
#include <vector>

#include "platform/worker_pool.h"

namespace kormlink {
namespace {

// Runs fn on the loop and waits for it.
void onLoop(EventLoop& loop, const std::function<void()>& fn) {
    std::promise<void> done;
    ASSERT_TRUE(loop.post([&] {
        fn();
        done.set_value();
    }));
    ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
}

// Timers fire in the order of their deadlines however they were armed, moved and cancelled;
// closures posted from many threads all run, each thread's in its order.
TEST(EventLoop, TimersFireInDeadlineOrderAndPostedClosuresRunInOrder) {
    EventLoop loop;
    constexpr int kTimers = 200;
    std::vector<std::unique_ptr<LoopTimer>> timers;
    std::vector<Millis> fired;  // loop thread
    std::vector<Millis> expected;
    std::promise<void> allFired;
    std::mt19937 random(7);
    onLoop(loop, [&] {
        const Millis base = steadyClock().now() + 50;
        for (int i = 0; i < kTimers; ++i) {
            timers.push_back(std::make_unique<LoopTimer>([&, i] {
                fired.push_back(timers[i]->at());
                if (fired.size() == expected.size()) allFired.set_value();
            }));
            loop.arm(*timers.back(), base + static_cast<Millis>(random() % 300));
        }
        // Move a third earlier or later, cancel every seventh.
        for (int i = 0; i < kTimers; i += 3)
            loop.arm(*timers[i], base + static_cast<Millis>(random() % 300));
        for (int i = 0; i < kTimers; i += 7) loop.cancel(*timers[i]);
        for (auto& t : timers)
            if (t->armed()) expected.push_back(t->at());
        std::sort(expected.begin(), expected.end());
    });
    ASSERT_EQ(allFired.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
    onLoop(loop, [&] { EXPECT_EQ(fired, expected); });

    constexpr int kThreads = 4, kPosts = 2000;
    std::vector<int> last(kThreads, -1);  // loop thread
    std::atomic<int> outOfOrder{0}, ran{0};
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t)
        posters.emplace_back([&, t] {
            for (int i = 0; i < kPosts; ++i)
                loop.post([&, t, i] {
                    if (i != last[t] + 1) ++outOfOrder;
                    last[t] = i;
                    ++ran;
                });
        });
    for (auto& p : posters) p.join();
    onLoop(loop, [] {});
    EXPECT_EQ(ran.load(), kThreads * kPosts);
    EXPECT_EQ(outOfOrder.load(), 0);

    loop.stop();
    EXPECT_FALSE(loop.post([] {}));  // an ended loop takes nothing
}

// The pool makes threads up to its bound, queues beyond it, and lets idle threads go.
TEST(WorkerPool, GrowsToItsBoundQueuesBeyondAndShrinksWhenIdle) {
    WorkerPool pool(2, 100);
    std::promise<void> release;
    std::shared_future<void> gate = release.get_future().share();
    std::atomic<int> done{0};
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(pool.run([&, gate] {
            gate.wait();
            ++done;
        }));
    EXPECT_EQ(pool.threads(), 2u);
    release.set_value();
    const auto waitFor = [](const std::function<bool()>& pred) {
        for (int i = 0; i < 500 && !pred(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    };
    waitFor([&] { return done.load() == 5; });
    EXPECT_EQ(done.load(), 5);
    waitFor([&] { return pool.threads() == 0; });
    EXPECT_EQ(pool.threads(), 0u);
}

}  // namespace
}  // namespace kormlink
