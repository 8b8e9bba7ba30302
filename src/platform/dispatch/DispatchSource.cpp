#include "platform/dispatch/DispatchSource.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/dispatch/DispatchRuntime.h"

namespace telvo {

// Held by the sources that own a descriptor (one, or the two of a pair): closes it after the
// last of their cancel handlers, or when the last source holding it goes away (a cancelled
// source that was never resumed never runs its cancel handler).
struct DispatchSource::Closer {
    Closer(int fd, int owners) : fd(fd), remaining(owners) {}
    ~Closer() {
        if (!closed.exchange(true)) ::close(fd);
    }
    void done() {
        if (remaining.fetch_sub(1) == 1 && !closed.exchange(true)) ::close(fd);
    }
    const int fd;
    std::atomic<int> remaining;
    std::atomic<bool> closed{false};
};

DispatchSource::DispatchSource(Kind kind, int fd, DispatchQueuePtr queue)
    : kind_(kind), fd_(fd), queue_(std::move(queue)) {}

DispatchSource::~DispatchSource() = default;

std::shared_ptr<DispatchSource> DispatchSource::create(Kind kind, int fd, DispatchQueuePtr queue,
                                                       Descriptor descriptor) {
    if (!queue) queue = DispatchQueue::main();
    auto source = std::shared_ptr<DispatchSource>(new DispatchSource(kind, fd, std::move(queue)));
    if (descriptor == Descriptor::Owned) source->closer_ = std::make_shared<Closer>(fd, 1);
    DispatchRuntime::get().addSource(source);
    return source;
}

DispatchSource::Pair DispatchSource::createPair(int fd, DispatchQueuePtr queue) {
    auto closer = std::make_shared<Closer>(fd, 2);
    Pair pair{create(Kind::Read, fd, queue), create(Kind::Write, fd, queue)};
    std::lock_guard<std::mutex> lock(DispatchRuntime::get().stateMutex);
    pair.read->closer_ = closer;
    pair.write->closer_ = closer;
    return pair;
}

void DispatchSource::setEventHandler(DispatchBlock handler) {
    auto& rt = DispatchRuntime::get();
    std::shared_ptr<DispatchBlock> old;
    {
        std::lock_guard<std::mutex> lock(rt.stateMutex);
        if (cancelled_) return;
        old = std::exchange(
            eventHandler_, handler ? std::make_shared<DispatchBlock>(std::move(handler)) : nullptr);
    }
    rt.wake();
}

void DispatchSource::setCancelHandler(DispatchBlock handler) {
    std::shared_ptr<DispatchBlock> old;
    std::lock_guard<std::mutex> lock(DispatchRuntime::get().stateMutex);
    if (cancelDelivered_) return;
    old = std::exchange(cancelHandler_,
                        handler ? std::make_shared<DispatchBlock>(std::move(handler)) : nullptr);
}

bool DispatchSource::watchedLocked() const {
    return !cancelled_ && suspendCount_ == 0 && !eventPending_ && eventHandler_;
}

void DispatchSource::resume() {
    auto& rt = DispatchRuntime::get();
    bool deliverCancel = false;
    {
        std::lock_guard<std::mutex> lock(rt.stateMutex);
        if (suspendCount_ == 0) return;
        --suspendCount_;
        if (suspendCount_ == 0 && cancelled_ && !cancelDelivered_) {
            cancelDelivered_ = true;
            deliverCancel = true;
        }
    }
    if (deliverCancel) queue_->async([self = shared_from_this()] { self->invokeCancel(); });
    rt.wake();
}

void DispatchSource::suspend() {
    std::lock_guard<std::mutex> lock(DispatchRuntime::get().stateMutex);
    ++suspendCount_;
}

void DispatchSource::cancel() {
    auto& rt = DispatchRuntime::get();
    std::shared_ptr<DispatchBlock> released;
    bool deliverCancel = false;
    {
        std::lock_guard<std::mutex> lock(rt.stateMutex);
        if (cancelled_) return;
        cancelled_ = true;
        released = std::move(eventHandler_);
        rt.removeSourceLocked(this);
        if (suspendCount_ == 0) {
            cancelDelivered_ = true;
            deliverCancel = true;
        }
    }
    if (deliverCancel) queue_->async([self = shared_from_this()] { self->invokeCancel(); });
    rt.wake();
}

void DispatchSource::cancelAndClose() {
    {
        std::lock_guard<std::mutex> lock(DispatchRuntime::get().stateMutex);
        if (cancelled_) return;
        if (!closer_) closer_ = std::make_shared<Closer>(fd_, 1);
    }
    cancel();
}

bool DispatchSource::isCancelled() const {
    std::lock_guard<std::mutex> lock(DispatchRuntime::get().stateMutex);
    return cancelled_;
}

bool DispatchSource::isSuspended() const {
    std::lock_guard<std::mutex> lock(DispatchRuntime::get().stateMutex);
    return suspendCount_ > 0;
}

void DispatchSource::invokeEvent() {
    auto& rt = DispatchRuntime::get();
    std::shared_ptr<DispatchBlock> handler;
    {
        std::lock_guard<std::mutex> lock(rt.stateMutex);
        if (!cancelled_ && suspendCount_ == 0) handler = eventHandler_;
        if (!handler) eventPending_ = false;
    }
    if (handler) {
        // The readiness seen by the poller may be stale by now (the queue may have read the
        // bytes meanwhile): look again, so that a handler never sees a count it cannot use.
        pollfd p{fd_, short(kind_ == Kind::Read ? POLLIN : POLLOUT), 0};
        bool ready = ::poll(&p, 1, 0) > 0 && p.revents != 0;
        if (ready) {
            unsigned long count = 0;
            if (kind_ == Kind::Read) {
                int pending = 0;
                if (::ioctl(fd_, FIONREAD, &pending) == 0 && pending > 0)
                    count = (unsigned long)pending;
            }
            data_.store(count);
            (*handler)();
        }
        handler.reset();
        std::lock_guard<std::mutex> lock(rt.stateMutex);
        eventPending_ = false;
    }
    rt.wake();
}

void DispatchSource::invokeCancel() {
    std::shared_ptr<DispatchBlock> handler;
    std::shared_ptr<Closer> closer;
    {
        std::lock_guard<std::mutex> lock(DispatchRuntime::get().stateMutex);
        handler = std::move(cancelHandler_);
        closer = std::move(closer_);
    }
    if (handler && *handler) (*handler)();
    handler.reset();
    if (closer) closer->done();
}

}  // namespace telvo
