#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "platform/dispatch/DispatchQueue.h"

namespace telvo {

// An operation queue (NSOperationQueue with block operations): runs its operations in the
// order added, at most maxConcurrentOperationCount at a time (1 when made). Runs on the
// dispatch worker pool (threaded mode) or the loop thread (deterministic mode). Thread-safe.
class OperationQueue : public std::enable_shared_from_this<OperationQueue> {
  public:
    static std::shared_ptr<OperationQueue> create(std::string name = "NSOperationQueue");

    void setMaxConcurrentOperationCount(int count);  // below 1 counts as 1
    int maxConcurrentOperationCount() const;
    void addOperationWithBlock(DispatchBlock block);
    // Operations added and not yet finished.
    size_t operationCount() const;
    // Drops the operations that have not started; running ones finish.
    void cancelAllOperations();
    // Blocks until every operation added so far has finished. In deterministic mode, on the
    // loop thread, runs them instead.
    void waitUntilAllOperationsAreFinished();
    // True while the caller runs inside one of this queue's operations.
    bool isCurrent() const { return queue_->isCurrent(); }
    const std::string& name() const { return queue_->label(); }

  private:
    explicit OperationQueue(DispatchQueuePtr queue) : queue_(std::move(queue)) {}
    void operationEnded();

    const DispatchQueuePtr queue_;
    mutable std::mutex mutex_;
    std::condition_variable idle_;
    size_t count_ = 0;
};

}  // namespace telvo
