#include "sockets/SocketQueue.h"

#include <memory>

namespace telvo {

namespace {

// The queue-specific entry that names this socket queue: the helper's own address, held
// without ownership.
std::shared_ptr<void> markOf(const SocketQueue* owner) {
    return {const_cast<SocketQueue*>(owner), [](void*) {}};
}

}  // namespace

SocketQueue::SocketQueue(DispatchQueuePtr queue, const char* label)
    : queue_(queue ? std::move(queue) : DispatchQueue::createSerial(label)) {
    mark(queue_);
}

SocketQueue::~SocketQueue() {
    std::vector<std::weak_ptr<DispatchQueue>> marked;
    {
        std::lock_guard<std::mutex> lock(markedMutex_);
        marked.swap(marked_);
    }
    for (const auto& weak : marked) {
        if (auto queue = weak.lock()) queue->setSpecific(this, nullptr);
    }
}

bool SocketQueue::isCurrent() const {
    return DispatchQueue::getSpecific(this) == this;
}

void SocketQueue::mark(const DispatchQueuePtr& queue) const {
    if (!queue) return;
    std::lock_guard<std::mutex> lock(markedMutex_);
    queue->setSpecific(this, markOf(this));
    forgetLocked(queue);
    marked_.push_back(queue);
}

void SocketQueue::unmark(const DispatchQueuePtr& queue) const {
    if (!queue) return;
    std::lock_guard<std::mutex> lock(markedMutex_);
    queue->setSpecific(this, nullptr);
    forgetLocked(queue);
}

// Drops the queue, and every queue gone meanwhile, from the marks to clear.
void SocketQueue::forgetLocked(const DispatchQueuePtr& queue) const {
    std::erase_if(marked_, [&](const std::weak_ptr<DispatchQueue>& weak) {
        auto other = weak.lock();
        return !other || other == queue;
    });
}

}  // namespace telvo
