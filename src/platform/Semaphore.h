#pragma once

#include <condition_variable>
#include <mutex>

namespace telvo {

// A counting semaphore (dispatch_semaphore). wait() takes one unit, blocking the calling
// thread until one is there; signal() gives one back. Time-outs are real time. In
// deterministic mode a wait on the loop thread that cannot be served at once blocks the loop:
// take it only around work that the same thread releases.
class Semaphore {
  public:
    explicit Semaphore(long value = 0) : value_(value) {}
    void wait();
    // False when the time-out passed first (nothing taken). A negative time-out waits forever.
    bool wait(double timeoutSeconds);
    void signal();

    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    long value_;
};

}  // namespace telvo
