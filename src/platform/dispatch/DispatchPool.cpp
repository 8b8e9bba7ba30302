// The worker pool of threaded mode: the queues other than the main queue run their blocks
// here.
#include <pthread.h>

#include <chrono>

#include "platform/dispatch/DispatchRuntime.h"

namespace telvo {

// A thread starts whenever a job waits and no thread is idle, so a blocked block never holds
// back another; a thread idle for ten seconds ends. Ended threads are joined by the next
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

void DispatchRuntime::submitPool(DispatchJob&& job) {
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

void DispatchRuntime::stopPool() {
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

}  // namespace telvo
