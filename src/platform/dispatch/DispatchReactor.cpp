// Timers and descriptor sources, and the reactor thread that watches them in threaded mode
// (in deterministic mode the main loop looks at them itself).
#include <linux/sock_diag.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

#include "platform/dispatch/DispatchRuntime.h"

namespace telvo {

void DispatchRuntime::insertTimerLocked(const std::shared_ptr<DispatchTimer>& timer) {
    timer->key_ = nextTimerKey_++;
    timers_.emplace(std::make_pair(timer->deadline_, timer->key_), timer);
    countTimersAndSourcesLocked();
    if (!deterministic()) ensureReactor();
}

void DispatchRuntime::eraseTimerLocked(DispatchTimer* timer) {
    if (timer->key_ == 0) return;
    timers_.erase(std::make_pair(timer->deadline_, timer->key_));
    countTimersAndSourcesLocked();
    timer->key_ = 0;
}

void DispatchRuntime::addSource(const std::shared_ptr<DispatchSource>& source) {
    std::lock_guard<std::mutex> lock(stateMutex);
    sources_.push_back(source);
    countTimersAndSourcesLocked();
    if (!deterministic()) ensureReactor();
}

void DispatchRuntime::removeSourceLocked(DispatchSource* source) {
    std::erase_if(sources_, [&](auto& s) { return s.get() == source; });
    countTimersAndSourcesLocked();
}

void DispatchRuntime::wake() {
    if (deterministic()) {
        bool write;
        {
            std::lock_guard<std::mutex> lock(mainMutex_);
            write = takeLoopSleepLocked();
        }
        if (write) writeWake(loopWakeFd_, loopWakeWrites);
        return;
    }
    bool write;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        write = takeReactorSleepLocked();
    }
    if (write) writeWake(reactorWakeFd_, reactorWakeWrites);
}

bool DispatchRuntime::takeReactorSleepLocked() {
    if (!reactorAsleep_) return false;
    reactorAsleep_ = false;
    return true;
}

void DispatchRuntime::writeWake(int fd, std::atomic<uint64_t>& writes) {
    uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(fd, &one, sizeof one);
    writes.fetch_add(1, std::memory_order_relaxed);
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
            countTimersAndSourcesLocked();
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

void DispatchRuntime::collectWatchedLocked(PollSet& set) {
    for (auto& s : sources_) {
        if (!s->watchedLocked()) continue;
        set.watched.push_back(s);
        short events = s->kind_ == DispatchSource::Kind::Read ? POLLIN : POLLOUT;
        set.fds.push_back(pollfd{s->fd_, events, 0});
    }
}

bool DispatchRuntime::pollAndDeliver(PollSet& set, int timeoutMillis, int64_t timeoutNanosPrecise,
                                     int wakeFd, std::atomic<uint64_t>* reads) {
    if (wakeFd >= 0) set.fds.push_back(pollfd{wakeFd, POLLIN, 0});
    if (set.fds.empty()) return false;
    int n;
    if (timeoutNanosPrecise > 0) {
        timespec ts{time_t(timeoutNanosPrecise / 1000000000LL),
                    long(timeoutNanosPrecise % 1000000000LL)};
        n = ::ppoll(set.fds.data(), set.fds.size(), &ts, nullptr);
    } else {
        n = ::poll(set.fds.data(), set.fds.size(), timeoutMillis);
    }
    if (n <= 0) return false;
    bool any = false;
    if (wakeFd >= 0 && set.fds.back().revents) {
        // One read takes the whole count: the counter is read only when it holds something.
        uint64_t value;
        [[maybe_unused]] auto r = ::read(wakeFd, &value, sizeof value);
        if (reads) reads->fetch_add(1, std::memory_order_relaxed);
        any = true;
    }
    std::vector<std::shared_ptr<DispatchSource>> ready;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        for (size_t i = 0; i < set.watched.size(); ++i) {
            if (!set.fds[i].revents) continue;
            auto& s = set.watched[i];
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

bool DispatchRuntime::pollSources(int timeoutMillis, int64_t timeoutNanosPrecise) {
    PollSet set;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        collectWatchedLocked(set);
    }
    return pollAndDeliver(set, timeoutMillis, timeoutNanosPrecise, -1, nullptr);
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
        const int64_t now = clock->monotonicNanos();
        fireDueTimers(now);
        // The time-out, the watched set and the sleep are decided under one hold of the lock
        // that arming a timer or changing a source takes: whatever changes after it wakes the
        // poll below.
        PollSet set;
        int timeout = -1;
        bool sleep;
        {
            std::lock_guard<std::mutex> lock(stateMutex);
            // A mode switch or the shutdown that came meanwhile ends the pass here.
            sleep = !reactorStopping_ && !deterministic();
            if (!timers_.empty()) {
                const int64_t wait = timers_.begin()->first.first - now;
                timeout =
                    wait <= 0 ? 0 : int(std::min<int64_t>((wait + 999999) / 1000000, INT_MAX));
            }
            // A replaced clock may move without telling us; look again regularly.
            if (!dynamic_cast<SystemClock*>(clock.get()) && (timeout < 0 || timeout > 20))
                timeout = 20;
            collectWatchedLocked(set);
            reactorAsleep_ = sleep;
        }
        clock.reset();
        if (sleep) {
            reactorSleeps.fetch_add(1, std::memory_order_relaxed);
            pollAndDeliver(set, timeout, 0, reactorWakeFd_, &reactorWakeReads);
        }
        {
            std::lock_guard<std::mutex> lock(stateMutex);
            reactorAsleep_ = false;
            reactorInPass_ = false;
        }
        reactorCv_.notify_all();
    }
}

void DispatchRuntime::stopReactor() {
    std::thread reactor;
    bool write;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        reactorStopping_ = true;
        reactor = std::move(reactor_);
        write = takeReactorSleepLocked();
    }
    reactorCv_.notify_all();
    if (write) writeWake(reactorWakeFd_, reactorWakeWrites);
    if (reactor.joinable()) {
        if (reactor.get_id() == std::this_thread::get_id()) {
            reactor.detach();
        } else {
            reactor.join();
        }
    }
}

}  // namespace telvo
