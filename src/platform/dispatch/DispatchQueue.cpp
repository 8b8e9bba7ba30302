#include "platform/dispatch/DispatchQueue.h"

#include <climits>

#include "platform/base/Singleton.h"
#include "platform/dispatch/DispatchRuntime.h"
#include "platform/dispatch/MainLoop.h"

namespace telvo {

DispatchQueue::DispatchQueue(std::string label, int width, bool isMain)
    : label_(std::move(label)), width_(width), isMain_(isMain) {}

DispatchQueue::~DispatchQueue() = default;

DispatchQueuePtr DispatchQueue::make(std::string label, int width, bool isMain) {
    auto queue = DispatchQueuePtr(new DispatchQueue(std::move(label), width, isMain));
    DispatchRuntime::get().trackQueue(queue);
    return queue;
}

DispatchQueuePtr DispatchQueue::createSerial(std::string label) {
    return make(std::move(label), 1, false);
}

DispatchQueuePtr DispatchQueue::createConcurrent(std::string label) {
    return make(std::move(label), INT_MAX, false);
}

DispatchQueuePtr DispatchQueue::main() {
    return processWide([] { return new DispatchQueuePtr(make("com.apple.main-thread", 1, true)); });
}

DispatchQueuePtr DispatchQueue::global(DispatchQoS qos) {
    if (qos == DispatchQoS::Background) {
        return processWide([] {
            return new DispatchQueuePtr(make("com.apple.root.background-qos", INT_MAX, false));
        });
    }
    return processWide(
        [] { return new DispatchQueuePtr(make("com.apple.root.default-qos", INT_MAX, false)); });
}

void DispatchQueue::async(DispatchTask block) {
    submit(std::move(block), false);
}

void DispatchQueue::barrierAsync(DispatchTask block) {
    submit(std::move(block), true);
}

void DispatchQueue::sync(const DispatchBlock& block) {
    syncImpl(block, false);
}

void DispatchQueue::barrierSync(const DispatchBlock& block) {
    syncImpl(block, true);
}

void DispatchQueue::submit(DispatchTask&& block, bool barrier) {
    if (!block) return;
    auto& rt = DispatchRuntime::get();
    if (isMain_) {
        // The main loop's jobs are the main queue's blocks themselves, in order; a nested run
        // never starts one while another is on the loop thread's stack.
        rt.submitMain(std::move(block), this, true);
        return;
    }
    if (rt.deterministic()) {
        uint64_t seq;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            seq = nextSeq_++;
            pending_.push_back(Item{std::move(block), seq, barrier, nullptr});
        }
        rt.submitMain([self = shared_from_this(), seq] { self->runDeterministic(seq); }, this);
        return;
    }
    std::vector<Item> ready;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_.push_back(Item{std::move(block), nextSeq_++, barrier, nullptr});
        pumpLocked(ready);
    }
    start(ready);
}

void DispatchQueue::pumpLocked(std::vector<Item>& out) {
    while (!pending_.empty() && !barrierRunning_) {
        Item& head = pending_.front();
        if (head.barrier && width_ > 1) {
            if (running_ > 0) break;
            barrierRunning_ = true;
        } else if (running_ >= width_) {
            break;
        }
        ++running_;
        out.push_back(std::move(head));
        pending_.pop_front();
    }
}

void DispatchQueue::start(std::vector<Item>& items) {
    auto& rt = DispatchRuntime::get();
    for (auto& item : items) {
        if (item.gate) {
            item.gate->release();
            continue;
        }
        // The block that becomes ready as one ends runs next on this worker: a busy queue costs
        // no hand-off to another thread per block, and its order stays what pumpLocked decides.
        auto job = [self = shared_from_this(), item = std::move(item)]() mutable {
            for (;;) {
                self->runItem(item);
                const bool barrier = item.barrier && self->width_ > 1;
                std::vector<Item> ready;
                {
                    std::lock_guard<std::mutex> lock(self->mutex_);
                    --self->running_;
                    if (barrier) self->barrierRunning_ = false;
                    self->pumpLocked(ready);
                }
                if (ready.empty() || ready.front().gate) {
                    self->start(ready);
                    return;
                }
                item = std::move(ready.front());
                ready.erase(ready.begin());
                self->start(ready);
            }
        };
        rt.submitPool(std::move(job));
    }
    items.clear();
}

void DispatchQueue::runItem(Item& item) {
    CurrentQueueScope scope(this);
    DispatchTask block = std::move(item.block);
    block();
}

void DispatchQueue::finished(bool barrier) {
    std::vector<Item> ready;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --running_;
        if (barrier) barrierRunning_ = false;
        pumpLocked(ready);
    }
    start(ready);
}

void DispatchQueue::runDeterministic(uint64_t seq) {
    Item item;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pending_.empty() || pending_.front().seq != seq) return;  // already run by a sync
        item = std::move(pending_.front());
        pending_.pop_front();
    }
    runItem(item);
}

void DispatchQueue::drainDeterministic(uint64_t before) {
    for (;;) {
        Item item;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (pending_.empty() || pending_.front().seq >= before) return;
            item = std::move(pending_.front());
            pending_.pop_front();
        }
        runItem(item);
    }
}

void DispatchQueue::syncImpl(const DispatchBlock& block, bool barrier) {
    if (!block) return;
    if (isCurrent()) {
        block();
        return;
    }
    auto& rt = DispatchRuntime::get();
    if (isMain_ && (rt.deterministic() ? rt.onLoopThread() : MainLoop::isMainThread())) {
        // On the loop's thread: the blocks queued before this sync first, then this one, all
        // inline; blocks they submit wait for the loop.
        rt.runQueuedJobsOf(this);
        CurrentQueueScope scope(this);
        block();
        return;
    }
    if (rt.deterministic()) {
        if (rt.onLoopThread()) {
            // The blocks queued before this sync first, then this one, all inline; blocks they
            // submit wait for the loop.
            uint64_t before;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                before = nextSeq_;
            }
            drainDeterministic(before);
            CurrentQueueScope scope(this);
            block();
            return;
        }
    }
    if (rt.deterministic() || (isMain_ && !MainLoop::isMainThread())) {
        // The block runs where the loop runs (main-queue blocks on the main thread).
        Gate done;
        submit(
            [&] {
                block();
                done.release();
            },
            barrier);
        done.wait();
        return;
    }
    // Hold the queue at this point of its order and run the block on the calling thread.
    Gate gate;
    std::vector<Item> ready;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_.push_back(Item{nullptr, nextSeq_++, barrier, &gate});
        pumpLocked(ready);
    }
    start(ready);
    gate.wait();
    // The queue is released even when the block throws.
    struct Release {
        DispatchQueue* queue;
        bool barrier;
        ~Release() { queue->finished(barrier); }
    } release{this, barrier && width_ > 1};
    CurrentQueueScope scope(this);
    block();
}

void DispatchQueue::after(double seconds, DispatchBlock block) {
    if (!block) return;
    auto timer = DispatchTimer::create(shared_from_this(), std::move(block));
    timer->start(seconds);
}

bool DispatchQueue::isCurrent() const {
    return CurrentQueueScope::contains(this);
}

DispatchQueuePtr DispatchQueue::current() {
    auto* q = CurrentQueueScope::innermost();
    return q ? q->shared_from_this() : nullptr;
}

void DispatchQueue::setSpecific(const void* key, std::shared_ptr<void> context) {
    std::shared_ptr<void> old;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = specifics_.find(key);
    if (it != specifics_.end()) old = std::move(it->second);
    if (context) {
        specifics_[key] = std::move(context);
    } else if (it != specifics_.end()) {
        specifics_.erase(it);
    }
}

void* DispatchQueue::getSpecificOf(const void* key) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = specifics_.find(key);
    return it == specifics_.end() ? nullptr : it->second.get();
}

void* DispatchQueue::getSpecific(const void* key) {
    auto* q = CurrentQueueScope::innermost();
    return q ? q->getSpecificOf(key) : nullptr;
}

size_t DispatchQueue::pendingCount() const {
    if (isMain_) return DispatchRuntime::get().queuedJobsOf(this);
    std::lock_guard<std::mutex> lock(mutex_);
    return pending_.size();
}

void DispatchQueue::setWidth(int width) {
    std::vector<Item> ready;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        width_ = width < 1 ? 1 : width;
        pumpLocked(ready);
    }
    start(ready);
}

}  // namespace telvo
