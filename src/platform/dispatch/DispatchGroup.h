#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"

namespace telvo {

class DispatchGroup;
using DispatchGroupPtr = std::shared_ptr<DispatchGroup>;

// A dispatch group: work enters it and leaves it; waiters and notify blocks learn when nothing
// is left inside. Thread-safe.
class DispatchGroup : public std::enable_shared_from_this<DispatchGroup> {
  public:
    static DispatchGroupPtr create() { return DispatchGroupPtr(new DispatchGroup()); }

    void enter();
    // Each leave() matches one enter(); an unmatched one is ignored.
    void leave();
    // Runs the block on the queue inside the group: the group is entered now and left when the
    // block has run.
    void async(const DispatchQueuePtr& queue, DispatchTask block);
    // Runs the block on the queue once the group is empty (at once, later on the queue, when it
    // is empty now).
    void notify(const DispatchQueuePtr& queue, DispatchBlock block);
    // True once the group is empty; false when the time-out (seconds on the library clock;
    // negative: none) passed first. In deterministic mode on the loop thread, the loop runs
    // meanwhile, as for Semaphore::wait.
    bool wait(double timeoutSeconds);

  private:
    DispatchGroup() = default;
    bool empty();

    std::mutex mutex_;
    std::condition_variable emptied_;
    long count_ = 0;
    std::vector<std::pair<DispatchQueuePtr, DispatchBlock>> notifies_;
};

}  // namespace telvo
