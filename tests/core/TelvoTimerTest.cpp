#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "core/TelvoTimer.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/MainLoop.h"

namespace telvo {
namespace {

class TelvoTimerTest : public ::testing::Test {
  protected:
    std::shared_ptr<TelvoTimer> start(double delay) {
        return TelvoTimer::timerWithBlock(
            [this] {
                fires_.push_back(Clock::now());
                onMain_ = DispatchQueue::main()->isCurrent();
            },
            delay);
    }
    bool runUntilFired(double timeout) {
        return MainLoop::runUntil([this] { return !fires_.empty(); }, timeout);
    }

    DeterministicDispatch mode_;
    std::vector<double> fires_;
    bool onMain_ = false;
};

TEST_F(TelvoTimerTest, FiresOnceOnTheMainQueue) {
    auto timer = start(90);
    EXPECT_TRUE(timer->isValid());
    MainLoop::runFor(10);
    timer->continueTimer();  // without a pause: changes nothing
    ASSERT_TRUE(runUntilFired(1000));
    MainLoop::runFor(1000);
    EXPECT_EQ(fires_, std::vector<double>{90.0});
    EXPECT_TRUE(onMain_);
    EXPECT_FALSE(timer->isValid());
}

TEST_F(TelvoTimerTest, PausedAt30ContinuedAt100FiresAt160) {
    auto timer = start(90);
    MainLoop::runFor(30);
    timer->pause();
    timer->pause();  // a second pause changes nothing
    MainLoop::runFor(70);
    EXPECT_TRUE(fires_.empty());
    timer->continueTimer();
    ASSERT_TRUE(runUntilFired(1000));
    EXPECT_EQ(fires_, std::vector<double>{160.0});
}

TEST_F(TelvoTimerTest, CancelledNeverFires) {
    for (double cancelAt : {0.0, 50.0}) {
        auto timer = start(90);
        MainLoop::runFor(cancelAt);
        timer->cancel();
        timer->continueTimer();
        EXPECT_FALSE(timer->isValid());
    }
    auto paused = start(90);
    MainLoop::runFor(10);
    paused->pause();
    paused->cancel();
    paused->continueTimer();
    MainLoop::runFor(1000);
    EXPECT_TRUE(fires_.empty());
}

// The pause comes in the same instant as the fire: the fire is held back and continue lets it
// happen.
TEST_F(TelvoTimerTest, PauseAtTheMomentOfTheFireHoldsItUntilContinue) {
    std::shared_ptr<TelvoTimer> timer;
    DispatchQueue::main()->after(1, [&] { timer->pause(); });
    timer = start(1);
    MainLoop::runFor(10);
    EXPECT_TRUE(fires_.empty());
    EXPECT_TRUE(timer->isValid());
    timer->continueTimer();
    ASSERT_TRUE(runUntilFired(10));
    EXPECT_EQ(fires_, std::vector<double>{10.0});
}

TEST_F(TelvoTimerTest, DroppedTimerStillFiresAndReleasesItsBlockAfterwards) {
    auto guard = std::make_shared<int>(0);
    std::weak_ptr<int> weak = guard;
    TelvoTimer::timerWithBlock([guard, this] { fires_.push_back(Clock::now()); }, 5);
    guard.reset();
    EXPECT_FALSE(weak.expired());
    ASSERT_TRUE(runUntilFired(10));
    EXPECT_TRUE(weak.expired());
}

}  // namespace
}  // namespace telvo
