#include "platform/foundation/NotificationCenter.h"

#include <algorithm>

#include "platform/base/Singleton.h"
#include "platform/dispatch/DispatchQueue.h"

namespace telvo {

class NotificationObserver {
  public:
    NotificationObserver(std::string name, std::shared_ptr<void> object, NotificationBlock block)
        : name_(std::move(name)),
          anyObject_(object == nullptr),
          object_(object),
          block_(std::move(block)) {}

    bool matches(const Notification& n) const {
        if (n.name != name_) return false;
        if (anyObject_) return true;
        // Same object by identity: same owner, and it is still alive.
        return n.object && !object_.expired() && !object_.owner_before(n.object) &&
               !n.object.owner_before(object_);
    }

    void invoke(const Notification& n) {
        {
            std::lock_guard lock(mutex_);
            if (removed_) return;
            running_.push_back(std::this_thread::get_id());
        }
        struct Exit {
            NotificationObserver* self;
            ~Exit() { self->finished(); }
        } exit{this};
        block_(n);
    }

    // Marks the observer removed and waits until no other thread is inside its block.
    void remove() {
        NotificationBlock released;
        {
            std::unique_lock lock(mutex_);
            removed_ = true;
            auto self = std::this_thread::get_id();
            idle_.wait(lock, [&] {
                return std::all_of(running_.begin(), running_.end(),
                                   [&](std::thread::id t) { return t == self; });
            });
            if (running_.empty()) released = std::move(block_);
        }
        // The block's captures are released here, outside the lock; a removal from inside
        // the block leaves that to the last invocation to return.
    }

  private:
    void finished() {
        NotificationBlock released;
        {
            std::lock_guard lock(mutex_);
            running_.erase(std::find(running_.begin(), running_.end(), std::this_thread::get_id()));
            if (removed_ && running_.empty()) released = std::move(block_);
        }
        idle_.notify_all();
    }

    const std::string name_;
    const bool anyObject_;
    const std::weak_ptr<void> object_;
    NotificationBlock block_;
    std::mutex mutex_;
    std::condition_variable idle_;
    bool removed_ = false;
    std::vector<std::thread::id> running_;
};

namespace {
SharedInstance<NotificationCenter>& defaultCenterSlot() {
    return processWide([] { return new SharedInstance<NotificationCenter>(); });
}
}  // namespace

std::shared_ptr<NotificationCenter> NotificationCenter::defaultCenter() {
    return defaultCenterSlot().get([] {
        auto center = create();
        center->mainQueueByDefault_ = true;
        return center;
    });
}

void NotificationCenter::resetForTesting() {
    auto center = defaultCenterSlot().peek();
    if (!center) return;
    std::vector<NotificationObserverToken> observers;
    {
        std::lock_guard lock(center->mutex_);
        observers.swap(center->observers_);
        center->executor_ = nullptr;  // back to the main queue
    }
    for (auto& o : observers) o->remove();
}

NotificationObserverToken NotificationCenter::addObserverForName(std::string name,
                                                                 std::shared_ptr<void> object,
                                                                 NotificationBlock block) {
    auto observer = std::make_shared<NotificationObserver>(std::move(name), std::move(object),
                                                           std::move(block));
    std::lock_guard lock(mutex_);
    observers_.push_back(observer);
    return observer;
}

void NotificationCenter::removeObserver(const NotificationObserverToken& observer) {
    if (!observer) return;
    {
        std::lock_guard lock(mutex_);
        observers_.erase(std::remove(observers_.begin(), observers_.end(), observer),
                         observers_.end());
    }
    observer->remove();
}

void NotificationCenter::deliver(const Notification& notification) {
    std::vector<NotificationObserverToken> matching;
    {
        std::lock_guard lock(mutex_);
        for (const auto& o : observers_)
            if (o->matches(notification)) matching.push_back(o);
    }
    for (const auto& o : matching) o->invoke(notification);
}

void NotificationCenter::postNotificationName(const std::string& name, std::shared_ptr<void> object,
                                              Value userInfo) {
    deliver(Notification{name, std::move(object), std::move(userInfo)});
}

void NotificationCenter::postNotificationNameAsync(std::string name, std::shared_ptr<void> object,
                                                   Value userInfo) {
    Executor executor;
    {
        std::lock_guard lock(mutex_);
        executor = executor_;
    }
    auto task = [self = shared_from_this(),
                 n = Notification{std::move(name), std::move(object), std::move(userInfo)}] {
        self->deliver(n);
    };
    if (executor) {
        executor(std::move(task));
    } else if (mainQueueByDefault_) {
        DispatchQueue::main()->async(std::move(task));
    } else {
        task();
    }
}

void NotificationCenter::setAsyncExecutor(Executor executor) {
    std::lock_guard lock(mutex_);
    executor_ = std::move(executor);
}

}  // namespace telvo
