#include "core/TelvoTimer.h"

#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchTimer.h"

namespace telvo {

std::shared_ptr<TelvoTimer> TelvoTimer::timerWithBlock(std::function<void()> block, double delay) {
    auto timer = std::make_shared<TelvoTimer>();
    std::lock_guard lock(timer->mutex_);
    timer->block_ = std::move(block);
    timer->valid_ = true;
    // The handler holds the timer until the fire or a cancel releases it.
    timer->timer_ = DispatchTimer::create(DispatchQueue::main(), [timer] { timer->fire(); });
    timer->timer_->start(delay);
    return timer;
}

TelvoTimer::~TelvoTimer() = default;

void TelvoTimer::fire() {
    std::function<void()> block;
    std::shared_ptr<DispatchTimer> platformTimer;
    {
        std::lock_guard lock(mutex_);
        if (!valid_ || paused_) return;
        valid_ = false;
        block = std::move(block_);
        block_ = nullptr;
        platformTimer = std::move(timer_);
    }
    // Releases the handler, and with it the timer's hold on itself.
    if (platformTimer) platformTimer->cancel();
    if (block) block();
}

void TelvoTimer::pause() {
    std::lock_guard lock(mutex_);
    if (!valid_ || paused_ || !timer_) return;
    timer_->pause();  // keeps the time left
    paused_ = true;
}

void TelvoTimer::continueTimer() {
    std::lock_guard lock(mutex_);
    if (!valid_ || !paused_ || !timer_) return;
    paused_ = false;
    // A fire already on its way when the pause came was held back by fire(): fire now.
    if (timer_->isPaused())
        timer_->resume();
    else
        timer_->start(0);
}

void TelvoTimer::cancel() {
    std::shared_ptr<DispatchTimer> platformTimer;
    std::function<void()> block;
    {
        std::lock_guard lock(mutex_);
        valid_ = false;
        paused_ = false;
        block = std::move(block_);
        block_ = nullptr;
        platformTimer = std::move(timer_);
    }
    if (platformTimer) platformTimer->cancel();
}

bool TelvoTimer::isValid() const {
    std::lock_guard lock(mutex_);
    return valid_;
}

}  // namespace telvo
