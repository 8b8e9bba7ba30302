#pragma once

#include <mutex>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"

namespace telvo {

// The serial queue a socket keeps all of its state on, and the one way the socket's members
// reach that state.
//
// Code runs on the socket queue when the innermost queue it runs on is that queue or a queue
// marked as standing for it. sync() runs a block there and answers its value, waiting for the
// queue, or inline when the caller already runs there (so a call from a delegate that syncs
// back, or from the socket's own blocks, never deadlocks). async() runs a block inline in the
// same case and queues it otherwise.
class SocketQueue {
  public:
    // queue: a serial queue, or null for a new one with the given label.
    SocketQueue(DispatchQueuePtr queue, const char* label);
    ~SocketQueue();
    SocketQueue(const SocketQueue&) = delete;
    SocketQueue& operator=(const SocketQueue&) = delete;

    const DispatchQueuePtr& dispatchQueue() const { return queue_; }
    bool isCurrent() const;
    // A marked queue counts as the socket queue: mark only a queue whose blocks never run
    // alongside the socket queue's. Every mark still in place is cleared when this helper
    // goes, so that a queue that outlives its socket never stands for a later one.
    void mark(const DispatchQueuePtr& queue) const;
    void unmark(const DispatchQueuePtr& queue) const;

    template <class F>
    auto sync(F&& f) const -> std::invoke_result_t<F&> {
        if (isCurrent()) return f();
        return queue_->syncResult(f);
    }

    template <class F>
    void async(F&& f) const {
        if (isCurrent()) {
            f();
        } else {
            queue_->async(std::forward<F>(f));
        }
    }

    // A copy of one field, read on the socket queue.
    template <class T>
    T get(const T& field) const {
        return sync([&field] { return field; });
    }

    // Assigns one field on the socket queue and waits until done.
    template <class T, class V>
    void set(T& field, V&& value) const {
        sync([&] { field = std::forward<V>(value); });
    }

  private:
    void forgetLocked(const DispatchQueuePtr& queue) const;

    DispatchQueuePtr queue_;
    mutable std::mutex markedMutex_;
    mutable std::vector<std::weak_ptr<DispatchQueue>> marked_;
};

// Sets (on) or clears the bits of a flag word.
template <class Word>
void setBits(Word& word, Word bits, bool on) {
    word = on ? Word(word | bits) : Word(word & ~bits);
}

}  // namespace telvo
