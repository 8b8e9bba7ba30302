#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>
#include <vector>

#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/NotificationCenter.h"

namespace telvo {
namespace {

TEST(NotificationCenter, MatchesExactNameAndObject) {
    auto center = NotificationCenter::create();
    auto a = std::make_shared<int>(1);
    auto b = std::make_shared<int>(2);
    std::vector<std::string> seen;
    auto any = center->addObserverForName("QKDidChange", nullptr,
                                          [&](const Notification&) { seen.push_back("any"); });
    auto onA = center->addObserverForName("QKDidChange", a, [&](const Notification& n) {
        EXPECT_EQ(n.object, a);
        EXPECT_EQ(n.userInfo["k"].text(), "v");
        seen.push_back("a");
    });

    struct Case {
        std::string name;
        std::shared_ptr<void> object;
        std::vector<std::string> expected;
    };
    std::vector<Case> cases = {
        {"QKDidChange", a, {"any", "a"}},  {"QKDidChange", b, {"any"}},
        {"QKDidChange", nullptr, {"any"}}, {"qkdidchange", a, {}},
        {"QKDidChange ", a, {}},
    };
    for (const auto& c : cases) {
        seen.clear();
        center->postNotificationName(c.name, c.object, Dictionary{{"k", "v"}});
        EXPECT_EQ(seen, c.expected) << c.name;
    }
    cases.clear();

    // The observed object is held weakly; a new object is never taken for the old one.
    std::weak_ptr<int> weakA = a;
    a.reset();
    EXPECT_TRUE(weakA.expired());
    seen.clear();
    auto c = std::make_shared<int>(3);
    center->postNotificationName("QKDidChange", c);
    EXPECT_EQ(seen, std::vector<std::string>{"any"});
    center->removeObserver(any);
    center->removeObserver(onA);
}

TEST(NotificationCenter, RemovalInsideTheBlock) {
    auto center = NotificationCenter::create();
    int selfCalls = 0, laterCalls = 0;
    NotificationObserverToken self, later;
    auto capture = std::make_shared<int>(0);
    std::weak_ptr<int> weakCapture = capture;
    self = center->addObserverForName("n", nullptr, [&, capture](const Notification&) {
        ++selfCalls;
        center->removeObserver(self);         // no deadlock
        center->removeObserver(later);        // a later observer of the same post is skipped
        EXPECT_FALSE(weakCapture.expired());  // still running: captures stay alive
    });
    capture.reset();
    later = center->addObserverForName("n", nullptr, [&](const Notification&) { ++laterCalls; });

    center->postNotificationName("n");
    center->postNotificationName("n");
    EXPECT_EQ(selfCalls, 1);
    EXPECT_EQ(laterCalls, 0);
    EXPECT_TRUE(weakCapture.expired());  // released when the last invocation returned
}

TEST(NotificationCenter, RemovalFromAnotherThreadSkipsAPendingObserver) {
    auto center = NotificationCenter::create();
    std::latch inFirst(1), goOn(1);
    int secondCalls = 0;
    auto first = center->addObserverForName("n", nullptr, [&](const Notification&) {
        inFirst.count_down();
        goOn.wait();
    });
    auto second =
        center->addObserverForName("n", nullptr, [&](const Notification&) { ++secondCalls; });

    std::thread poster([&] { center->postNotificationName("n"); });
    inFirst.wait();
    center->removeObserver(second);  // not running: returns at once
    goOn.count_down();
    poster.join();
    EXPECT_EQ(secondCalls, 0);
    center->removeObserver(first);
}

TEST(NotificationCenter, RemovalWaitsForTheRunningBlock) {
    // After removeObserver returns on one thread, the block is not running on another and does
    // not run again. Repeated to give a wrong implementation many chances to show.
    for (int round = 0; round < 50; ++round) {
        auto center = NotificationCenter::create();
        std::latch inBlock(1), removerStarted(1);
        std::atomic<bool> running{false}, removeReturned{false};
        std::atomic<int> callsAfterRemoval{0};
        auto observer = center->addObserverForName("n", nullptr, [&](const Notification&) {
            if (removeReturned) ++callsAfterRemoval;
            running = true;
            inBlock.count_down();
            removerStarted.wait();
            running = false;
        });

        std::thread poster([&] { center->postNotificationName("n"); });
        inBlock.wait();
        std::thread remover([&] {
            removerStarted.count_down();
            center->removeObserver(observer);
            EXPECT_FALSE(running.load());
            removeReturned = true;
        });
        remover.join();
        poster.join();
        center->postNotificationName("n");
        EXPECT_EQ(callsAfterRemoval.load(), 0);
    }
}

TEST(NotificationCenter, ConcurrentPostsAddsAndRemovals) {
    auto center = NotificationCenter::create();
    std::atomic<int> calls{0};
    auto stay = center->addObserverForName("n", nullptr, [&](const Notification&) { ++calls; });
    // The posters keep posting until every add and removal is done, so the two overlap.
    std::latch start(5);
    std::atomic<bool> done{false};
    std::atomic<int> posted{0};
    std::vector<std::thread> posters;
    for (int t = 0; t < 4; ++t) {
        posters.emplace_back([&] {
            start.arrive_and_wait();
            while (!done) {
                center->postNotificationName("n");
                ++posted;
            }
        });
    }
    start.arrive_and_wait();
    while (calls < 100) std::this_thread::yield();
    for (int i = 0; i < 200; ++i) {
        std::atomic<bool> removed{false};
        std::atomic<int> late{0};
        auto o = center->addObserverForName("n", nullptr, [&](const Notification&) {
            if (removed) ++late;
        });
        center->removeObserver(o);
        removed = true;
        EXPECT_EQ(late.load(), 0);
    }
    done = true;
    for (auto& t : posters) t.join();
    EXPECT_EQ(calls.load(), posted.load());
    center->removeObserver(stay);
}

TEST(NotificationCenter, AsyncPostsGoThroughTheExecutor) {
    auto center = NotificationCenter::create();
    int calls = 0;
    auto o = center->addObserverForName("n", nullptr, [&](const Notification& n) {
        EXPECT_EQ(n.userInfo["i"].intValue(), calls);
        ++calls;
    });
    center->postNotificationNameAsync("n", nullptr, Dictionary{{"i", 0}});
    EXPECT_EQ(calls, 1);  // default executor: at once

    std::vector<std::function<void()>> queue;
    center->setAsyncExecutor([&](std::function<void()> task) { queue.push_back(std::move(task)); });
    center->postNotificationNameAsync("n", nullptr, Dictionary{{"i", 1}});
    center->postNotificationNameAsync("n", nullptr, Dictionary{{"i", 2}});
    EXPECT_EQ(calls, 1);
    for (auto& task : queue) task();
    EXPECT_EQ(calls, 3);

    queue.clear();
    center->postNotificationNameAsync("n");
    center->removeObserver(o);
    for (auto& task : queue) task();  // removed before it ran: not called
    EXPECT_EQ(calls, 3);
}

// The default centre is shared; it delivers asynchronous posts on the main queue from the start
// and after a reset, whether or not anything has touched the dispatch layer yet (threaded mode).
// A reset drops its observers.
TEST(NotificationCenter, DefaultCenterPostsAsyncOnTheMainQueueAfterReset) {
    NotificationCenter::resetForTesting();
    auto center = NotificationCenter::defaultCenter();
    EXPECT_EQ(center, NotificationCenter::defaultCenter());
    int calls = 0;
    bool onMain = false;
    center->addObserverForName("n", nullptr, [&](const Notification&) {
        ++calls;
        onMain = DispatchQueue::main()->isCurrent();
    });
    center->postNotificationNameAsync("n");
    EXPECT_EQ(calls, 0);
    MainLoop::drain();
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(onMain);
    NotificationCenter::resetForTesting();
    center->postNotificationName("n");
    EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace telvo
