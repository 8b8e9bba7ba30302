#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/Semaphore.h"

namespace telvo {
namespace {

// Threaded mode: 8 threads submit plain and barrier blocks; a barrier never overlaps another
// block of its queue, and every submitter's blocks keep their order around its barriers.
TEST(DispatchQueueThreaded, BarriersNeverOverlapAndKeepOrder) {
    auto queue = DispatchQueue::createConcurrent("test.concurrent");
    std::atomic<int> running{0};
    std::atomic<bool> overlap{false};
    std::mutex logMutex;
    std::vector<std::vector<int>> seen(8);  // per submitter: indices of its barriers as run
    std::atomic<int> done{0};
    constexpr int kPerThread = 200;

    std::vector<std::thread> submitters;
    for (int t = 0; t < 8; ++t) {
        submitters.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                if (i % 10 == 0) {
                    queue->barrierAsync([&, t, i] {
                        if (running.fetch_add(1) != 0) overlap = true;
                        {
                            std::lock_guard<std::mutex> lock(logMutex);
                            seen[t].push_back(i);
                        }
                        if (running.fetch_sub(1) != 1) overlap = true;
                        done.fetch_add(1);
                    });
                } else {
                    queue->async([&] {
                        running.fetch_add(1);
                        running.fetch_sub(1);
                        done.fetch_add(1);
                    });
                }
            }
        });
    }
    for (auto& s : submitters) s.join();
    queue->barrierSync([] {});
    EXPECT_EQ(done.load(), 8 * kPerThread);
    EXPECT_FALSE(overlap.load());
    for (auto& list : seen) {
        ASSERT_EQ(list.size(), size_t(kPerThread / 10));
        for (size_t k = 0; k < list.size(); ++k) EXPECT_EQ(list[k], int(k * 10));
    }
}

TEST(DispatchQueueThreaded, SerialQueueRunsInOrderOneAtATime) {
    auto queue = DispatchQueue::createSerial("test.serial");
    std::vector<int> order;
    std::atomic<int> running{0};
    bool overlap = false;
    std::vector<std::thread> submitters;
    for (int t = 0; t < 4; ++t) {
        submitters.emplace_back([&, t] {
            for (int i = 0; i < 100; ++i)
                queue->async([&, t, i] {
                    if (running.fetch_add(1) != 0) overlap = true;
                    order.push_back(t * 1000 + i);
                    running.fetch_sub(1);
                });
        });
    }
    for (auto& s : submitters) s.join();
    queue->sync([] {});
    ASSERT_EQ(order.size(), 400u);
    EXPECT_FALSE(overlap);
    std::vector<int> last(4, -1);
    for (int v : order) {
        EXPECT_GT(v % 1000, last[v / 1000]);
        last[v / 1000] = v % 1000;
    }
}

// Threaded mode: blocks queued behind a running one follow it on its worker, in order, with
// no hand-off to another thread.
TEST(DispatchQueueThreaded, BlocksQueuedBehindARunningOneFollowItOnItsWorker) {
    auto queue = DispatchQueue::createSerial("test.busy");
    Semaphore release(0);
    std::vector<std::pair<int, std::thread::id>> ran;
    queue->async([&] {
        release.wait();
        ran.emplace_back(0, std::this_thread::get_id());
    });
    for (int i = 1; i <= 50; ++i)
        queue->async([&, i] { ran.emplace_back(i, std::this_thread::get_id()); });
    release.signal();
    queue->sync([] {});
    ASSERT_EQ(ran.size(), 51u);
    for (size_t i = 0; i < ran.size(); ++i) {
        EXPECT_EQ(ran[i].first, int(i));
        EXPECT_EQ(ran[i].second, ran[0].second);
    }
}

// Threaded mode: a sync from another thread that queues behind a running block takes its turn
// there: it starts once that block has ended, and the block queued after it waits for it.
TEST(DispatchQueueThreaded, ASyncCallerTakesItsTurnInABusyQueue) {
    for (bool serial : {true, false}) {
        SCOPED_TRACE(serial ? "serial, sync" : "concurrent, barrier sync");
        auto queue = serial ? DispatchQueue::createSerial("test.turn")
                            : DispatchQueue::createConcurrent("test.turn");
        Semaphore release(0);
        std::mutex mutex;
        std::vector<std::string> log;
        auto write = [&](const char* what) {
            std::lock_guard lock(mutex);
            log.push_back(what);
        };
        queue->async([&] {
            release.wait();
            write("first");
        });
        std::thread caller([&] {
            auto block = [&] { write("sync"); };
            if (serial)
                queue->sync(block);
            else
                queue->barrierSync(block);
            write("returned");
        });
        while (queue->pendingCount() == 0) std::this_thread::yield();
        queue->barrierAsync([&] { write("after"); });
        release.signal();
        caller.join();
        queue->barrierSync([] {});
        std::lock_guard lock(mutex);
        EXPECT_TRUE(log == (std::vector<std::string>{"first", "sync", "returned", "after"}) ||
                    log == (std::vector<std::string>{"first", "sync", "after", "returned"}));
    }
}

TEST(DispatchQueueThreaded, SyncOntoCurrentQueueRunsInline) {
    auto serial = DispatchQueue::createSerial("test.inline");
    auto other = DispatchQueue::createSerial("test.other");
    std::thread::id outer, inner, nested;
    serial->sync([&] {
        outer = std::this_thread::get_id();
        serial->sync([&] { inner = std::this_thread::get_id(); });
        // Back onto a queue further up the stack: still inline, no deadlock.
        other->sync([&] { serial->sync([&] { nested = std::this_thread::get_id(); }); });
    });
    EXPECT_EQ(outer, inner);
    EXPECT_EQ(outer, nested);

    std::atomic<bool> ranInline{false};
    std::atomic<bool> finished{false};
    serial->async([&] {
        bool flag = false;
        serial->sync([&] { flag = true; });
        ranInline = flag;
        finished = true;
    });
    serial->sync([] {});
    EXPECT_TRUE(finished.load());
    EXPECT_TRUE(ranInline.load());
}

// A sync block that throws hands the exception to the caller and leaves the queue usable.
TEST(DispatchQueueThreaded, ThrowingSyncBlockReleasesTheQueue) {
    for (auto queue : {DispatchQueue::createSerial("test.throw"),
                       DispatchQueue::createConcurrent("test.throw.concurrent")}) {
        SCOPED_TRACE(queue->label());
        EXPECT_THROW(queue->barrierSync([] { throw std::runtime_error("x"); }), std::runtime_error);
        EXPECT_FALSE(queue->isCurrent());
        EXPECT_EQ(queue->syncResult([] { return 1; }), 1);
    }
}

TEST(DispatchQueueThreaded, SpecificsAndCurrent) {
    static int key;
    auto queue = DispatchQueue::createSerial("test.specific");
    auto value = std::make_shared<int>(7);
    queue->setSpecific(&key, value);
    EXPECT_EQ(DispatchQueue::getSpecific(&key), nullptr);  // not on the queue
    void* seen = nullptr;
    bool current = false;
    queue->sync([&] {
        seen = DispatchQueue::getSpecific(&key);
        current = queue->isCurrent() && DispatchQueue::current() == queue;
    });
    EXPECT_EQ(seen, value.get());
    EXPECT_TRUE(current);
    EXPECT_FALSE(queue->isCurrent());
    queue->setSpecific(&key, nullptr);
    EXPECT_EQ(queue->getSpecificOf(&key), nullptr);
}

TEST(DispatchQueueThreaded, MainQueueRunsOnTheLoopThreadOrTheLibrarys) {
    std::thread::id ranOn;
    DispatchQueue::main()->async([&] { ranOn = std::this_thread::get_id(); });
    bool done = MainLoop::runUntil([&] { return ranOn != std::thread::id(); }, 10);
    EXPECT_TRUE(done);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_TRUE(MainLoop::isMainThread());

    // A sync onto the main queue from another thread runs on the main loop's thread.
    std::thread::id syncRanOn;
    std::atomic<bool> back{false};
    std::thread other([&] {
        DispatchQueue::main()->sync([&] { syncRanOn = std::this_thread::get_id(); });
        back = true;
    });
    MainLoop::runUntil([&] { return back.load(); }, 10);
    other.join();
    EXPECT_EQ(syncRanOn, std::this_thread::get_id());

    // The library's own main thread, once started, is the main queue's.
    MainLoop::startThread();
    std::atomic<bool> onMain{false};
    DispatchQueue::main()->sync([&] { onMain = MainLoop::isMainThread(); });
    EXPECT_TRUE(onMain.load());
    EXPECT_FALSE(MainLoop::isMainThread());
    MainLoop::stopThread();
}

// --- deterministic mode ----------------------------------------------------------------------

class DeterministicQueue : public ::testing::Test {
  protected:
    DeterministicDispatch mode_;
};

TEST_F(DeterministicQueue, EveryQueueRunsOnTheTestThreadInSubmissionOrder) {
    auto serial = DispatchQueue::createSerial("a");
    auto concurrent = DispatchQueue::createConcurrent("b");
    std::vector<std::string> order;
    auto me = std::this_thread::get_id();
    bool allHere = true;
    auto note = [&](std::string s) {
        if (std::this_thread::get_id() != me) allHere = false;
        order.push_back(std::move(s));
    };
    DispatchQueue::main()->async([&] { note("main1"); });
    serial->async([&] { note("serial1"); });
    concurrent->async([&] { note("concurrent1"); });
    DispatchQueue::global()->async([&] { note("global1"); });
    concurrent->barrierAsync([&] { note("barrier"); });
    DispatchQueue::global(DispatchQoS::Background)->async([&] { note("background"); });
    EXPECT_TRUE(order.empty());  // nothing runs before the loop does
    MainLoop::drain();
    EXPECT_TRUE(allHere);
    EXPECT_EQ(order, (std::vector<std::string>{"main1", "serial1", "concurrent1", "global1",
                                               "barrier", "background"}));
}

TEST_F(DeterministicQueue, SyncRunsEarlierBlocksOfItsQueueFirst) {
    auto queue = DispatchQueue::createSerial("q");
    std::vector<int> order;
    queue->async([&] { order.push_back(1); });
    queue->async([&] { order.push_back(2); });
    queue->sync([&] {
        order.push_back(3);
        queue->sync([&] { order.push_back(4); });  // inline
        EXPECT_TRUE(queue->isCurrent());
    });
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
    queue->async([&] { order.push_back(5); });
    MainLoop::drain();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4, 5}));
}

// The main queue's blocks are the loop's own jobs: a sync on the loop's thread runs the ones
// queued before it in order, then itself inline; what they queue waits for the loop.
TEST(DispatchQueueModes, MainQueueSyncOnTheLoopThreadRunsEarlierBlocksFirst) {
    for (bool deterministic : {false, true}) {
        SCOPED_TRACE(deterministic ? "deterministic" : "threaded");
        std::unique_ptr<DeterministicDispatch> mode;
        if (deterministic) mode = std::make_unique<DeterministicDispatch>();
        MainLoop::drain();  // this thread runs the loop
        auto main = DispatchQueue::main();
        std::vector<int> order;
        main->async([&] { order.push_back(1); });
        main->async([&] {
            order.push_back(2);
            main->async([&] { order.push_back(5); });
        });
        EXPECT_EQ(main->pendingCount(), 2u);
        main->sync([&] {
            order.push_back(3);
            main->sync([&] { order.push_back(4); });  // inline
            EXPECT_TRUE(main->isCurrent());
        });
        EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
        EXPECT_EQ(main->pendingCount(), 1u);
        MainLoop::drain();
        EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4, 5}));
        EXPECT_EQ(main->pendingCount(), 0u);
    }
}

TEST_F(DeterministicQueue, SyncFromAnotherThreadWaitsForTheLoop) {
    auto queue = DispatchQueue::createSerial("q");
    std::thread::id ranOn;
    std::atomic<bool> back{false};
    auto work = Dispatch::beginOutsideWork("sync caller");
    std::thread other([&, work] {
        queue->sync([&] { ranOn = std::this_thread::get_id(); });
        back = true;
        work->finish();
    });
    work.reset();
    EXPECT_TRUE(MainLoop::runUntil([&] { return back.load(); }, 5));
    other.join();
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST_F(DeterministicQueue, AfterRunsAtItsVirtualTime) {
    auto queue = DispatchQueue::createSerial("q");
    std::vector<std::pair<int, double>> fired;
    queue->after(2.5, [&] { fired.emplace_back(2, Clock::now()); });
    queue->after(1.0, [&] { fired.emplace_back(1, Clock::now()); });
    DispatchQueue::main()->after(0, [&] { fired.emplace_back(0, Clock::now()); });
    MainLoop::runFor(10);
    ASSERT_EQ(fired.size(), 3u);
    EXPECT_EQ(fired[0], std::make_pair(0, 0.0));
    EXPECT_EQ(fired[1], std::make_pair(1, 1.0));
    EXPECT_EQ(fired[2], std::make_pair(2, 2.5));
    EXPECT_DOUBLE_EQ(Clock::now(), 10.0);
}

}  // namespace
}  // namespace telvo
