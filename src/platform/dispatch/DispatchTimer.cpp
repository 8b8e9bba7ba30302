#include "platform/dispatch/DispatchTimer.h"

#include "platform/dispatch/DispatchRuntime.h"

namespace telvo {

DispatchTimer::DispatchTimer(DispatchQueuePtr queue, DispatchBlock handler)
    : queue_(std::move(queue)),
      handler_(handler ? std::make_shared<DispatchBlock>(std::move(handler)) : nullptr) {}

DispatchTimer::~DispatchTimer() = default;

std::shared_ptr<DispatchTimer> DispatchTimer::create(DispatchQueuePtr queue,
                                                     DispatchBlock handler) {
    if (!queue) queue = DispatchQueue::main();
    return std::shared_ptr<DispatchTimer>(new DispatchTimer(std::move(queue), std::move(handler)));
}

void DispatchTimer::armLocked(int64_t deadline) {
    auto& rt = DispatchRuntime::get();
    rt.eraseTimerLocked(this);
    deadline_ = deadline;
    state_ = State::Armed;
    ++generation_;
    rt.insertTimerLocked(shared_from_this());
}

void DispatchTimer::disarmLocked() {
    DispatchRuntime::get().eraseTimerLocked(this);
}

void DispatchTimer::start(double delaySeconds, double intervalSeconds) {
    auto& rt = DispatchRuntime::get();
    {
        std::lock_guard<std::mutex> lock(rt.stateMutex);
        if (state_ == State::Cancelled) return;
        interval_ =
            intervalSeconds > 0 ? std::max<int64_t>(1, Clock::secondsToNanos(intervalSeconds)) : 0;
        armLocked(rt.now() + Clock::secondsToNanos(delaySeconds));
    }
    rt.wake();
}

void DispatchTimer::rearm(double delaySeconds) {
    auto& rt = DispatchRuntime::get();
    {
        std::lock_guard<std::mutex> lock(rt.stateMutex);
        if (state_ == State::Cancelled) return;
        armLocked(rt.now() + Clock::secondsToNanos(delaySeconds));
    }
    rt.wake();
}

void DispatchTimer::pause() {
    auto& rt = DispatchRuntime::get();
    std::lock_guard<std::mutex> lock(rt.stateMutex);
    if (state_ != State::Armed) return;
    kept_ = std::max<int64_t>(0, deadline_ - rt.now());
    disarmLocked();
    state_ = State::Paused;
    ++generation_;
}

void DispatchTimer::resume() {
    auto& rt = DispatchRuntime::get();
    {
        std::lock_guard<std::mutex> lock(rt.stateMutex);
        if (state_ != State::Paused) return;
        armLocked(rt.now() + kept_);
    }
    rt.wake();
}

void DispatchTimer::cancel() {
    auto& rt = DispatchRuntime::get();
    std::shared_ptr<DispatchBlock> released;
    {
        std::lock_guard<std::mutex> lock(rt.stateMutex);
        if (state_ == State::Cancelled) return;
        disarmLocked();
        state_ = State::Cancelled;
        ++generation_;
        released = std::move(handler_);
    }
    // released goes here, outside the lock: its captures may call back into dispatch.
}

bool DispatchTimer::isCancelled() const {
    std::lock_guard<std::mutex> lock(DispatchRuntime::get().stateMutex);
    return state_ == State::Cancelled;
}

bool DispatchTimer::isArmed() const {
    std::lock_guard<std::mutex> lock(DispatchRuntime::get().stateMutex);
    return state_ == State::Armed;
}

bool DispatchTimer::isPaused() const {
    std::lock_guard<std::mutex> lock(DispatchRuntime::get().stateMutex);
    return state_ == State::Paused;
}

double DispatchTimer::remaining() const {
    auto& rt = DispatchRuntime::get();
    std::lock_guard<std::mutex> lock(rt.stateMutex);
    if (state_ == State::Armed) return double(std::max<int64_t>(0, deadline_ - rt.now())) / 1e9;
    if (state_ == State::Paused) return double(kept_) / 1e9;
    return 0;
}

void DispatchTimer::invoke(uint64_t generation) {
    std::shared_ptr<DispatchBlock> handler;
    {
        std::lock_guard<std::mutex> lock(DispatchRuntime::get().stateMutex);
        if (pendingGeneration_ == generation) firePending_ = false;
        if (state_ == State::Cancelled || generation != generation_) return;
        handler = handler_;
    }
    if (handler && *handler) (*handler)();
}

}  // namespace telvo
