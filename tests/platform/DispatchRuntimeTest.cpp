// Regression tests of the dispatch runtime's contract: nested runs, outside work, ready
// sources, mode switches, the worker pool and the idle main thread.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/DispatchRuntime.h"
#include "platform/dispatch/DispatchSource.h"
#include "platform/dispatch/DispatchTimer.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Registry.h"

namespace telvo {
namespace {

struct SocketPair {
    int fd[2] = {-1, -1};
    SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd), 0); }
    ~SocketPair() {
        for (int f : fd)
            if (f >= 0) close(f);
    }
};

class DeterministicRuntime : public ::testing::Test {
  protected:
    DeterministicDispatch mode_;
    DispatchQueuePtr queue_ = DispatchQueue::createSerial("q");
};

TEST_F(DeterministicRuntime, PairClosesItsDescriptorWhenTheWriteSideWasNeverResumed) {
    SocketPair sockets;
    {
        auto pair = DispatchSource::createPair(sockets.fd[0], queue_);
        pair.read->setEventHandler([] {});
        pair.read->resume();
        pair.write->setEventHandler([] {});  // never resumed, as a socket with nothing to send
        pair.read->cancel();
        pair.write->cancel();
        MainLoop::drain();
    }
    EXPECT_EQ(fcntl(sockets.fd[0], F_GETFD), -1);
    sockets.fd[0] = -1;
}

TEST_F(DeterministicRuntime, SyncRunsOnlyTheBlocksQueuedBeforeIt) {
    int runs = 0;
    std::function<void()> repost = [&] {
        if (++runs < 1000) queue_->async(repost);
    };
    queue_->async(repost);
    queue_->sync([] {});
    EXPECT_EQ(runs, 1);
    MainLoop::drain();
    EXPECT_EQ(runs, 1000);
}

TEST_F(DeterministicRuntime, NestedRunNeverStartsASecondBlockOfABusySerialQueue) {
    auto other = DispatchQueue::createSerial("other");
    bool firstOnStack = false, secondRan = false, otherRan = false, nestedSawOther = false;
    queue_->async([&] {
        firstOnStack = true;
        nestedSawOther = MainLoop::runUntil([&] { return otherRan; }, 1);
        // Waits for a block of this very queue: it cannot start, the time-out ends the run.
        EXPECT_FALSE(MainLoop::runUntil([&] { return secondRan; }, 1));
        firstOnStack = false;
    });
    queue_->async([&] {
        EXPECT_FALSE(firstOnStack);
        secondRan = true;
    });
    other->async([&] { otherRan = true; });
    MainLoop::drain();
    EXPECT_TRUE(nestedSawOther);
    EXPECT_TRUE(secondRan);
}

TEST_F(DeterministicRuntime, AlwaysReadySourceLetsTimeMoveAndTimeOutsFire) {
    SocketPair sockets;
    auto writable = DispatchSource::create(DispatchSource::Kind::Write, sockets.fd[0], queue_);
    int runs = 0;
    writable->setEventHandler([&] {
        if (++runs == 100000) writable->cancel();  // bounds the test when time stands still
    });
    writable->resume();
    bool fired = false;
    queue_->after(1, [&] { fired = true; });
    EXPECT_TRUE(MainLoop::runUntil([&] { return fired; }, 5));
    EXPECT_DOUBLE_EQ(Clock::now(), 1.0);
    EXPECT_FALSE(MainLoop::runUntil([] { return false; }, 2));
    EXPECT_DOUBLE_EQ(Clock::now(), 3.0);
    EXPECT_LT(runs, 100);
    writable->cancel();
    MainLoop::drain();
}

TEST_F(DeterministicRuntime, SemaphoreTimeOutsAreVirtual) {
    Semaphore semaphore;
    queue_->after(2, [&] { semaphore.signal(); });
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(semaphore.wait(5));
    EXPECT_DOUBLE_EQ(Clock::now(), 2.0);
    EXPECT_FALSE(semaphore.wait(3));
    EXPECT_DOUBLE_EQ(Clock::now(), 5.0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST_F(DeterministicRuntime, LoopbackTrafficIsSeenBeforeTimeMovesWithoutRealTimeWaits) {
    SocketPair sockets;
    auto readable = DispatchSource::create(DispatchSource::Kind::Read, sockets.fd[1], queue_);
    std::vector<double> seenAt;
    readable->setEventHandler([&] {
        char buffer[16];
        if (read(sockets.fd[1], buffer, sizeof buffer) > 0) seenAt.push_back(Clock::now());
    });
    readable->resume();
    auto tick = DispatchTimer::create(queue_, [] {});
    tick->start(0.5, 0.5);
    const uint64_t waitsBefore = DispatchRuntime::get().realTimeWaits.load();
    for (double at : {5.0, 7.25})
        queue_->after(at, [&] { ASSERT_EQ(write(sockets.fd[0], "x", 1), 1); });
    MainLoop::runFor(10);
    EXPECT_EQ(seenAt, (std::vector<double>{5.0, 7.25}));
    EXPECT_EQ(DispatchRuntime::get().realTimeWaits.load(), waitsBefore);
    tick->cancel();
    readable->cancel();
    MainLoop::drain();
}

using DeterministicRuntimeDeathTest = DeterministicRuntime;

TEST_F(DeterministicRuntimeDeathTest, OutsideWorkThatNeverEndsFailsNamingIt) {
    EXPECT_DEATH(
        {
            Dispatch::setOutsideWorkTimeLimit(0.05);
            // An always-ready source beside it neither hides the hang nor holds off the failure.
            SocketPair sockets;
            auto writable =
                DispatchSource::create(DispatchSource::Kind::Write, sockets.fd[0], queue_);
            writable->setEventHandler([] {});
            writable->resume();
            auto work = Dispatch::beginOutsideWork("fake cloud reply");
            MainLoop::runFor(1);
        },
        "outside work \"fake cloud reply\" still in flight");
}

TEST(DispatchRuntimeDeathTest, SecondMainLoopRunnerAborts) {
    EXPECT_DEATH(
        {
            MainLoop::startThread();
            MainLoop::runUntil([] { return false; }, 0.01);
        },
        "main loop already runs on another thread");
}

TEST(ProcessWideDeathTest, SharedObjectsOutliveExitWhileBlocksStillRun) {
    EXPECT_EXIT(
        {
            std::atomic<bool> running{false};
            DispatchQueue::global()->async([&] {
                for (;;) {
                    Registry::shared().hasClass("QKDeviceManager");
                    NotificationCenter::defaultCenter();
                    Clock::now();
                    running = true;
                }
            });
            while (!running) {
            }
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(DispatchRuntimeThreaded, BlockedBlocksNeverStarveThePool) {
    // More blocks than the old fixed pool had threads, each blocked until all have started.
    constexpr int kBlocks = 80;
    auto queue = DispatchQueue::createConcurrent("blocking");
    std::atomic<int> started{0};
    Semaphore release;
    Semaphore allStarted;
    for (int i = 0; i < kBlocks; ++i) {
        queue->async([&] {
            if (++started == kBlocks) allStarted.signal();
            release.wait(30);
        });
    }
    EXPECT_TRUE(allStarted.wait(5));
    for (int i = 0; i < kBlocks; ++i) release.signal();
    queue->barrierSync([] {});
    EXPECT_EQ(started.load(), kBlocks);
}

TEST(DispatchRuntimeThreaded, IdleLibraryMainThreadDoesNotWake) {
    MainLoop::startThread();
    DispatchQueue::main()->sync([] {});  // the thread runs its loop
    const uint64_t before = DispatchRuntime::get().idleWakeups.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // long enough for 10 old ticks
    EXPECT_LE(DispatchRuntime::get().idleWakeups.load() - before, 1u);
    MainLoop::stopThread();
}

TEST(DispatchRuntimeModes, SwitchingWaitsForTheReactorsPass) {
    // A busy reactor (a fast threaded timer) must never fire a virtual timer on the old clock.
    auto busy = DispatchTimer::create(DispatchQueue::global(), [] {});
    busy->start(0, 0.0001);
    for (int i = 0; i < 200; ++i) {
        busy->start(0, 0.0001);
        DeterministicDispatch mode;
        bool fired = false;
        auto timer = DispatchTimer::create(DispatchQueue::main(), [&] { fired = true; });
        timer->start(3600);
        MainLoop::drain();
        ASSERT_FALSE(fired) << "round " << i;
        timer->cancel();
    }
    busy->cancel();
}

}  // namespace
}  // namespace telvo
