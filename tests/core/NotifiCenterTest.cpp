#include <gtest/gtest.h>

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

}  // namespace
}  // namespace telvo
