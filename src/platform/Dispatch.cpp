#include "platform/Dispatch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "platform/DispatchRuntime.h"

namespace telvo {

// ---------------------------------------------------------------------------------------------
// Current-queue tracking

namespace {
thread_local std::vector<DispatchQueue*> tCurrentQueues;
constexpr int kMaxPoolThreads = 64;
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
    // Never destroyed: worker threads may still use it while the process exits.
    static DispatchRuntime* runtime = new DispatchRuntime();
    return *runtime;
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

void DispatchRuntime::submitMain(DispatchJob job) {
    {
        std::lock_guard<std::mutex> lock(mainMutex_);
        mainJobs_.push_back(std::move(job));
    }
    mainCv_.notify_all();
    signalLoop();
}

void DispatchRuntime::submitPool(DispatchJob job) {
    bool spawn = false;
    {
        std::lock_guard<std::mutex> lock(poolMutex_);
        poolJobs_.push_back(std::move(job));
        if (int(poolJobs_.size()) > poolIdle_ && poolThreads_ < kMaxPoolThreads) {
            ++poolThreads_;
            spawn = true;
        }
    }
    if (spawn) std::thread([this] { poolWorker(); }).detach();
    poolCv_.notify_one();
}

void DispatchRuntime::poolWorker() {
    for (;;) {
        DispatchJob job;
        {
            std::unique_lock<std::mutex> lock(poolMutex_);
            ++poolIdle_;
            poolCv_.wait(lock, [&] { return !poolJobs_.empty(); });
            --poolIdle_;
            job = std::move(poolJobs_.front());
            poolJobs_.pop_front();
        }
        job();
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

void DispatchRuntime::ensureReactor() {
    // stateMutex held by the caller.
    if (reactorStarted_) return;
    reactorStarted_ = true;
    std::thread([this] { reactorMain(); }).detach();
}

void DispatchRuntime::reactorMain() {
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(stateMutex);
            reactorCv_.wait(lock, [&] { return !deterministic(); });
        }
        auto clock = Clock::shared();
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
    }
}

// --- main loop -------------------------------------------------------------------------------

bool DispatchRuntime::runOneMainJob() {
    DispatchJob job;
    {
        std::lock_guard<std::mutex> lock(mainMutex_);
        if (mainJobs_.empty()) return false;
        job = std::move(mainJobs_.front());
        mainJobs_.pop_front();
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

bool DispatchRuntime::runUntil(const std::function<bool()>& predicate, int64_t timeoutNanos,
                               bool untilIdle) {
    {
        std::lock_guard<std::mutex> lock(mainMutex_);
        if (deterministic() && std::this_thread::get_id() != loopThread_) {
            std::fprintf(stderr,
                         "telvo dispatch: the main loop runs only on the thread that enabled "
                         "deterministic mode\n");
            std::abort();
        }
        mainThread_ = std::this_thread::get_id();
    }
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
            if (mainJobs_.empty()) {
                int64_t left = deadline - now();
                if (left <= 0) break;
                // The predicate may depend on other threads: look again at least every 5 ms.
                auto slice = std::chrono::nanoseconds(std::min<int64_t>(left, 5000000));
                mainCv_.wait_for(lock, slice);
                continue;
            }
            job = std::move(mainJobs_.front());
            mainJobs_.pop_front();
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
        // Read before looking for work: outside work hands in its result before it finishes.
        const int outsideAtStart = outsideWork.load();
        if (runOneMainJob()) continue;
        int64_t now = clock->monotonicNanos();
        if (fireDueTimers(now)) continue;
        if (pollSources(0, 0, -1)) continue;
        if (untilIdle && timeoutNanos == 0) return predicate ? predicate() : false;
        if (outsideWork.load() > 0) {
            // Time stands still until the outside work is done or hands something in.
            pollSources(-1, 0, loopWakeFd_);
            continue;
        }
        // Outside work finished during this pass: what it handed in runs before time moves.
        if (outsideAtStart > 0) continue;
        auto next = nextDeadline();
        if (settleMicros.load() > 0 && haveWatchedSources() &&
            pollSources(0, int64_t(settleMicros.load()) * 1000, loopWakeFd_)) {
            continue;
        }
        if (untilIdle && !next) return predicate ? predicate() : false;
        if (now >= deadline) break;
        if (!next || *next > deadline) {
            clock->advanceTo(deadline);
            continue;
        }
        clock->advanceTo(*next);
    }
    return predicate ? predicate() : false;
}

void DispatchRuntime::drain() {
    if (deterministic()) {
        runUntil(nullptr, 0, true);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mainMutex_);
        mainThread_ = std::this_thread::get_id();
    }
    while (runOneMainJob()) {
    }
}

void DispatchRuntime::startMainThread() {
    std::lock_guard<std::mutex> lock(mainMutex_);
    if (libraryMainThread_.joinable()) return;
    libraryMainThread_ = std::thread([this] { runUntil(nullptr, INT64_MAX / 2, false); });
    mainThread_ = libraryMainThread_.get_id();
}

void DispatchRuntime::stopMainThread() {
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(mainMutex_);
        thread = std::move(libraryMainThread_);
    }
    if (!thread.joinable()) return;
    requestStop();
    thread.join();
}

// --- modes -----------------------------------------------------------------------------------

std::shared_ptr<ManualClock> DispatchRuntime::enableDeterministic() {
    auto clock = std::make_shared<ManualClock>();
    {
        std::lock_guard<std::mutex> lock(mainMutex_);
        manual_ = clock;
        loopThread_ = std::this_thread::get_id();
        mainThread_ = loopThread_;
        stopRequested_ = false;
    }
    Clock::setShared(clock);
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        deterministic_.store(true, std::memory_order_release);
    }
    // Send a running reactor to sleep.
    uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(reactorWakeFd_, &one, sizeof one);
    return clock;
}

void DispatchRuntime::disableDeterministic() {
    std::deque<DispatchJob> jobs;
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
    Clock::setShared(nullptr);
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

Dispatch::OutsideWork::OutsideWork(std::string what) : what_(std::move(what)) {
    DispatchRuntime::get().outsideWork.fetch_add(1);
}

Dispatch::OutsideWork::~OutsideWork() {
    finish();
}

void Dispatch::OutsideWork::finish() {
    if (done_.exchange(true)) return;
    auto& rt = DispatchRuntime::get();
    rt.outsideWork.fetch_sub(1);
    rt.outsideWorkEnded();
}

std::shared_ptr<Dispatch::OutsideWork> Dispatch::beginOutsideWork(std::string what) {
    return std::shared_ptr<OutsideWork>(new OutsideWork(std::move(what)));
}

int Dispatch::outsideWorkInFlight() {
    return DispatchRuntime::get().outsideWork.load();
}

void Dispatch::setSettleMicros(int micros) {
    DispatchRuntime::get().settleMicros.store(micros < 0 ? 0 : micros);
}

}  // namespace telvo
