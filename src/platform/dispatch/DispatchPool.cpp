// The worker pool of threaded mode: the queues other than the main queue run their blocks
// here.
#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "platform/dispatch/DispatchRuntime.h"

namespace telvo {

// A thread starts whenever a job waits and no thread is idle, so a blocked block never holds
// back another; a thread idle for ten seconds ends. Ended threads are joined by the next
// submitter and at shutdown. A job submitted while a thread is idle goes to that thread (the
// one that went idle last): one wake-up, on a word of its own.

namespace {

void wakeIdler(std::atomic<uint32_t>& word) {
    word.store(1, std::memory_order_release);
    syscall(SYS_futex, &word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

// Waits until the word is no longer 0 or the deadline (monotonic clock) has passed; may return
// early.
void waitOn(std::atomic<uint32_t>& word, const timespec& deadline) {
    if (word.load(std::memory_order_acquire) != 0) return;
    syscall(SYS_futex, &word, FUTEX_WAIT_BITSET_PRIVATE, 0, &deadline, nullptr,
            FUTEX_BITSET_MATCH_ANY);
}

}  // namespace

void DispatchRuntime::reapPoolThreadsLocked(std::vector<std::thread>& out) {
    for (auto id : poolExited_) {
        auto it = poolThreads_.find(id);
        if (it == poolThreads_.end()) continue;
        out.push_back(std::move(it->second));
        poolThreads_.erase(it);
    }
    poolExited_.clear();
}

void DispatchRuntime::submitPool(DispatchJob&& job) {
    std::vector<std::thread> ended;
    std::shared_ptr<PoolIdler> idler;
    {
        std::lock_guard<std::mutex> lock(poolMutex_);
        reapPoolThreadsLocked(ended);
        if (!poolIdlers_.empty()) {
            idler = std::move(poolIdlers_.back());
            poolIdlers_.pop_back();
            idler->job = std::move(job);
            idler->given = true;
        } else {
            poolJobs_.push_back(std::move(job));
            if (!poolStopping_) {
                std::thread thread([this] {
                    pthread_setname_np(pthread_self(), "telvo-pool");
                    poolWorker();
                });
                auto id = thread.get_id();
                poolThreads_.emplace(id, std::move(thread));
                poolThreadsStarted.fetch_add(1);
            }
        }
    }
    if (idler) wakeIdler(idler->woken);
    for (auto& t : ended) t.join();
}

void DispatchRuntime::poolWorker() {
    constexpr auto kPoolIdle = std::chrono::seconds(10);
    auto me = std::make_shared<PoolIdler>();
    for (;;) {
        DispatchJob job;
        {
            std::unique_lock<std::mutex> lock(poolMutex_);
            if (poolJobs_.empty() && !poolStopping_) {
                me->given = false;
                me->woken.store(0, std::memory_order_relaxed);
                poolIdlers_.push_back(me);
                timespec deadline{};
                clock_gettime(CLOCK_MONOTONIC, &deadline);
                deadline.tv_sec += kPoolIdle.count();
                for (;;) {
                    lock.unlock();
                    waitOn(me->woken, deadline);
                    lock.lock();
                    if (me->given || poolStopping_) break;
                    timespec now{};
                    clock_gettime(CLOCK_MONOTONIC, &now);
                    if (now.tv_sec > deadline.tv_sec ||
                        (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec))
                        break;
                    // A late wake-up meant for a job this thread took before: nothing is given.
                    me->woken.store(0, std::memory_order_relaxed);
                }
                if (me->given) {
                    job = std::move(me->job);
                } else {
                    std::erase(poolIdlers_, me);
                }
            }
            if (!job) {
                if (poolJobs_.empty()) {
                    poolExited_.push_back(std::this_thread::get_id());
                    poolCv_.notify_all();
                    return;
                }
                job = std::move(poolJobs_.front());
                poolJobs_.pop_front();
            }
        }
        job();
    }
}

void DispatchRuntime::stopPool() {
    // Pool threads end once their block returns; one still inside a block after the grace
    // period is left running (the runtime is never destroyed).
    std::vector<std::thread> threads;
    {
        std::unique_lock<std::mutex> lock(poolMutex_);
        poolStopping_ = true;
        for (auto& idler : poolIdlers_) wakeIdler(idler->woken);
        poolIdlers_.clear();
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

}  // namespace telvo
