#pragma once

// Internal to the dispatch implementation; not for use outside src/platform/Dispatch*.cpp
// and MainLoop.cpp.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Clock.h"
#include "platform/DispatchQueue.h"
#include "platform/DispatchSource.h"
#include "platform/DispatchTimer.h"

namespace telvo {

using DispatchJob = std::function<void()>;

// Marks the calling thread as running on a queue for the scope's lifetime.
class CurrentQueueScope {
  public:
    explicit CurrentQueueScope(DispatchQueue* queue);
    ~CurrentQueueScope();
    CurrentQueueScope(const CurrentQueueScope&) = delete;
    CurrentQueueScope& operator=(const CurrentQueueScope&) = delete;
    static bool contains(const DispatchQueue* queue);
    static DispatchQueue* innermost();
};

// A one-shot latch.
struct Gate {
    std::mutex mutex;
    std::condition_variable cv;
    bool open = false;
    void release() {
        std::lock_guard<std::mutex> lock(mutex);
        open = true;
        cv.notify_all();
    }
    void wait() {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait(lock, [&] { return open; });
    }
};

class DispatchRuntime {
  public:
    static DispatchRuntime& get();

    bool deterministic() const { return deterministic_.load(std::memory_order_acquire); }
    bool onLoopThread() const;
    int64_t now() const { return Clock::shared()->monotonicNanos(); }

    // Jobs of the main loop (threaded: main queue only; deterministic: every queue).
    void submitMain(DispatchJob job);
    // Jobs of the worker pool (threaded mode).
    void submitPool(DispatchJob job);
    void trackQueue(const std::shared_ptr<DispatchQueue>& queue);

    // Timers and sources share one lock.
    std::mutex stateMutex;
    void insertTimerLocked(const std::shared_ptr<DispatchTimer>& timer);
    void eraseTimerLocked(DispatchTimer* timer);
    void addSource(const std::shared_ptr<DispatchSource>& source);
    void removeSourceLocked(DispatchSource* source);
    // Wakes the reactor (threaded) or the loop (deterministic) to look at timers and sources.
    void wake();

    // Main loop.
    bool runUntil(const std::function<bool()>& predicate, int64_t timeoutNanos, bool untilIdle);
    void drain();
    void requestStop();
    bool isMainThread() const;
    void startMainThread();
    void stopMainThread();

    // Mode control.
    std::shared_ptr<ManualClock> enableDeterministic();
    void disableDeterministic();
    std::shared_ptr<ManualClock> manualClock();

    std::atomic<int> outsideWork{0};
    std::atomic<int> settleMicros{200};
    void outsideWorkEnded() { signalLoop(); }

  private:
    DispatchRuntime();
    void signalLoop();
    void drainWakeFd(int fd);
    bool runOneMainJob();
    // Fires due timers; true when any was due.
    bool fireDueTimers(int64_t now);
    // Polls the watched sources; queues an event for each ready one; true when any was.
    // extraFd (>= 0) is polled too and, when readable, counts as ready.
    bool pollSources(int timeoutMillis, int64_t timeoutNanosPrecise, int extraFd);
    bool haveWatchedSources();
    std::optional<int64_t> nextDeadline();
    void reactorMain();
    void ensureReactor();
    void poolWorker();
    bool runUntilThreaded(const std::function<bool()>& predicate, int64_t timeoutNanos);
    bool runUntilDeterministic(const std::function<bool()>& predicate, int64_t timeoutNanos,
                               bool untilIdle);

    std::atomic<bool> deterministic_{false};
    std::shared_ptr<ManualClock> manual_;
    std::thread::id loopThread_;

    mutable std::mutex mainMutex_;
    std::condition_variable mainCv_;
    std::deque<DispatchJob> mainJobs_;
    bool stopRequested_ = false;
    std::thread::id mainThread_;
    std::thread libraryMainThread_;

    std::mutex poolMutex_;
    std::condition_variable poolCv_;
    std::deque<DispatchJob> poolJobs_;
    int poolThreads_ = 0;
    int poolIdle_ = 0;

    std::mutex queuesMutex_;
    std::vector<std::weak_ptr<DispatchQueue>> queues_;

    // Guarded by stateMutex.
    std::map<std::pair<int64_t, uint64_t>, std::shared_ptr<DispatchTimer>> timers_;
    uint64_t nextTimerKey_ = 1;
    std::vector<std::shared_ptr<DispatchSource>> sources_;
    bool reactorStarted_ = false;

    std::condition_variable reactorCv_;  // with stateMutex: the reactor idles in deterministic mode
    int reactorWakeFd_ = -1;
    int loopWakeFd_ = -1;
};

}  // namespace telvo
