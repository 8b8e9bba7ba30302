#pragma once

// Internal to the dispatch implementation; not for use outside src/platform/dispatch/Dispatch*.cpp
// and MainLoop.cpp. The runtime's parts live in their own files: Dispatch.cpp (modes, outside
// work, shutdown), DispatchMainRunner.cpp (the main loop and its jobs), DispatchReactor.cpp
// (timers, descriptor sources and the reactor thread), DispatchPool.cpp (the worker pool).

#include <poll.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchSource.h"
#include "platform/dispatch/DispatchTimer.h"

namespace telvo {

using DispatchJob = DispatchTask;

// Marks the calling thread as running on a queue for the scope's lifetime.
class CurrentQueueScope {
  public:
    explicit CurrentQueueScope(DispatchQueue* queue) : queue_(queue), outer_(innermost_) {
        innermost_ = this;
    }
    ~CurrentQueueScope() { innermost_ = outer_; }
    CurrentQueueScope(const CurrentQueueScope&) = delete;
    CurrentQueueScope& operator=(const CurrentQueueScope&) = delete;
    static bool contains(const DispatchQueue* queue);
    static DispatchQueue* innermost() { return innermost_ ? innermost_->queue_ : nullptr; }

  private:
    // The innermost scope of the thread; each scope knows the one it is nested in.
    static constinit thread_local CurrentQueueScope* innermost_;
    DispatchQueue* const queue_;
    CurrentQueueScope* const outer_;
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

    // Jobs of the main loop (threaded: main queue only; deterministic: every queue). owner is
    // the queue whose block the job runs: a nested run never starts it while a block of that
    // queue is on the loop thread's stack. With enterOwner the job runs as a block of owner
    // (the main queue's blocks, which are the loop's jobs themselves).
    void submitMain(DispatchJob&& job, DispatchQueue* owner = nullptr, bool enterOwner = false);
    // On the thread that runs the main loop: takes out the jobs of owner queued now and runs
    // them in order (a sync onto the main queue runs what was queued before it first).
    void runQueuedJobsOf(DispatchQueue* owner);
    // The jobs of owner waiting in the main loop.
    size_t queuedJobsOf(const DispatchQueue* owner) const;
    // Jobs of the worker pool (threaded mode).
    void submitPool(DispatchJob&& job);
    // Stops and joins the library's threads (process exit).
    void shutdown();
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
    // False only while a main loop runs (a run in progress, or the library's own loop thread)
    // on another thread than the caller's.
    bool callerMayActAsMainThread() const;
    void startMainThread();
    void stopMainThread();

    // Mode control.
    std::shared_ptr<ManualClock> enableDeterministic();
    void disableDeterministic();
    std::shared_ptr<ManualClock> manualClock();

    // Outside work in flight, by registration number.
    uint64_t beginOutsideWork(std::string what);
    void endOutsideWork(uint64_t id);
    int outsideWorkCount();
    std::atomic<int> settleMicros{0};
    std::atomic<int64_t> outsideWorkLimitNanos{30LL * 1000000000LL};

    // Diagnostics for tests: passes of an idle threaded loop that found nothing to do, and
    // real-time waits of the deterministic loop and waits of the reactor in poll; writes to
    // and reads of the wake-up counters of the main loop and of the reactor.
    std::atomic<uint64_t> idleWakeups{0};
    std::atomic<uint64_t> realTimeWaits{0};
    std::atomic<uint64_t> poolThreadsStarted{0};
    std::atomic<uint64_t> loopWakeWrites{0};
    std::atomic<uint64_t> loopWakeReads{0};
    std::atomic<uint64_t> reactorSleeps{0};
    std::atomic<uint64_t> reactorWakeWrites{0};
    std::atomic<uint64_t> reactorWakeReads{0};

  private:
    DispatchRuntime();
    struct MainJob {
        MainJob() = default;
        MainJob(DispatchJob&& job, DispatchQueue* owner, bool enterOwner)
            : job(std::move(job)), owner(owner), enterOwner(enterOwner) {}
        DispatchJob job;
        DispatchQueue* owner = nullptr;
        bool enterOwner = false;
        void run();
    };
    // What a wait of the main loop in poll needs to be woken for: the loop is asleep only
    // between enterLoopSleep() (false: something arrived meanwhile, do not sleep) and
    // leaveLoopSleep(); only then does anything write its wake-up counter, and never the
    // loop's own thread (which is not asleep while it runs).
    bool enterLoopSleep(bool haveOutsideWork);
    void leaveLoopSleep();
    // With mainMutex_ held: whether the caller must write the loop's counter (and the wait
    // is over for everyone else).
    bool takeLoopSleepLocked();
    // With stateMutex held: the same for the reactor.
    bool takeReactorSleepLocked();
    void writeWake(int fd, std::atomic<uint64_t>& writes);
    // The first job that may run on this thread now (mainMutex_ held); end() when none.
    std::deque<MainJob>::iterator runnableJobLocked();
    // Takes the first runnable job (mainMutex_ held); false when none.
    bool takeRunnableLocked(MainJob& out);
    // Marks the calling thread as the main loop's runner for the scope; aborts when another
    // thread runs the loop.
    class RunnerScope;
    void enterRun();
    void leaveRun();
    // The same with mainMutex_ held.
    void enterRunLocked();
    void leaveRunLocked();
    // Fires due timers; true when any was due.
    bool fireDueTimers(int64_t now);
    // The watched sources and their poll entries, collected under stateMutex.
    struct PollSet {
        std::vector<std::shared_ptr<DispatchSource>> watched;
        std::vector<pollfd> fds;
    };
    void collectWatchedLocked(PollSet& set);
    // Polls the set and wakeFd (>= 0: a wake-up counter, read once when poll finds it
    // readable); queues an event for each ready source. True when a source was ready or the
    // counter was.
    bool pollAndDeliver(PollSet& set, int timeoutMillis, int64_t timeoutNanosPrecise, int wakeFd,
                        std::atomic<uint64_t>* reads);
    // Collects and polls in one step (no wake-up counter).
    bool pollSources(int timeoutMillis, int64_t timeoutNanosPrecise);
    // Deterministic mode: what the ready watched sources look like now (descriptor, kind and
    // queued bytes), without delivering anything.
    std::vector<std::pair<int, uint64_t>> readySourceState();
    bool haveWatchedSources();
    std::optional<int64_t> nextDeadline();
    void reactorMain();
    void ensureReactor();
    void stopReactor();
    void poolWorker();
    void stopPool();
    [[noreturn]] void abortForOutsideWork(int64_t limitNanos);
    // Deterministic mode, time standing still: sleeps in real time until outside work hands
    // something in or ends (at most leftNanos). Stalled sources stay out of the wait, which
    // they would end at once.
    void waitForOutsideWork(bool stalled, int64_t leftNanos);
    // Deterministic mode, idle (settleMicros > 0, diagnostic only): whether a watched
    // descriptor became ready meanwhile, fed by work nobody registered; says so on stderr.
    bool noticedUnregisteredWork(int64_t now);
    void reapPoolThreadsLocked(std::vector<std::thread>& out);
    bool runUntilThreaded(const std::function<bool()>& predicate, int64_t timeoutNanos);
    bool runUntilDeterministic(const std::function<bool()>& predicate, int64_t timeoutNanos,
                               bool untilIdle);

    std::atomic<bool> deterministic_{false};
    std::shared_ptr<ManualClock> manual_;
    std::thread::id loopThread_;

    mutable std::mutex mainMutex_;
    std::condition_variable mainCv_;
    std::deque<MainJob> mainJobs_;
    bool stopRequested_ = false;
    bool loopAsleep_ = false;     // the deterministic loop waits in poll
    bool runnerWaiting_ = false;  // the threaded loop waits on mainCv_
    std::thread::id runner_;
    int runDepth_ = 0;
    std::map<uint64_t, std::string> outsideWorks_;
    uint64_t nextOutsideWork_ = 1;
    std::thread::id mainThread_;
    std::thread libraryMainThread_;

    // An idle pool thread, waiting on its own word for a job handed to it.
    struct PoolIdler {
        std::atomic<uint32_t> woken{0};
        DispatchJob job;     // poolMutex_
        bool given = false;  // poolMutex_
    };
    std::mutex poolMutex_;
    std::condition_variable poolCv_;  // a pool thread ended
    std::deque<DispatchJob> poolJobs_;
    std::map<std::thread::id, std::thread> poolThreads_;
    std::vector<std::thread::id> poolExited_;
    // The idle threads, the one that went idle last at the back.
    std::vector<std::shared_ptr<PoolIdler>> poolIdlers_;
    bool poolStopping_ = false;

    std::mutex queuesMutex_;
    std::vector<std::weak_ptr<DispatchQueue>> queues_;

    // Guarded by stateMutex.
    std::map<std::pair<int64_t, uint64_t>, std::shared_ptr<DispatchTimer>> timers_;
    uint64_t nextTimerKey_ = 1;
    std::vector<std::shared_ptr<DispatchSource>> sources_;
    // How many timers and sources there are, written under stateMutex whenever they change:
    // a deterministic drain that finds none has only jobs to run.
    std::atomic<size_t> timersAndSources_{0};
    void countTimersAndSourcesLocked() {
        timersAndSources_.store(timers_.size() + sources_.size(), std::memory_order_release);
    }
    bool reactorStarted_ = false;
    bool reactorInPass_ = false;
    bool reactorAsleep_ = false;  // the reactor waits in poll
    bool reactorStopping_ = false;
    std::thread reactor_;

    // With stateMutex: the reactor idles in deterministic mode; a mode switch waits for the
    // reactor's pass to end.
    std::condition_variable reactorCv_;
    int reactorWakeFd_ = -1;
    int loopWakeFd_ = -1;
};

}  // namespace telvo
