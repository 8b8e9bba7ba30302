#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Value.h"

namespace telvo {

struct Notification {
    std::string name;
    // The object the notification is about; may be null.
    std::shared_ptr<void> object;
    Value userInfo;
};

using NotificationBlock = std::function<void(const Notification&)>;

// An observer registration, answered by addObserverForName(); pass it to removeObserver().
// Dropping it does not remove the observer.
class NotificationObserver;
using NotificationObserverToken = std::shared_ptr<NotificationObserver>;

// Observers by exact name and optional object. A block runs on the posting thread (a
// synchronous post) or on the executor's thread (an asynchronous post).
//
// Removal is synchronous and safe from any thread, including from inside a block and while a
// post is under way: once removeObserver() returns, the block is not running on any other
// thread and will not run again. (Two blocks that each remove the other while both run on
// different threads wait for each other forever, as two dispatch_sync calls would.)
class NotificationCenter : public std::enable_shared_from_this<NotificationCenter> {
public:
    // Runs a task later; the default runs it at once on the calling thread.
    using Executor = std::function<void(std::function<void()> task)>;

    static std::shared_ptr<NotificationCenter> defaultCenter();
    static std::shared_ptr<NotificationCenter> create() {
        return std::shared_ptr<NotificationCenter>(new NotificationCenter);
    }

    // object: only notifications about that object (compared by identity) reach the block;
    // null: every notification of that name. The object is held weakly.
    NotificationObserverToken addObserverForName(std::string name, std::shared_ptr<void> object,
                                                 NotificationBlock block);
    void removeObserver(const NotificationObserverToken& observer);

    // Calls every matching block before it returns, in the order they were added.
    void postNotificationName(const std::string& name, std::shared_ptr<void> object = nullptr,
                              Value userInfo = Dictionary{});
    // Hands the post to the executor (the main queue once the host runs one).
    void postNotificationNameAsync(std::string name, std::shared_ptr<void> object = nullptr,
                                   Value userInfo = Dictionary{});

    // An empty function restores the default.
    void setAsyncExecutor(Executor executor);

    // Tests: drops every observer and the executor of the default centre.
    static void resetForTesting();

private:
    NotificationCenter() = default;
    void deliver(const Notification& notification);

    std::mutex mutex_;
    std::vector<NotificationObserverToken> observers_;
    Executor executor_;
};

}  // namespace telvo
