#pragma once

#include <condition_variable>
#include <mutex>

namespace telvo {

// A counting semaphore (dispatch_semaphore). wait() takes one unit, blocking the calling
// thread until one is there; signal() gives one back. Time-outs are on the library clock: in
// deterministic mode they are virtual time, and a timed wait on the loop thread runs the loop
// (a nested run, see Dispatch.h) until a unit is there or the time-out has passed. An untimed
// wait on the loop thread that cannot be served at once blocks the loop: take it only around
// work that another thread releases.
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
    bool tryTake();
    std::mutex mutex_;
    std::condition_variable cv_;
    long value_;
};

}  // namespace telvo
