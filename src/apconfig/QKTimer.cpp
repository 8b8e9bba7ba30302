#include "apconfig/QKTimer.h"

#include <algorithm>
#include <cmath>

#include "platform/dispatch/DispatchTimer.h"

namespace telvo {

std::shared_ptr<QKTimer> QKTimer::timerWithBlock(Block block, double delay) {
    auto timer = std::make_shared<QKTimer>();
    timer->delay_ = delay;
    timer->valid_ = true;
    timer->block_ = std::move(block);
    timer->excute();
    return timer;
}

QKTimer::~QKTimer() {
    for (auto& firing : firings_) firing->cancel();
}

void QKTimer::excute() {
    std::lock_guard lock(mutex_);
    const double seconds = std::trunc(std::max(delay_, 0.0) * 1e9) / 1e9;
    // The firing holds the timer until it has run; cancel() releases it.
    auto weakFiring = std::make_shared<std::weak_ptr<DispatchTimer>>();
    auto self = shared_from_this();
    auto firing = DispatchTimer::create(DispatchQueue::main(), [self, weakFiring] {
        auto firingNow = weakFiring->lock();
        self->fire(firingNow.get());
    });
    *weakFiring = firing;
    firings_.push_back(firing);
    firing->start(seconds);
}

void QKTimer::fire(const DispatchTimer* firing) {
    Block block;
    {
        std::lock_guard lock(mutex_);
        std::erase_if(firings_, [&](const auto& f) { return f.get() == firing; });
        if (!valid_ || !block_) return;
        block = block_;
    }
    block();
}

void QKTimer::cancel() {
    std::vector<std::shared_ptr<DispatchTimer>> firings;
    Block dropped;
    {
        std::lock_guard lock(mutex_);
        valid_ = false;
        dropped = std::move(block_);
        block_ = nullptr;
        firings.swap(firings_);
    }
    for (auto& firing : firings) firing->cancel();
}

bool QKTimer::valid() const {
    std::lock_guard lock(mutex_);
    return valid_;
}

double QKTimer::delay() const {
    std::lock_guard lock(mutex_);
    return delay_;
}

void QKTimer::setDelay(double delay) {
    std::lock_guard lock(mutex_);
    delay_ = delay;
}

void QKTimer::setBlock(Block block) {
    std::lock_guard lock(mutex_);
    block_ = std::move(block);
}

}  // namespace telvo
