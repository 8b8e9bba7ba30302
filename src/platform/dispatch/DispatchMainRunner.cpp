// The main loop: its jobs (the main queue's blocks; in deterministic mode every queue's), the
// runner of threaded mode, the virtual-time loop of deterministic mode and the library's own
// main thread.
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "platform/dispatch/DispatchRuntime.h"

namespace telvo {

void DispatchRuntime::MainJob::run() {
    if (enterOwner) {
        CurrentQueueScope scope(owner);
        job();
    } else {
        job();
    }
}

void DispatchRuntime::submitMain(DispatchJob&& job, DispatchQueue* owner, bool enterOwner) {
    bool write, notify;
    {
        std::lock_guard<std::mutex> lock(mainMutex_);
        mainJobs_.emplace_back(std::move(job), owner, enterOwner);
        write = takeLoopSleepLocked();
        notify = runnerWaiting_;
    }
    if (notify) mainCv_.notify_all();
    if (write) writeWake(loopWakeFd_, loopWakeWrites);
}

bool DispatchRuntime::takeLoopSleepLocked() {
    if (!loopAsleep_) return false;
    loopAsleep_ = false;
    return true;
}

bool DispatchRuntime::enterLoopSleep(bool haveOutsideWork) {
    std::lock_guard<std::mutex> lock(mainMutex_);
    // Whatever was handed in or asked for since the loop last looked ends the sleep before it
    // starts.
    if (runnableJobLocked() != mainJobs_.end() || stopRequested_) return false;
    if (haveOutsideWork && outsideWorks_.empty()) return false;
    loopAsleep_ = true;
    return true;
}

void DispatchRuntime::leaveLoopSleep() {
    std::lock_guard<std::mutex> lock(mainMutex_);
    loopAsleep_ = false;
}

std::deque<DispatchRuntime::MainJob>::iterator DispatchRuntime::runnableJobLocked() {
    // A serial queue never runs two blocks at once: while a block of a queue is on this
    // thread's stack (a nested run), the queue's later blocks wait for it to return.
    if (mainJobs_.empty() || !CurrentQueueScope::innermost()) return mainJobs_.begin();
    return std::find_if(mainJobs_.begin(), mainJobs_.end(), [](const MainJob& j) {
        return !j.owner || !CurrentQueueScope::contains(j.owner);
    });
}

bool DispatchRuntime::takeRunnableLocked(MainJob& out) {
    if (mainJobs_.empty()) return false;
    if (!CurrentQueueScope::innermost()) {
        out = std::move(mainJobs_.front());
        mainJobs_.pop_front();
        return true;
    }
    auto it = runnableJobLocked();
    if (it == mainJobs_.end()) return false;
    out = std::move(*it);
    if (it == mainJobs_.begin()) {
        mainJobs_.pop_front();
    } else {
        mainJobs_.erase(it);
    }
    return true;
}

void DispatchRuntime::runQueuedJobsOf(DispatchQueue* owner) {
    std::vector<MainJob> jobs;
    {
        std::lock_guard<std::mutex> lock(mainMutex_);
        for (auto it = mainJobs_.begin(); it != mainJobs_.end();) {
            if (it->owner == owner) {
                jobs.push_back(std::move(*it));
                it = mainJobs_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& job : jobs) job.run();
}

size_t DispatchRuntime::queuedJobsOf(const DispatchQueue* owner) const {
    std::lock_guard<std::mutex> lock(mainMutex_);
    return size_t(std::count_if(mainJobs_.begin(), mainJobs_.end(),
                                [&](const MainJob& j) { return j.owner == owner; }));
}

void DispatchRuntime::requestStop() {
    bool write, notify;
    {
        std::lock_guard<std::mutex> lock(mainMutex_);
        stopRequested_ = true;
        write = takeLoopSleepLocked();
        notify = runnerWaiting_;
    }
    if (notify) mainCv_.notify_all();
    if (write) writeWake(loopWakeFd_, loopWakeWrites);
}

bool DispatchRuntime::onLoopThread() const {
    std::lock_guard<std::mutex> lock(mainMutex_);
    return std::this_thread::get_id() == loopThread_;
}

bool DispatchRuntime::isMainThread() const {
    std::lock_guard<std::mutex> lock(mainMutex_);
    return std::this_thread::get_id() == mainThread_;
}

bool DispatchRuntime::callerMayActAsMainThread() const {
    std::lock_guard<std::mutex> lock(mainMutex_);
    const auto me = std::this_thread::get_id();
    if (libraryMainThread_.joinable()) return me == libraryMainThread_.get_id();
    return runDepth_ == 0 || me == runner_;
}

void DispatchRuntime::enterRun() {
    std::lock_guard<std::mutex> lock(mainMutex_);
    enterRunLocked();
}

void DispatchRuntime::enterRunLocked() {
    const auto me = std::this_thread::get_id();
    if (deterministic() && me != loopThread_) {
        std::fprintf(stderr,
                     "telvo dispatch: the main loop runs only on the thread that enabled "
                     "deterministic mode\n");
        std::abort();
    }
    bool libraryRuns = libraryMainThread_.joinable() && libraryMainThread_.get_id() != me;
    if ((runDepth_ > 0 && runner_ != me) || libraryRuns) {
        std::fprintf(stderr,
                     "telvo dispatch: the main loop already runs on another thread%s; a second "
                     "thread may not run it\n",
                     libraryRuns ? " (the library's own main thread)" : "");
        std::abort();
    }
    runner_ = me;
    ++runDepth_;
    mainThread_ = me;
}

void DispatchRuntime::leaveRun() {
    std::lock_guard<std::mutex> lock(mainMutex_);
    leaveRunLocked();
}

void DispatchRuntime::leaveRunLocked() {
    if (--runDepth_ == 0) runner_ = std::thread::id();
}

class DispatchRuntime::RunnerScope {
  public:
    explicit RunnerScope(DispatchRuntime& rt) : rt_(rt) { rt_.enterRun(); }
    ~RunnerScope() { rt_.leaveRun(); }
    RunnerScope(const RunnerScope&) = delete;
    RunnerScope& operator=(const RunnerScope&) = delete;

  private:
    DispatchRuntime& rt_;
};

bool DispatchRuntime::runUntil(const std::function<bool()>& predicate, int64_t timeoutNanos,
                               bool untilIdle) {
    RunnerScope runner(*this);
    if (deterministic()) return runUntilDeterministic(predicate, timeoutNanos, untilIdle);
    return runUntilThreaded(predicate, timeoutNanos);
}

bool DispatchRuntime::runUntilThreaded(const std::function<bool()>& predicate,
                                       int64_t timeoutNanos) {
    const int64_t deadline = now() + timeoutNanos;
    for (;;) {
        if (predicate && predicate()) return true;
        MainJob job;
        {
            std::unique_lock<std::mutex> lock(mainMutex_);
            if (stopRequested_ && !predicate) {
                stopRequested_ = false;
                return false;
            }
            if (!takeRunnableLocked(job)) {
                int64_t left = deadline - now();
                if (left <= 0) break;
                if (predicate) {
                    // The predicate may depend on other threads: look again every 5 ms.
                    left = std::min<int64_t>(left, 5000000);
                } else {
                    // Only a block or stop() can end this wait; cap it to what a wait_for
                    // converts safely.
                    left = std::min<int64_t>(left, 3600LL * 1000000000LL);
                }
                runnerWaiting_ = true;
                mainCv_.wait_for(lock, std::chrono::nanoseconds(left));
                runnerWaiting_ = false;
                if (runnableJobLocked() == mainJobs_.end() && !stopRequested_)
                    idleWakeups.fetch_add(1);
                continue;
            }
        }
        job.run();
    }
    return predicate ? predicate() : false;
}

bool DispatchRuntime::runUntilDeterministic(const std::function<bool()>& predicate,
                                            int64_t timeoutNanos, bool untilIdle) {
    auto clock = manual_;
    const int64_t start = clock->monotonicNanos();
    const int64_t deadline = timeoutNanos >= INT64_MAX / 2 ? INT64_MAX / 2 : start + timeoutNanos;
    // Ready sources whose handlers change nothing (an idle writable socket, an unread end of
    // stream) must not hold time still: once kStalledLooks looks in a row at one instant find
    // the same sources ready with the same bytes queued, time moves on and the handlers run
    // again at the next instant.
    constexpr int kStalledLooks = 8;
    std::vector<std::pair<int, uint64_t>> lastReady;
    int64_t lastReadyAt = -1;
    int sameLooks = 0;
    // Real time spent waiting for outside work with nothing handed in.
    bool waiting = false;
    std::chrono::steady_clock::time_point waitingSince;
    for (;;) {
        if (predicate && predicate()) return true;
        MainJob job;
        bool got;
        {
            std::lock_guard<std::mutex> lock(mainMutex_);
            if (stopRequested_ && !predicate) {
                stopRequested_ = false;
                return false;
            }
            got = takeRunnableLocked(job);
        }
        if (got) {
            job.run();
            waiting = false;
            continue;
        }
        int64_t now = clock->monotonicNanos();
        if (fireDueTimers(now)) continue;
        auto ready = readySourceState();
        bool stalled = false;
        if (!ready.empty()) {
            sameLooks = lastReadyAt == now && ready == lastReady ? sameLooks + 1 : 0;
            lastReady = std::move(ready);
            lastReadyAt = now;
            if (sameLooks < kStalledLooks) {
                pollSources(0, 0);
                continue;
            }
            stalled = true;
        }
        if (untilIdle && timeoutNanos == 0) return predicate ? predicate() : false;
        if (outsideWorkCount() > 0) {
            // Time stands still until the outside work is done or hands something in.
            auto realNow = std::chrono::steady_clock::now();
            if (!waiting) {
                waiting = true;
                waitingSince = realNow;
            }
            auto waited =
                std::chrono::duration_cast<std::chrono::nanoseconds>(realNow - waitingSince)
                    .count();
            int64_t limit = outsideWorkLimitNanos.load();
            if (waited >= limit) abortForOutsideWork(limit);
            waitForOutsideWork(stalled, limit - waited);
            continue;
        }
        waiting = false;
        if (noticedUnregisteredWork(now)) continue;
        auto next = nextDeadline();
        if (untilIdle && !next) return predicate ? predicate() : false;
        if (now >= deadline) break;
        int64_t target = !next || *next > deadline ? deadline : *next;
        {
            // Decided under the lock that hands work in: whatever outside work handed in
            // before it finished runs before time moves.
            std::lock_guard<std::mutex> lock(mainMutex_);
            if (runnableJobLocked() != mainJobs_.end() || !outsideWorks_.empty()) continue;
            clock->advanceTo(target);
        }
    }
    return predicate ? predicate() : false;
}

void DispatchRuntime::waitForOutsideWork(bool stalled, int64_t leftNanos) {
    if (!enterLoopSleep(true)) return;
    realTimeWaits.fetch_add(1);
    PollSet set;
    if (!stalled) {
        std::lock_guard<std::mutex> lock(stateMutex);
        collectWatchedLocked(set);
    }
    pollAndDeliver(set, -1, leftNanos, loopWakeFd_, &loopWakeReads);
    leaveLoopSleep();
}

bool DispatchRuntime::noticedUnregisteredWork(int64_t now) {
    const int settle = settleMicros.load();
    if (settle <= 0 || !haveWatchedSources() || !enterLoopSleep(false)) return false;
    realTimeWaits.fetch_add(1);
    PollSet set;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        collectWatchedLocked(set);
    }
    const bool woke = pollAndDeliver(set, 0, int64_t(settle) * 1000, loopWakeFd_, &loopWakeReads);
    leaveLoopSleep();
    if (woke) {
        std::fprintf(stderr,
                     "telvo dispatch: a watched descriptor became ready while the loop was idle "
                     "at %.6f s; register the work that feeds it as outside work\n",
                     double(now) / 1e9);
    }
    return woke;
}

void DispatchRuntime::abortForOutsideWork(int64_t limit) {
    std::string names;
    {
        std::lock_guard<std::mutex> lock(mainMutex_);
        for (auto& [id, what] : outsideWorks_) {
            names += names.empty() ? "\"" : ", \"";
            names += what + "\"";
        }
    }
    std::fprintf(stderr,
                 "telvo dispatch: outside work %s still in flight after %.3f s of real time "
                 "with nothing handed in; virtual time cannot move\n",
                 names.c_str(), double(limit) / 1e9);
    std::fflush(stderr);
    std::abort();
}

void DispatchRuntime::drain() {
    // Entering and leaving the run share their lock with the first and the last look at the
    // jobs. In deterministic mode, as long as there are no timers and no sources, the jobs are
    // all there is to do at this instant and a stop request ends the drain; otherwise the
    // deterministic loop takes over once the jobs run out, to fire what is due and deliver
    // what is ready without moving time.
    const bool deterministicMode = deterministic();
    const auto jobsAlone = [&] {
        return !deterministicMode || timersAndSources_.load(std::memory_order_acquire) == 0;
    };
    // With mainMutex_ held: a stop request a deterministic drain takes.
    const auto stopped = [&] {
        if (!deterministicMode || !stopRequested_) return false;
        stopRequested_ = false;
        return true;
    };
    MainJob job;
    bool got;
    {
        std::lock_guard<std::mutex> lock(mainMutex_);
        enterRunLocked();
        const bool stop = stopped();
        got = !stop && takeRunnableLocked(job);
        if (!got && (stop || jobsAlone())) {
            leaveRunLocked();
            return;
        }
    }
    // The run is left even when a job throws.
    struct Leave {
        DispatchRuntime* rt;
        bool done = false;
        ~Leave() {
            if (!done) rt->leaveRun();
        }
    } leave{this};
    while (got) {
        job.run();
        job.job.reset();
        std::lock_guard<std::mutex> lock(mainMutex_);
        if (stopped()) {
            leaveRunLocked();
            leave.done = true;
            return;
        }
        got = takeRunnableLocked(job);
        if (!got && jobsAlone()) {
            leaveRunLocked();
            leave.done = true;
            return;
        }
    }
    runUntilDeterministic(nullptr, 0, true);
}

void DispatchRuntime::startMainThread() {
    std::lock_guard<std::mutex> lock(mainMutex_);
    if (libraryMainThread_.joinable()) return;
    if (runDepth_ > 0) {
        std::fprintf(stderr,
                     "telvo dispatch: the main loop already runs on another thread; the "
                     "library cannot start its own\n");
        std::abort();
    }
    libraryMainThread_ = std::thread([this] {
        pthread_setname_np(pthread_self(), "telvo-main");
        runUntil(nullptr, INT64_MAX / 2, false);
    });
    mainThread_ = libraryMainThread_.get_id();
}

void DispatchRuntime::stopMainThread() {
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(mainMutex_);
        if (!libraryMainThread_.joinable()) return;
        if (libraryMainThread_.get_id() == std::this_thread::get_id()) return;
    }
    // Stop first: the thread stays the loop's only runner until it has returned.
    requestStop();
    {
        std::lock_guard<std::mutex> lock(mainMutex_);
        thread = std::move(libraryMainThread_);
    }
    thread.join();
}

}  // namespace telvo
