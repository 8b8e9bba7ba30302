#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/AppLifecycle.h"
#include "platform/foundation/NotificationCenter.h"

namespace telvo {
namespace {

class AppLifecycleTest : public ::testing::Test {
  protected:
    void TearDown() override {
        for (auto& t : tokens_) NotificationCenter::defaultCenter()->removeObserver(t);
        AppLifecycle::resetForTesting();
    }
    void observe(const char* name, std::vector<std::string>& log) {
        tokens_.push_back(NotificationCenter::defaultCenter()->addObserverForName(
            name, nullptr, [&log, name](const Notification& n) {
                EXPECT_EQ(n.name, name);
                log.push_back(std::string(name) + (MainLoop::isMainThread() ? "@main" : "@other"));
            }));
    }
    DeterministicDispatch mode_;
    std::vector<NotificationObserverToken> tokens_;
};

TEST_F(AppLifecycleTest, HostPostsReachObserversOnTheMainThread) {
    std::vector<std::string> log;
    observe(UIApplicationDidEnterBackgroundNotification, log);
    observe(UIApplicationWillEnterForegroundNotification, log);

    AppLifecycle::postDidEnterBackground();  // on the main thread: at once
    EXPECT_TRUE(AppLifecycle::isInBackground());
    EXPECT_EQ(log, (std::vector<std::string>{"UIApplicationDidEnterBackgroundNotification@main"}));

    auto work = Dispatch::beginOutsideWork("host thread");
    std::thread host([work] { AppLifecycle::postWillEnterForeground(); });
    host.join();
    EXPECT_EQ(log.size(), 1u);  // queued to the main queue
    work.reset();
    MainLoop::drain();
    EXPECT_FALSE(AppLifecycle::isInBackground());
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1], "UIApplicationWillEnterForegroundNotification@main");
}

const std::string kBack = std::string(UIApplicationDidEnterBackgroundNotification) + "@main";
const std::string kFore = std::string(UIApplicationWillEnterForegroundNotification) + "@main";

void appCall(bool background) {
    background ? AppLifecycle::applicationDidEnterBackground()
               : AppLifecycle::applicationWillEnterForeground();
}

// The app's calls are never delivered inside the call: they reach the observers on the main
// thread in the order they were made, whichever thread made them, and only a change posts.
TEST_F(AppLifecycleTest, AppCallsReachObserversInCallOrderOncePerChange) {
    struct Step {
        bool background;
        bool fromAppThread;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
        std::vector<std::string> seen;
    } cases[] = {
        {"background on the main thread", {{true, false}}, {kBack}},
        {"foreground without a background", {{false, false}, {false, true}}, {}},
        {"each call twice",
         {{true, false}, {true, true}, {false, true}, {false, false}},
         {kBack, kFore}},
        {"background from an app thread, then foreground on the main thread",
         {{true, true}, {false, false}},
         {kBack, kFore}},
        {"foreground from an app thread, then background on the main thread",
         {{true, false}, {false, true}, {true, false}},
         {kBack, kFore, kBack}},
    };
    std::vector<std::string> log;
    observe(UIApplicationDidEnterBackgroundNotification, log);
    observe(UIApplicationWillEnterForegroundNotification, log);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AppLifecycle::resetForTesting();
        log.clear();
        for (const Step& step : c.steps) {
            if (step.fromAppThread)
                std::thread([&] { appCall(step.background); }).join();
            else
                appCall(step.background);
        }
        EXPECT_TRUE(log.empty());
        MainLoop::drain();
        EXPECT_EQ(log, c.seen);
        EXPECT_EQ(AppLifecycle::isInBackground(), !c.seen.empty() && c.seen.back() == kBack);
    }
}

// App threads call while the main thread delivers: every change is posted once, on the main
// thread, background and foreground in turn, and the state ends as the last one posted.
TEST_F(AppLifecycleTest, ConcurrentAppCallsAlternate) {
    std::vector<std::string> log;
    observe(UIApplicationDidEnterBackgroundNotification, log);
    observe(UIApplicationWillEnterForegroundNotification, log);
    constexpr int kThreads = 4, kCalls = 200;
    std::atomic<int> finished{0};
    std::vector<std::thread> app;
    for (int t = 0; t < kThreads; ++t) {
        app.emplace_back([&finished, t, work = Dispatch::beginOutsideWork("app thread")] {
            for (int i = 0; i < kCalls; ++i) appCall((i + t) % 2 == 0);
            ++finished;
        });
    }
    MainLoop::runUntil([&] { return finished == kThreads; }, 60);
    for (auto& thread : app) thread.join();
    MainLoop::drain();
    ASSERT_FALSE(log.empty());
    for (size_t i = 0; i < log.size(); ++i) ASSERT_EQ(log[i], i % 2 == 0 ? kBack : kFore) << i;
    EXPECT_EQ(AppLifecycle::isInBackground(), log.back() == kBack);
}

}  // namespace
}  // namespace telvo
