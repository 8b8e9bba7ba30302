#include <gtest/gtest.h>

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

}  // namespace
}  // namespace telvo
