#include "platform/dispatch/Dispatch.h"

// The runtime's set-up and shutdown, outside work and the switch between the modes; the
// Dispatch facade.
#include <sys/eventfd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/base/Singleton.h"
#include "platform/dispatch/DispatchRuntime.h"

namespace telvo {

// ---------------------------------------------------------------------------------------------
// Current-queue tracking

constinit thread_local CurrentQueueScope* CurrentQueueScope::innermost_ = nullptr;

bool CurrentQueueScope::contains(const DispatchQueue* queue) {
    for (const CurrentQueueScope* s = innermost_; s; s = s->outer_)
        if (s->queue_ == queue) return true;
    return false;
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

void DispatchRuntime::shutdown() {
    stopMainThread();
    stopReactor();
    stopPool();
}

void DispatchRuntime::trackQueue(const std::shared_ptr<DispatchQueue>& queue) {
    std::lock_guard<std::mutex> lock(queuesMutex_);
    if (queues_.size() >= 64 && (queues_.size() & (queues_.size() - 1)) == 0) {
        std::erase_if(queues_, [](auto& w) { return w.expired(); });
    }
    queues_.push_back(queue);
}

// --- outside work ----------------------------------------------------------------------------

uint64_t DispatchRuntime::beginOutsideWork(std::string what) {
    std::lock_guard<std::mutex> lock(mainMutex_);
    uint64_t id = nextOutsideWork_++;
    outsideWorks_.emplace(id, std::move(what));
    return id;
}

void DispatchRuntime::endOutsideWork(uint64_t id) {
    bool write;
    {
        std::lock_guard<std::mutex> lock(mainMutex_);
        outsideWorks_.erase(id);
        write = takeLoopSleepLocked();
    }
    if (write) writeWake(loopWakeFd_, loopWakeWrites);
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
        if (takeReactorSleepLocked()) writeWake(reactorWakeFd_, reactorWakeWrites);
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
    // The reactor waits on reactorCv_ in deterministic mode, not in poll.
    reactorCv_.notify_all();
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
    : id_(DispatchRuntime::get().beginOutsideWork(std::move(what))) {}

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
