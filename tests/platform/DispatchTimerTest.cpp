#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/DispatchTimer.h"
#include "platform/dispatch/MainLoop.h"

namespace telvo {
namespace {

class DeterministicTimer : public ::testing::Test {
  protected:
    DeterministicDispatch mode_;
};

TEST_F(DeterministicTimer, PausedTimerKeepsItsRemainingTime) {
    std::optional<double> firedAt;
    auto timer = DispatchTimer::create(DispatchQueue::main(), [&] { firedAt = Clock::now(); });
    timer->start(180);
    MainLoop::runFor(100);
    EXPECT_FALSE(firedAt);
    timer->pause();
    EXPECT_TRUE(timer->isPaused());
    EXPECT_DOUBLE_EQ(timer->remaining(), 80);
    MainLoop::runFor(30);
    EXPECT_FALSE(firedAt);
    timer->resume();
    EXPECT_TRUE(MainLoop::runUntil([&] { return firedAt.has_value(); }, 1000));
    EXPECT_DOUBLE_EQ(*firedAt, 210.0);
}

TEST_F(DeterministicTimer, RepeatingRearmedAndCancelled) {
    std::vector<double> fires;
    auto q = DispatchQueue::createSerial("t");
    auto timer = DispatchTimer::create(q, [&] { fires.push_back(Clock::now()); });
    timer->start(1, 0.5);
    MainLoop::runFor(2.2);
    EXPECT_EQ(fires, (std::vector<double>{1.0, 1.5, 2.0}));
    timer->rearm(3);  // next at 5.2, then every 0.5
    MainLoop::runFor(3.6);
    ASSERT_EQ(fires.size(), 5u);
    EXPECT_NEAR(fires[3], 5.2, 1e-9);
    EXPECT_NEAR(fires[4], 5.7, 1e-9);
    timer->cancel();
    MainLoop::runFor(10);
    EXPECT_EQ(fires.size(), 5u);
    EXPECT_TRUE(timer->isCancelled());
    timer->start(1);  // a cancelled timer stays cancelled
    MainLoop::runFor(10);
    EXPECT_EQ(fires.size(), 5u);
}

TEST_F(DeterministicTimer, CancelReleasesTheHandlerAtOnce) {
    auto guard = std::make_shared<int>(1);
    std::weak_ptr<int> weak = guard;
    auto timer = DispatchTimer::create(DispatchQueue::main(), [guard] {});
    guard.reset();
    timer->start(5);
    EXPECT_FALSE(weak.expired());
    timer->cancel();
    EXPECT_TRUE(weak.expired());
}

TEST_F(DeterministicTimer, FireOnItsWayIsDroppedByCancelRearmOrPause) {
    // The fire reaches the queue at t=1, but a block queued earlier acts on the timer first.
    struct Case {
        const char* name;
        void (*act)(DispatchTimer&);
        int expectedFires;
    };
    const Case cases[] = {
        {"cancel", [](DispatchTimer& t) { t.cancel(); }, 0},
        {"pause", [](DispatchTimer& t) { t.pause(); }, 1},  // a fired one-shot has nothing to pause
        {"rearm", [](DispatchTimer& t) { t.rearm(2); }, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int fires = 0;
        auto q = DispatchQueue::createSerial("t");
        auto timer = DispatchTimer::create(q, [&] { ++fires; });
        timer->start(1);
        // At t=1 a block is queued before the fire: both are due at the same instant.
        DispatchQueue::main()->after(1, [&] { c.act(*timer); });
        timer->rearm(1);  // now the timer's key is later than the main-queue block's
        MainLoop::runFor(5);
        EXPECT_EQ(fires, c.expectedFires);
    }
}

TEST_F(DeterministicTimer, SameDeadlineFiresInArmingOrder) {
    std::string order;
    auto a = DispatchTimer::create(nullptr, [&] { order += "a"; });
    auto b = DispatchTimer::create(nullptr, [&] { order += "b"; });
    auto c = DispatchTimer::create(nullptr, [&] { order += "c"; });
    b->start(1);
    c->start(1);
    a->start(1);
    MainLoop::runFor(1);
    EXPECT_EQ(order, "bca");
}

TEST_F(DeterministicTimer, DelayedCallsCancelledByNameNeverRun) {
    int targetA = 0, targetB = 0;
    std::vector<std::string> ran;
    auto held = std::make_shared<int>(0);
    std::weak_ptr<int> weak = held;
    MainLoop::performAfterDelay(&targetA, "startTimer", 10,
                                [&, held] { ran.push_back("A.startTimer"); });
    MainLoop::performAfterDelay(&targetA, "checkAPIsolate", 2,
                                [&, held] { ran.push_back("A.checkAPIsolate"); });
    MainLoop::performAfterDelay(&targetA, "checkAPIsolate", 3,
                                [&, held] { ran.push_back("A.checkAPIsolate2"); });
    MainLoop::performAfterDelay(&targetB, "checkAPIsolate", 2,
                                [&] { ran.push_back("B.checkAPIsolate"); });
    held.reset();
    EXPECT_EQ(MainLoop::pendingPerformRequests(&targetA), 3u);
    EXPECT_EQ(MainLoop::pendingPerformRequests(&targetA, "checkAPIsolate"), 2u);

    MainLoop::cancelPreviousPerformRequests(&targetA, "checkAPIsolate");
    EXPECT_FALSE(weak.expired());  // startTimer still holds it
    MainLoop::cancelPreviousPerformRequests(&targetA);
    EXPECT_TRUE(weak.expired());
    MainLoop::runFor(20);
    EXPECT_EQ(ran, (std::vector<std::string>{"B.checkAPIsolate"}));
    EXPECT_EQ(MainLoop::pendingPerformRequests(&targetB), 0u);
}

// Outside work in flight holds virtual time; a reply handed in just before its work finishes
// runs before time moves, however the two threads interleave with the loop.
TEST_F(DeterministicTimer, ReplyHandedInAsWorkFinishesRunsBeforeTimeMoves) {
    for (int round = 0; round < 300; ++round) {
        std::optional<double> replyAt;
        bool timerFired = false;
        const double start = Clock::now();
        DispatchQueue::main()->after(1, [&] { timerFired = true; });
        auto work = Dispatch::beginOutsideWork("request");
        std::thread outside([work, &replyAt] {
            DispatchQueue::main()->async([&replyAt] { replyAt = Clock::now(); });
            work->finish();
        });
        work.reset();
        ASSERT_TRUE(MainLoop::runUntil([&] { return timerFired; }, 5));
        outside.join();
        ASSERT_TRUE(replyAt) << "round " << round;
        ASSERT_EQ(*replyAt, start) << "round " << round;
    }
    EXPECT_EQ(Dispatch::outsideWorkInFlight(), 0);
}

// Leaving deterministic mode drops its timers: they are no longer armed, and a later start()
// arms them again on the real clock.
TEST(DispatchTimerModes, TimersDroppedWithDeterministicModeAreIdle) {
    auto timer = DispatchTimer::create(nullptr, [] {});
    {
        DeterministicDispatch mode;
        timer->start(10);
        EXPECT_TRUE(timer->isArmed());
    }
    EXPECT_FALSE(timer->isArmed());
    EXPECT_EQ(timer->remaining(), 0.0);
    timer->start(3600);
    EXPECT_TRUE(timer->isArmed());
    timer->cancel();
}

// Threaded mode: real time, no assertion on how long.
TEST(ThreadedTimer, FiresRepeatsCancelsAndDelayedCallsRunOnTheMainLoop) {
    auto q = DispatchQueue::createSerial("t");
    std::atomic<int> fires{0};
    auto timer = DispatchTimer::create(q, [&] { fires.fetch_add(1); });
    timer->start(0.001, 0.001);
    MainLoop::runUntil([&] { return fires.load() >= 3; }, 30);
    timer->cancel();
    q->sync([] {});
    int after = fires.load();
    EXPECT_GE(after, 3);
    std::atomic<bool> later{false};
    q->after(0.01, [&] { later = true; });
    MainLoop::runUntil([&] { return later.load(); }, 30);
    EXPECT_TRUE(later.load());
    q->sync([] {});
    EXPECT_EQ(fires.load(), after);

    int target = 0;
    bool ran = false;
    MainLoop::performAfterDelay(&target, "x", 0.001, [&] { ran = MainLoop::isMainThread(); });
    EXPECT_TRUE(MainLoop::runUntil([&] { return ran; }, 30));
}

}  // namespace
}  // namespace telvo
