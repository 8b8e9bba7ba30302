#include "platform/dispatch/DispatchGroup.h"

#include <chrono>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchRuntime.h"

namespace telvo {

void DispatchGroup::enter() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++count_;
}

void DispatchGroup::leave() {
    std::vector<std::pair<DispatchQueuePtr, DispatchBlock>> due;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (count_ == 0) return;
        if (--count_ > 0) return;
        due.swap(notifies_);
    }
    emptied_.notify_all();
    for (auto& [queue, block] : due) queue->async(std::move(block));
}

void DispatchGroup::async(const DispatchQueuePtr& queue, DispatchTask block) {
    enter();
    queue->async([self = shared_from_this(), block = std::move(block)]() mutable {
        block();
        self->leave();
    });
}

void DispatchGroup::notify(const DispatchQueuePtr& queue, DispatchBlock block) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (count_ > 0) {
            notifies_.emplace_back(queue, std::move(block));
            return;
        }
    }
    queue->async(std::move(block));
}

bool DispatchGroup::empty() {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_ == 0;
}

bool DispatchGroup::wait(double timeoutSeconds) {
    auto& rt = DispatchRuntime::get();
    const bool forever = timeoutSeconds < 0;
    if (rt.deterministic() && rt.onLoopThread()) {
        // Nobody else moves the clock: run the loop until the group is empty or time is up.
        const int64_t deadline =
            rt.now() + Clock::secondsToNanos(forever ? 365 * 24 * 3600.0 : timeoutSeconds);
        for (;;) {
            if (empty()) return true;
            const int64_t left = deadline - rt.now();
            if (left <= 0) return false;
            rt.runUntil([this] { return empty(); }, left, false);
        }
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (forever) {
        emptied_.wait(lock, [&] { return count_ == 0; });
        return true;
    }
    if (rt.deterministic()) {
        // Another thread: the loop moves the clock; look at it while waiting.
        const int64_t deadline = rt.now() + Clock::secondsToNanos(timeoutSeconds);
        while (count_ > 0) {
            if (rt.now() >= deadline) return false;
            emptied_.wait_for(lock, std::chrono::milliseconds(1));
        }
        return true;
    }
    return emptied_.wait_for(lock, std::chrono::nanoseconds(Clock::secondsToNanos(timeoutSeconds)),
                             [&] { return count_ == 0; });
}

}  // namespace telvo
