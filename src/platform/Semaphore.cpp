#include "platform/Semaphore.h"

#include <chrono>

#include "platform/Clock.h"

namespace telvo {

void Semaphore::wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return value_ > 0; });
    --value_;
}

bool Semaphore::wait(double timeoutSeconds) {
    if (timeoutSeconds < 0) {
        wait();
        return true;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    auto limit = std::chrono::nanoseconds(Clock::secondsToNanos(timeoutSeconds));
    if (!cv_.wait_for(lock, limit, [&] { return value_ > 0; })) return false;
    --value_;
    return true;
}

void Semaphore::signal() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++value_;
    }
    cv_.notify_one();
}

}  // namespace telvo
