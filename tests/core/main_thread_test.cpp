#include "core/main_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace kormlink {
namespace {

TEST(MainThread, CallRunsOnTheMainThreadInOrderAndRethrows) {
    MainThread main;
    std::vector<int> order;
    std::atomic<bool> workerDone{false};
    std::thread worker([&] {
        main.post([] { throw std::runtime_error("posted"); });  // costs that closure only
        main.post([&] { order.push_back(1); });
        main.call([&] {
            EXPECT_TRUE(main.isMainThread());
            order.push_back(2);
        });
        EXPECT_THROW(main.call([] { throw std::runtime_error("boom"); }), std::runtime_error);
        workerDone = true;
    });
    // Waiting for the worker serves its hand-overs meanwhile (as a stop does), or this would
    // never end.
    EXPECT_TRUE(main.runUntil([&] { return workerDone.load(); }, 5000));
    worker.join();
    main.call([&] { order.push_back(3); });  // on the main thread itself call() runs inline
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(MainThread, ClosedHandOverRefusesAndReleasesWaitingCallers) {
    MainThread main;
    std::atomic<bool> queued{false};
    main.setWaker([&] { queued = true; });
    std::atomic<int> result{-1};
    std::thread worker([&] { result = main.call([] {}) ? 1 : 0; });
    while (!queued) std::this_thread::yield();
    main.close();  // the queued call never runs; its caller must not hang
    worker.join();
    EXPECT_EQ(result.load(), 0);
    std::thread([&] { result = main.call([] {}) ? 1 : 0; }).join();
    EXPECT_EQ(result.load(), 0);
    // Waiting on a closed hand-over still waits between checks instead of spinning.
    int checks = 0;
    EXPECT_FALSE(main.runUntil([&] { return ++checks < 0; }, 100));
    EXPECT_LT(checks, 60);
}

// A closure that waits for a worker (as a stop does) while the worker's own hand-over was
// queued right behind that closure: the nested drain must find it.
TEST(MainThread, NestedDrainFindsClosuresQueuedBehindTheRunningOne) {
    MainThread main;
    std::atomic<bool> workerDone{false};
    main.post([&] { EXPECT_TRUE(main.runUntil([&] { return workerDone.load(); }, 3000)); });
    std::thread worker([&] {
        main.call([] {});
        workerDone = true;
    });
    while (main.pending() < 2) std::this_thread::yield();  // the worker's closure is behind ours
    main.runPending();
    worker.join();
}

// A worker whose closure asks for it is released only after the after-batch step (where the
// journals are written), and its last step runs between the two; submit/await lets the worker
// go on meanwhile and still sees the closure's outcome.
TEST(MainThread, ReleaseAfterTheBatchFollowsTheAfterStepAndSubmitAwaitsLater) {
    MainThread main;
    std::vector<std::string> order, seen;
    main.setAfterBatch([&] { order.push_back("after"); });
    std::atomic<bool> done{false};
    std::thread worker([&] {
        main.call([&] {
            order.push_back("closure");
            main.releaseAfterBatch([&] { order.push_back("last step"); });
        });
        seen = order;  // the main thread wrote them before the release
        MainThread::Handover h;
        ASSERT_TRUE(main.submit(h, [] { throw std::runtime_error("late"); }));
        EXPECT_THROW(main.await(h), std::runtime_error);
        done = true;
    });
    EXPECT_TRUE(main.runUntil([&] { return done.load(); }, 5000));
    worker.join();
    EXPECT_EQ(seen, (std::vector<std::string>{"closure", "after", "last step"}));
}

// A stop queued behind a worker's closure waits for the worker; the drain nested in it finds
// nothing queued, and must still run the after-batch step before it releases the worker.
TEST(MainThread, ANestedDrainRunsTheAfterStepBeforeItReleasesAnEarlierClosure) {
    MainThread main;
    int afterSteps = 0;
    main.setAfterBatch([&] { ++afterSteps; });
    int afterStepsAtRelease = -1;
    std::atomic<bool> released{false};
    std::thread worker([&] {
        main.call([&] { main.releaseAfterBatch([&] { afterStepsAtRelease = afterSteps; }); });
        released = true;
    });
    while (main.pending() < 1) std::this_thread::yield();
    main.post([&] { EXPECT_TRUE(main.runUntil([&] { return released.load(); }, 3000)); });
    main.runPending();
    worker.join();
    EXPECT_EQ(afterStepsAtRelease, 1);
}

}  // namespace
}  // namespace kormlink
