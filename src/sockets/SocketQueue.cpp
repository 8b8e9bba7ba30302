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
    unmark(queue_);
}

bool SocketQueue::isCurrent() const {
    return DispatchQueue::getSpecific(this) == this;
}

void SocketQueue::mark(const DispatchQueuePtr& queue) const {
    if (queue) queue->setSpecific(this, markOf(this));
}

void SocketQueue::unmark(const DispatchQueuePtr& queue) const {
    if (queue) queue->setSpecific(this, nullptr);
}

}  // namespace telvo
