#include "platform/dispatch/Dispatch.h"

#include <linux/sock_diag.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "platform/dispatch/DispatchRuntime.h"
#include "platform/foundation/Singleton.h"

namespace telvo {

// ---------------------------------------------------------------------------------------------
// Current-queue tracking

namespace {
thread_local std::vector<DispatchQueue*> tCurrentQueues;
}  // namespace

CurrentQueueScope::CurrentQueueScope(DispatchQueue* queue) {
    tCurrentQueues.push_back(queue);
}
CurrentQueueScope::~CurrentQueueScope() {
    tCurrentQueues.pop_back();
}

bool CurrentQueueScope::contains(const DispatchQueue* queue) {
    for (auto* q : tCurrentQueues)
        if (q == queue) return true;
    return false;
}

DispatchQueue* CurrentQueueScope::innermost() {
    return tCurrentQueues.empty() ? nullptr : tCurrentQueues.back();
}

// ---------------------------------------------------------------------------------------------
// Runtime

DispatchRuntime& DispatchRuntime::get() {
    return processWide([] {
        auto* runtime = new DispatchRuntime();
        // Joins the library's threads before static objects go away.
        std::atexit([] { DispatchRuntime::get().shutdown(); });
        return runtime;
    });
}

DispatchRuntime::DispatchRuntime() {
    reactorWakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    loopWakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (reactorWakeFd_ < 0 || loopWakeFd_ < 0) {
        std::fprintf(stderr, "telvo dispatch: eventfd failed (%d)\n", errno);
        std::abort();
    }
}

bool DispatchRuntime::onLoopThread() const {
    std::lock_guard<std::mutex> lock(mainMutex_);
    return std::this_thread::get_id() == loopThread_;
}

bool DispatchRuntime::isMainThread() const {
    std::lock_guard<std::mutex> lock(mainMutex_);
    return std::this_thread::get_id() == mainThread_;
}

void DispatchRuntime::signalLoop() {
    uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(loopWakeFd_, &one, sizeof one);
}

void DispatchRuntime::drainWakeFd(int fd) {
    uint64_t value;
    while (::read(fd, &value, sizeof value) > 0) {
    }
}

void DispatchRuntime::submitMain(DispatchJob job, DispatchQueue* owner) {
    {
        std::lock_guard<std::mutex> lock(mainMutex_);
        mainJobs_.push_back(MainJob{std::move(job), owner});
    }
    mainCv_.notify_all();
    signalLoop();
}

// --- worker pool -----------------------------------------------------------------------------
// A thread starts whenever a job waits and no thread is idle, so a blocked block never holds
// back another; a thread idle for kPoolIdleNanos ends. Ended threads are joined by the next
// submitter and at shutdown.

void DispatchRuntime::reapPoolThreadsLocked(std::vector<std::thread>& out) {
    for (auto id : poolExited_) {
        auto it = poolThreads_.find(id);
        if (it == poolThreads_.end()) continue;
        out.push_back(std::move(it->second));
        poolThreads_.erase(it);
    }
    poolExited_.clear();
}

void DispatchRuntime::submitPool(DispatchJob job) {
    std::vector<std::thread> ended;
    {
        std::lock_guard<std::mutex> lock(poolMutex_);
        reapPoolThreadsLocked(ended);
        poolJobs_.push_back(std::move(job));
        if (int(poolJobs_.size()) > poolIdle_ && !poolStopping_) {
            std::thread thread([this] {
                pthread_setname_np(pthread_self(), "telvo-pool");
                poolWorker();
            });
            auto id = thread.get_id();
            poolThreads_.emplace(id, std::move(thread));
            poolThreadsStarted.fetch_add(1);
        }
    }
    poolCv_.notify_one();
    for (auto& t : ended) t.join();
}

void DispatchRuntime::poolWorker() {
    constexpr auto kPoolIdle = std::chrono::seconds(10);
    for (;;) {
        DispatchJob job;
        {
            std::unique_lock<std::mutex> lock(poolMutex_);
            ++poolIdle_;
            bool got = poolCv_.wait_for(lock, kPoolIdle,
                                        [&] { return !poolJobs_.empty() || poolStopping_; });
            --poolIdle_;
            if (!got || poolJobs_.empty()) {
                poolExited_.push_back(std::this_thread::get_id());
                poolCv_.notify_all();
                return;
            }
            job = std::move(poolJobs_.front());
            poolJobs_.pop_front();
        }
        job();
    }
}

void DispatchRuntime::shutdown() {
    stopMainThread();
    std::thread reactor;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        reactorStopping_ = true;
        reactor = std::move(reactor_);
    }
    reactorCv_.notify_all();
    uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(reactorWakeFd_, &one, sizeof one);
    if (reactor.joinable()) {
        if (reactor.get_id() == std::this_thread::get_id()) {
            reactor.detach();
        } else {
            reactor.join();
        }
    }
    // Pool threads end once their block returns; one still inside a block after the grace
    // period is left running (the runtime is never destroyed).
    std::vector<std::thread> threads;
    {
        std::unique_lock<std::mutex> lock(poolMutex_);
        poolStopping_ = true;
        poolCv_.notify_all();
        poolCv_.wait_for(lock, std::chrono::seconds(2), [&] {
            size_t self = poolThreads_.count(std::this_thread::get_id());
            return poolThreads_.size() - self <= poolExited_.size();
        });
        reapPoolThreadsLocked(threads);
    }
    for (auto& t : threads) {
        if (t.get_id() == std::this_thread::get_id()) {
            t.detach();
        } else {
            t.join();
        }
    }
}

void DispatchRuntime::trackQueue(const std::shared_ptr<DispatchQueue>& queue) {
    std::lock_guard<std::mutex> lock(queuesMutex_);
    if (queues_.size() >= 64 && (queues_.size() & (queues_.size() - 1)) == 0) {
        std::erase_if(queues_, [](auto& w) { return w.expired(); });
    }
    queues_.push_back(queue);
}

// --- timers and sources ----------------------------------------------------------------------

void DispatchRuntime::insertTimerLocked(const std::shared_ptr<DispatchTimer>& timer) {
    timer->key_ = nextTimerKey_++;
    timers_.emplace(std::make_pair(timer->deadline_, timer->key_), timer);
    if (!deterministic()) ensureReactor();
}

void DispatchRuntime::eraseTimerLocked(DispatchTimer* timer) {
    if (timer->key_ == 0) return;
    timers_.erase(std::make_pair(timer->deadline_, timer->key_));
    timer->key_ = 0;
}

void DispatchRuntime::addSource(const std::shared_ptr<DispatchSource>& source) {
    std::lock_guard<std::mutex> lock(stateMutex);
    sources_.push_back(source);
    if (!deterministic()) ensureReactor();
}

void DispatchRuntime::removeSourceLocked(DispatchSource* source) {
    std::erase_if(sources_, [&](auto& s) { return s.get() == source; });
}

void DispatchRuntime::wake() {
    if (deterministic()) {
        if (!onLoopThread()) signalLoop();
        return;
    }
    uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(reactorWakeFd_, &one, sizeof one);
}

std::optional<int64_t> DispatchRuntime::nextDeadline() {
    std::lock_guard<std::mutex> lock(stateMutex);
    if (timers_.empty()) return std::nullopt;
    return timers_.begin()->first.first;
}

bool DispatchRuntime::fireDueTimers(int64_t now) {
    std::vector<std::pair<std::shared_ptr<DispatchTimer>, uint64_t>> fired;
    bool any = false;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        while (!timers_.empty() && timers_.begin()->first.first <= now) {
            auto timer = timers_.begin()->second;
            timers_.erase(timers_.begin());
            timer->key_ = 0;
            any = true;
            if (timer->interval_ > 0) {
                int64_t next = timer->deadline_ + timer->interval_;
                if (next <= now) next += ((now - next) / timer->interval_ + 1) * timer->interval_;
                timer->deadline_ = next;
                insertTimerLocked(timer);
            } else {
                timer->state_ = DispatchTimer::State::Idle;
            }
            if (timer->firePending_ && timer->pendingGeneration_ == timer->generation_) continue;
            timer->firePending_ = true;
            timer->pendingGeneration_ = timer->generation_;
            fired.emplace_back(timer, timer->generation_);
        }
    }
    for (auto& [timer, generation] : fired) {
        timer->queue_->async(
            [timer = timer, generation = generation] { timer->invoke(generation); });
    }
    return any;
}

bool DispatchRuntime::haveWatchedSources() {
    std::lock_guard<std::mutex> lock(stateMutex);
    for (auto& s : sources_)
        if (s->watchedLocked()) return true;
    return false;
}

bool DispatchRuntime::pollSources(int timeoutMillis, int64_t timeoutNanosPrecise, int extraFd) {
    std::vector<std::shared_ptr<DispatchSource>> watched;
    std::vector<pollfd> fds;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        for (auto& s : sources_) {
            if (!s->watchedLocked()) continue;
            watched.push_back(s);
            short events = s->kind_ == DispatchSource::Kind::Read ? POLLIN : POLLOUT;
            fds.push_back(pollfd{s->fd_, events, 0});
        }
    }
    if (extraFd >= 0) fds.push_back(pollfd{extraFd, POLLIN, 0});
    if (fds.empty()) return false;
    int n;
    if (timeoutNanosPrecise > 0) {
        timespec ts{time_t(timeoutNanosPrecise / 1000000000LL),
                    long(timeoutNanosPrecise % 1000000000LL)};
        n = ::ppoll(fds.data(), fds.size(), &ts, nullptr);
    } else {
        n = ::poll(fds.data(), fds.size(), timeoutMillis);
    }
    if (n <= 0) return false;
    bool any = false;
    if (extraFd >= 0 && fds.back().revents) any = true;
    std::vector<std::shared_ptr<DispatchSource>> ready;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        for (size_t i = 0; i < watched.size(); ++i) {
            if (!fds[i].revents) continue;
            auto& s = watched[i];
            if (!s->watchedLocked()) continue;
            s->eventPending_ = true;
            ready.push_back(s);
        }
    }
    for (auto& s : ready) {
        s->queue_->async([s] { s->invokeEvent(); });
        any = true;
    }
    return any;
}

std::vector<std::pair<int, uint64_t>> DispatchRuntime::readySourceState() {
    std::vector<std::pair<int, uint64_t>> state;
    std::vector<pollfd> fds;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        for (auto& s : sources_) {
            if (!s->watchedLocked()) continue;
            short events = s->kind_ == DispatchSource::Kind::Read ? POLLIN : POLLOUT;
            fds.push_back(pollfd{s->fd_, events, 0});
        }
    }
    if (fds.empty() || ::poll(fds.data(), fds.size(), 0) <= 0) return state;
    for (auto& p : fds) {
        if (!p.revents) continue;
        // What a handler that makes progress changes: the bytes queued on the descriptor.
        uint64_t queued = 0;
        uint32_t info[SK_MEMINFO_VARS] = {};
        socklen_t length = sizeof info;
        if (::getsockopt(p.fd, SOL_SOCKET, SO_MEMINFO, info, &length) == 0) {
            queued = p.events == POLLIN
                         ? info[SK_MEMINFO_RMEM_ALLOC]
                         : uint64_t(info[SK_MEMINFO_WMEM_ALLOC]) + info[SK_MEMINFO_WMEM_QUEUED];
        } else {
            int pending = 0;
            if (::ioctl(p.fd, FIONREAD, &pending) == 0) queued = uint64_t(pending);
        }
        state.emplace_back(p.fd * 2 + (p.events == POLLIN ? 0 : 1), queued);
    }
    return state;
}

void DispatchRuntime::ensureReactor() {
    // stateMutex held by the caller.
    if (reactorStarted_ || reactorStopping_) return;
    reactorStarted_ = true;
    reactor_ = std::thread([this] {
        pthread_setname_np(pthread_self(), "telvo-reactor");
        reactorMain();
    });
}

void DispatchRuntime::reactorMain() {
    for (;;) {
        std::shared_ptr<Clock> clock;
        {
            // A pass starts only in threaded mode; a switch to deterministic mode waits for
            // the pass to end (enableDeterministic), so no pass mixes the two clocks.
            std::unique_lock<std::mutex> lock(stateMutex);
            reactorCv_.wait(lock, [&] { return !deterministic() || reactorStopping_; });
            if (reactorStopping_) return;
            reactorInPass_ = true;
            clock = Clock::shared();
        }
        int64_t now = clock->monotonicNanos();
        fireDueTimers(now);
        int timeout = -1;
        if (auto next = nextDeadline()) {
            int64_t wait = *next - now;
            timeout = wait <= 0 ? 0 : int(std::min<int64_t>((wait + 999999) / 1000000, INT_MAX));
        }
        // A replaced clock may move without telling us; look again regularly.
        if (!dynamic_cast<SystemClock*>(clock.get()) && (timeout < 0 || timeout > 20)) timeout = 20;
        clock.reset();
        pollSources(timeout, 0, reactorWakeFd_);
        drainWakeFd(reactorWakeFd_);
        {
            std::lock_guard<std::mutex> lock(stateMutex);
            reactorInPass_ = false;
        }
        reactorCv_.notify_all();
    }
}

// --- main loop -------------------------------------------------------------------------------

std::deque<DispatchRuntime::MainJob>::iterator DispatchRuntime::runnableJobLocked() {
    // A serial queue never runs two blocks at once: while a block of a queue is on this
    // thread's stack (a nested run), the queue's later blocks wait for it to return.
    return std::find_if(mainJobs_.begin(), mainJobs_.end(), [](const MainJob& j) {
        return !j.owner || !CurrentQueueScope::contains(j.owner);
    });
}

bool DispatchRuntime::runOneMainJob() {
    DispatchJob job;
    {
        std::lock_guard<std::mutex> lock(mainMutex_);
        auto it = runnableJobLocked();
        if (it == mainJobs_.end()) return false;
        job = std::move(it->job);
        mainJobs_.erase(it);
    }
    job();
    return true;
}

void DispatchRuntime::requestStop() {
    {
        std::lock_guard<std::mutex> lock(mainMutex_);
        stopRequested_ = true;
    }
    mainCv_.notify_all();
    signalLoop();
}

void DispatchRuntime::enterRun() {
    std::lock_guard<std::mutex> lock(mainMutex_);
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
        DispatchJob job;
        {
            std::unique_lock<std::mutex> lock(mainMutex_);
            if (stopRequested_ && !predicate) {
                stopRequested_ = false;
                return false;
            }
            auto it = runnableJobLocked();
            if (it == mainJobs_.end()) {
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
                mainCv_.wait_for(lock, std::chrono::nanoseconds(left));
                if (runnableJobLocked() == mainJobs_.end() && !stopRequested_)
                    idleWakeups.fetch_add(1);
                continue;
            }
            job = std::move(it->job);
            mainJobs_.erase(it);
        }
        job();
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
        {
            std::lock_guard<std::mutex> lock(mainMutex_);
            if (stopRequested_ && !predicate) {
                stopRequested_ = false;
                return false;
            }
        }
        drainWakeFd(loopWakeFd_);
        if (runOneMainJob()) {
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
                pollSources(0, 0, -1);
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
            if (waited >= limit) {
                std::string names;
                {
                    std::lock_guard<std::mutex> lock(mainMutex_);
                    for (auto& [id, what] : outsideWorks_) {
                        names += names.empty() ? "\"" : ", \"";
                        names += what + "\"";
                    }
                }
                std::fprintf(stderr,
                             "telvo dispatch: outside work %s still in flight after %.3f s of "
                             "real time with nothing handed in; virtual time cannot move\n",
                             names.c_str(), double(limit) / 1e9);
                std::fflush(stderr);
                std::abort();
            }
            realTimeWaits.fetch_add(1);
            if (stalled) {
                // Stalled sources would wake the wait at once: only a hand-in or the end of
                // the work may.
                const int64_t left = limit - waited;
                timespec ts{time_t(left / 1000000000LL), long(left % 1000000000LL)};
                pollfd wake{loopWakeFd_, POLLIN, 0};
                ::ppoll(&wake, 1, &ts, nullptr);
            } else {
                pollSources(-1, limit - waited, loopWakeFd_);
            }
            continue;
        }
        waiting = false;
        if (int settle = settleMicros.load(); settle > 0 && haveWatchedSources()) {
            // Diagnostic only: data that shows up here came from work nobody registered.
            realTimeWaits.fetch_add(1);
            if (pollSources(0, int64_t(settle) * 1000, loopWakeFd_)) {
                std::fprintf(stderr,
                             "telvo dispatch: a watched descriptor became ready while the loop "
                             "was idle at %.6f s; register the work that feeds it as outside "
                             "work\n",
                             double(now) / 1e9);
                continue;
            }
        }
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

void DispatchRuntime::drain() {
    if (deterministic()) {
        runUntil(nullptr, 0, true);
        return;
    }
    RunnerScope runner(*this);
    while (runOneMainJob()) {
    }
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

// --- outside work ----------------------------------------------------------------------------

uint64_t DispatchRuntime::beginOutsideWork(std::string what) {
    std::lock_guard<std::mutex> lock(mainMutex_);
    uint64_t id = nextOutsideWork_++;
    outsideWorks_.emplace(id, std::move(what));
    return id;
}

void DispatchRuntime::endOutsideWork(uint64_t id) {
    {
        std::lock_guard<std::mutex> lock(mainMutex_);
        outsideWorks_.erase(id);
    }
    signalLoop();
}

int DispatchRuntime::outsideWorkCount() {
    std::lock_guard<std::mutex> lock(mainMutex_);
    return int(outsideWorks_.size());
}

// --- modes -----------------------------------------------------------------------------------

std::shared_ptr<ManualClock> DispatchRuntime::enableDeterministic() {
    auto clock = std::make_shared<ManualClock>();
    {
        // The handshake: no reactor pass starts after this, and the one under way ends before
        // the manual clock is installed and virtual timers exist.
        std::unique_lock<std::mutex> lock(stateMutex);
        deterministic_.store(true, std::memory_order_release);
        uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(reactorWakeFd_, &one, sizeof one);
        reactorCv_.wait(lock, [&] { return !reactorInPass_; });
    }
    {
        std::lock_guard<std::mutex> lock(mainMutex_);
        manual_ = clock;
        loopThread_ = std::this_thread::get_id();
        mainThread_ = loopThread_;
        stopRequested_ = false;
    }
    Clock::setShared(clock);
    return clock;
}

void DispatchRuntime::disableDeterministic() {
    std::deque<MainJob> jobs;
    std::map<std::pair<int64_t, uint64_t>, std::shared_ptr<DispatchTimer>> timers;
    std::vector<std::shared_ptr<DispatchSource>> sources;
    std::vector<std::shared_ptr<DispatchQueue>> queues;
    {
        std::lock_guard<std::mutex> lock(mainMutex_);
        jobs.swap(mainJobs_);
        manual_.reset();
        loopThread_ = std::thread::id();
        stopRequested_ = false;
    }
    // The system clock is back before the reactor may run a pass.
    Clock::setShared(nullptr);
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        timers.swap(timers_);
        for (auto& [key, timer] : timers) {
            timer->key_ = 0;
            timer->state_ = DispatchTimer::State::Idle;
        }
        sources.swap(sources_);
        deterministic_.store(false, std::memory_order_release);
    }
    {
        std::lock_guard<std::mutex> lock(queuesMutex_);
        for (auto& w : queues_)
            if (auto q = w.lock()) queues.push_back(q);
    }
    std::vector<DispatchQueue::Item> dropped;
    for (auto& q : queues) {
        std::lock_guard<std::mutex> lock(q->mutex_);
        for (auto& item : q->pending_) dropped.push_back(std::move(item));
        q->pending_.clear();
    }
    reactorCv_.notify_all();
    uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(reactorWakeFd_, &one, sizeof one);
    // jobs, timers, sources and dropped blocks are released here, outside every lock.
}

std::shared_ptr<ManualClock> DispatchRuntime::manualClock() {
    std::lock_guard<std::mutex> lock(mainMutex_);
    return manual_;
}

// ---------------------------------------------------------------------------------------------
// Dispatch

std::shared_ptr<ManualClock> Dispatch::enableDeterministicMode() {
    return DispatchRuntime::get().enableDeterministic();
}

void Dispatch::disableDeterministicMode() {
    DispatchRuntime::get().disableDeterministic();
}

bool Dispatch::isDeterministic() {
    return DispatchRuntime::get().deterministic();
}

std::shared_ptr<ManualClock> Dispatch::manualClock() {
    return DispatchRuntime::get().manualClock();
}

Dispatch::OutsideWork::OutsideWork(std::string what)
    : what_(what), id_(DispatchRuntime::get().beginOutsideWork(std::move(what))) {}

Dispatch::OutsideWork::~OutsideWork() {
    finish();
}

void Dispatch::OutsideWork::finish() {
    if (done_.exchange(true)) return;
    DispatchRuntime::get().endOutsideWork(id_);
}

std::shared_ptr<Dispatch::OutsideWork> Dispatch::beginOutsideWork(std::string what) {
    return std::shared_ptr<OutsideWork>(new OutsideWork(std::move(what)));
}

int Dispatch::outsideWorkInFlight() {
    return DispatchRuntime::get().outsideWorkCount();
}

void Dispatch::setOutsideWorkTimeLimit(double seconds) {
    DispatchRuntime::get().outsideWorkLimitNanos.store(
        std::max<int64_t>(1, Clock::secondsToNanos(seconds)));
}

void Dispatch::setSettleMicros(int micros) {
    DispatchRuntime::get().settleMicros.store(micros < 0 ? 0 : micros);
}

}  // namespace telvo
