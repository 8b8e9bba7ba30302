#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/NotifiCenter.h"

namespace telvo {
namespace {

TEST(NotifiCenter, SameNameTwiceRegistersOnceAndRemovalStopsDelivery) {
    auto center = NotificationCenter::create();
    int first = 0, second = 0;
    {
        NotifiCenter receiver(center);
        receiver.addNotifiCenterObserverName("appDidEnterBackground",
                                             [&](const Notification&) { ++first; });
        receiver.addNotifiCenterObserverName("appDidEnterBackground",
                                             [&](const Notification&) { ++second; });
        receiver.addNotifiCenterObserverName("other", [&](const Notification&) { ++second; });
        center->postNotificationName("appDidEnterBackground");
        EXPECT_EQ(first, 1);
        EXPECT_EQ(second, 0);
        receiver.removeNotifiCenterObserverName("appDidEnterBackground");
        receiver.removeNotifiCenterObserverName("never added");
        center->postNotificationName("appDidEnterBackground");
        EXPECT_EQ(first, 1);
        // Observed again after removal.
        receiver.addNotifiCenterObserverName("appDidEnterBackground",
                                             [&](const Notification&) { ++first; });
        center->postNotificationName("appDidEnterBackground");
        EXPECT_EQ(first, 2);
    }
    // The receiver is gone: its registrations with it.
    center->postNotificationName("appDidEnterBackground");
    center->postNotificationName("other");
    EXPECT_EQ(first, 2);
    EXPECT_EQ(second, 0);
}

TEST(NotifiCenter, RemovalFromAnotherThreadWhilePosting) {
    auto center = NotificationCenter::create();
    NotifiCenter receiver(center);
    std::atomic<int> calls{0};
    std::atomic<bool> removed{false}, lateCall{false};
    receiver.addNotifiCenterObserverName("tick", [&](const Notification&) {
        if (removed) lateCall = true;
        ++calls;
    });
    // The poster keeps posting until the removal has returned, so the two overlap.
    std::thread poster([&] {
        while (!removed) center->postNotificationName("tick");
        for (int i = 0; i < 100; ++i) center->postNotificationName("tick");
    });
    while (calls < 10) std::this_thread::yield();
    receiver.removeNotifiCenterObserverName("tick");
    removed = true;
    poster.join();
    EXPECT_FALSE(lateCall);
}

}  // namespace
}  // namespace telvo
