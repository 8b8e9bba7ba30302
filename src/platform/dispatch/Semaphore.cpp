#include "platform/dispatch/Semaphore.h"

#include <chrono>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchRuntime.h"

namespace telvo {

void Semaphore::wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return value_ > 0; });
    --value_;
}

bool Semaphore::tryTake() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (value_ <= 0) return false;
    --value_;
    return true;
}

bool Semaphore::wait(double timeoutSeconds) {
    if (timeoutSeconds < 0) {
        wait();
        return true;
    }
    auto& rt = DispatchRuntime::get();
    if (rt.deterministic()) {
        // The time-out is virtual time, as every other time-out of the mode.
        const int64_t nanos = Clock::secondsToNanos(timeoutSeconds);
        const int64_t deadline = rt.now() + nanos;
        if (rt.onLoopThread()) {
            // Nobody else moves the clock: run the loop until a unit is there or time is up.
            for (;;) {
                if (tryTake()) return true;
                int64_t left = deadline - rt.now();
                if (left <= 0) return false;
                rt.runUntil(
                    [&] {
                        std::lock_guard<std::mutex> lock(mutex_);
                        return value_ > 0;
                    },
                    left, false);
            }
        }
        // Another thread: the loop moves the clock; look at it while waiting.
        std::unique_lock<std::mutex> lock(mutex_);
        while (value_ <= 0) {
            if (rt.now() >= deadline) return false;
            cv_.wait_for(lock, std::chrono::milliseconds(1));
        }
        --value_;
        return true;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    auto limit = std::chrono::nanoseconds(Clock::secondsToNanos(timeoutSeconds));
    if (!cv_.wait_for(lock, limit, [&] { return value_ > 0; })) return false;
    --value_;
    return true;
}

void Semaphore::signal() {
    // Notified under the lock: a waiter returns only once signal() is done with the semaphore,
    // so that it may destroy it at once.
    std::lock_guard<std::mutex> lock(mutex_);
    ++value_;
    cv_.notify_one();
}

}  // namespace telvo
