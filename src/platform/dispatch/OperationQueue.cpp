#include "platform/dispatch/OperationQueue.h"

#include "platform/dispatch/DispatchRuntime.h"

namespace telvo {

std::shared_ptr<OperationQueue> OperationQueue::create(std::string name) {
    return std::shared_ptr<OperationQueue>(
        new OperationQueue(DispatchQueue::make(std::move(name), 1, false)));
}

void OperationQueue::setMaxConcurrentOperationCount(int count) {
    queue_->setWidth(count);
}

int OperationQueue::maxConcurrentOperationCount() const {
    return queue_->width_.load();
}

void OperationQueue::addOperationWithBlock(DispatchBlock block) {
    if (!block) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++count_;
    }
    // The queue holds this object only weakly; the count drops when the operation, run or
    // dropped, is destroyed (a moved-from ender holds nothing).
    struct Ender {
        std::weak_ptr<OperationQueue> owner;
        explicit Ender(std::weak_ptr<OperationQueue> queue) : owner(std::move(queue)) {}
        Ender(Ender&&) noexcept = default;
        Ender& operator=(Ender&&) = delete;
        ~Ender() {
            if (auto q = owner.lock()) q->operationEnded();
        }
    };
    queue_->async([block = std::move(block), ender = Ender(weak_from_this())] { block(); });
}

void OperationQueue::operationEnded() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count_ > 0) --count_;
    if (count_ == 0) idle_.notify_all();
}

size_t OperationQueue::operationCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
}

void OperationQueue::cancelAllOperations() {
    std::deque<DispatchQueue::Item> dropped;
    {
        std::lock_guard<std::mutex> lock(queue_->mutex_);
        dropped.swap(queue_->pending_);
    }
    // Each dropped block releases its Ender here, which lowers the count.
}

void OperationQueue::waitUntilAllOperationsAreFinished() {
    auto& rt = DispatchRuntime::get();
    if (rt.deterministic() && rt.onLoopThread()) {
        queue_->drainDeterministic(UINT64_MAX);
        return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [&] { return count_ == 0; });
}

}  // namespace telvo
