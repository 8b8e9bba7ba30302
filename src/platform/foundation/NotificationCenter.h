#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "telvosdk/Value.h"

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
// synchronous post) or wherever the executor runs the task (an asynchronous post): for the
// default centre the main queue, for a centre made by create() at once on the posting thread,
// unless setAsyncExecutor() installed another.
//
// Removal is synchronous and safe from any thread, including from inside a block and while a
// post is under way: once removeObserver() returns, the block is not running on any other
// thread and will not run again. (Two blocks that each remove the other while both run on
// different threads wait for each other forever, as two dispatch_sync calls would.)
class NotificationCenter : public std::enable_shared_from_this<NotificationCenter> {
  public:
    // Runs a task (an asynchronous post's delivery), possibly on another thread.
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
    // Hands the post to the executor; never runs a block before returning unless the
    // executor does (the inline default of a centre made by create()).
    void postNotificationNameAsync(std::string name, std::shared_ptr<void> object = nullptr,
                                   Value userInfo = Dictionary{});

    // An empty function restores the default (see the class comment).
    void setAsyncExecutor(Executor executor);

    // Tests: drops every observer of the default centre and gives it back its main-queue
    // executor.
    static void resetForTesting();

  private:
    NotificationCenter() = default;
    void deliver(const Notification& notification);

    std::mutex mutex_;
    std::vector<NotificationObserverToken> observers_;
    Executor executor_;
    bool mainQueueByDefault_ = false;  // the default centre
};

}  // namespace telvo
