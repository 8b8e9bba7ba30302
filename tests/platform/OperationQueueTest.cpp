#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/OperationQueue.h"
#include "platform/dispatch/Semaphore.h"

namespace telvo {
namespace {

// Threaded: exactly the maximum of operations run at once (the first ones wait until that
// many are running), all run, the count goes back to 0.
TEST(OperationQueueThreaded, RespectsMaximumConcurrency) {
    for (int max : {1, 2, 4}) {
        SCOPED_TRACE(max);
        auto queue = OperationQueue::create("ops");
        EXPECT_EQ(queue->maxConcurrentOperationCount(), 1);
        queue->setMaxConcurrentOperationCount(max);
        std::mutex mutex;
        std::condition_variable changed;
        int running = 0, peak = 0, done = 0;
        for (int i = 0; i < 12; ++i) {
            queue->addOperationWithBlock([&] {
                std::unique_lock lock(mutex);
                peak = std::max(peak, ++running);
                changed.notify_all();
                // The time-out only ends a failing run.
                changed.wait_for(lock, std::chrono::seconds(10), [&] { return peak >= max; });
                --running;
                ++done;
            });
        }
        queue->waitUntilAllOperationsAreFinished();
        std::lock_guard lock(mutex);
        EXPECT_EQ(done, 12);
        EXPECT_EQ(peak, max);
        EXPECT_EQ(queue->operationCount(), 0u);
    }
}

TEST(OperationQueueThreaded, CancelDropsOperationsNotStarted) {
    auto queue = OperationQueue::create();
    Semaphore started(0), release(0);
    std::atomic<int> ran{0};
    queue->addOperationWithBlock([&] {
        started.signal();
        release.wait();
        ran.fetch_add(1);
    });
    for (int i = 0; i < 5; ++i) queue->addOperationWithBlock([&] { ran.fetch_add(10); });
    started.wait();
    EXPECT_EQ(queue->operationCount(), 6u);
    queue->cancelAllOperations();
    EXPECT_EQ(queue->operationCount(), 1u);
    release.signal();
    queue->waitUntilAllOperationsAreFinished();
    EXPECT_EQ(ran.load(), 1);
}

TEST(OperationQueueDeterministic, RunsOnTheLoopInOrder) {
    DeterministicDispatch mode;
    auto queue = OperationQueue::create();
    queue->setMaxConcurrentOperationCount(2);
    std::vector<int> order;
    for (int i = 0; i < 4; ++i)
        queue->addOperationWithBlock([&, i] {
            EXPECT_TRUE(queue->isCurrent());
            order.push_back(i);
        });
    MainLoop::drain();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
    queue->addOperationWithBlock([&] { order.push_back(4); });
    queue->waitUntilAllOperationsAreFinished();
    EXPECT_EQ(order.size(), 5u);
}

TEST(Semaphore, CountsAndTimesOut) {
    Semaphore one(1);
    EXPECT_TRUE(one.wait(0));
    EXPECT_FALSE(one.wait(0));
    one.signal();
    one.signal();
    EXPECT_TRUE(one.wait(0));
    EXPECT_TRUE(one.wait(0));
    EXPECT_FALSE(one.wait(0.001));
}

// A waiter may destroy the semaphore as soon as its wait returns: the signal that let it return
// no longer touches it (the sanitizers see the use after free otherwise).
TEST(Semaphore, AWaiterMayDestroyItOnceWoken) {
    for (int i = 0; i < 200; ++i) {
        auto semaphore = std::make_unique<Semaphore>();
        std::thread signaller([s = semaphore.get()] { s->signal(); });
        EXPECT_TRUE(semaphore->wait(10));
        semaphore.reset();
        signaller.join();
    }
}

}  // namespace
}  // namespace telvo
