#include "platform/dispatch/MainLoop.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "platform/base/Singleton.h"
#include "platform/dispatch/DispatchRuntime.h"

namespace telvo {

void MainLoop::run() {
    DispatchRuntime::get().runUntil(nullptr, INT64_MAX / 2, true);
}

bool MainLoop::runUntil(const std::function<bool()>& predicate, double timeoutSeconds) {
    return DispatchRuntime::get().runUntil(
        predicate ? predicate : [] { return false; }, Clock::secondsToNanos(timeoutSeconds), false);
}

void MainLoop::drain() {
    DispatchRuntime::get().drain();
}

void MainLoop::stop() {
    DispatchRuntime::get().requestStop();
}

void MainLoop::startThread() {
    DispatchRuntime::get().startMainThread();
}

void MainLoop::stopThread() {
    DispatchRuntime::get().stopMainThread();
}

bool MainLoop::isMainThread() {
    return DispatchRuntime::get().isMainThread();
}

// --- delayed calls ---------------------------------------------------------------------------

namespace {

struct PerformRequest {
    uint64_t id;
    const void* target;
    std::string name;
    std::shared_ptr<DispatchTimer> timer;
};

struct PerformRegistry {
    std::mutex mutex;
    std::vector<PerformRequest> requests;
    uint64_t nextId = 1;

    // Removes the request; false when it was cancelled meanwhile.
    bool take(uint64_t id) {
        std::shared_ptr<DispatchTimer> timer;
        std::lock_guard<std::mutex> lock(mutex);
        auto it =
            std::find_if(requests.begin(), requests.end(), [&](auto& r) { return r.id == id; });
        if (it == requests.end()) return false;
        timer = std::move(it->timer);
        requests.erase(it);
        return true;
    }

    template <class Match>
    void cancel(Match match) {
        std::vector<std::shared_ptr<DispatchTimer>> cancelled;
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (auto it = requests.begin(); it != requests.end();) {
                if (match(*it)) {
                    cancelled.push_back(std::move(it->timer));
                    it = requests.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (auto& t : cancelled) t->cancel();
    }
};

PerformRegistry& registry() {
    return processWide([] { return new PerformRegistry(); });
}

}  // namespace

void MainLoop::performAfterDelay(const void* target, std::string name, double delaySeconds,
                                 DispatchBlock block) {
    if (!block) return;
    auto& r = registry();
    uint64_t id;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        id = r.nextId++;
    }
    auto timer = DispatchTimer::create(DispatchQueue::main(), [id, block = std::move(block)] {
        if (registry().take(id)) block();
    });
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        r.requests.push_back(PerformRequest{id, target, std::move(name), timer});
    }
    timer->start(delaySeconds);
}

void MainLoop::cancelPreviousPerformRequests(const void* target) {
    registry().cancel([&](const PerformRequest& r) { return r.target == target; });
}

void MainLoop::cancelPreviousPerformRequests(const void* target, std::string_view name) {
    registry().cancel(
        [&](const PerformRequest& r) { return r.target == target && r.name == name; });
}

size_t MainLoop::pendingPerformRequests(const void* target, std::string_view name) {
    auto& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return size_t(std::count_if(r.requests.begin(), r.requests.end(), [&](auto& q) {
        return q.target == target && (name.empty() || q.name == name);
    }));
}

}  // namespace telvo
