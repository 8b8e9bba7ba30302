#include "platform/net/SystemNetwork.h"

#include <unistd.h>

#include <algorithm>
#include <set>

#include "platform/base/Singleton.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchTimer.h"
#include "platform/net/NetworkReachability.h"

namespace telvo {

namespace {

struct Slot {
    std::mutex mutex;
    std::shared_ptr<SystemNetwork> instance;
    bool enabled = true;
};

Slot& slot() {
    return processWide([] { return new Slot(); });
}

bool kernelSaysWireless(const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..")
        return false;
    const std::string base = "/sys/class/net/" + name;
    return ::access((base + "/wireless").c_str(), F_OK) == 0 ||
           ::access((base + "/phy80211").c_str(), F_OK) == 0;
}

}  // namespace

struct SystemNetwork::Waiter {
    DispatchQueuePtr queue;
    std::function<void()> done;
    std::shared_ptr<DispatchTimer> timer;

    // Once taken off the waiters' list.
    void run() {
        timer->cancel();
        queue->async(std::move(done));
    }
};

SystemNetwork::SystemNetwork() : startedAt_(Clock::now()) {}

SystemNetwork::~SystemNetwork() {
    for (auto& watcher : watchers_) watcher->stop();
    if (monitor_) monitor_->stop();
    std::vector<std::shared_ptr<Waiter>> waiters;
    {
        std::lock_guard lock(waitMutex_);
        waiters.swap(waiters_);
    }
    for (auto& waiter : waiters) waiter->run();
}

std::shared_ptr<SystemNetwork> SystemNetwork::shared() {
    {
        std::lock_guard lock(slot().mutex);
        if (!slot().enabled) return nullptr;
        if (slot().instance) return slot().instance;
    }
    // Made outside the lock; the first one published wins.
    auto made = std::shared_ptr<SystemNetwork>(new SystemNetwork());
    made->monitor_ = RtnetlinkMonitor::start([] { NetworkReachability::notifyChanged(); });
    auto queue = DispatchQueue::createSerial("telvo.network");
    auto open = [](const DispatchQueuePtr& q) { return DBusConnection::openSystemBus(nullptr, q); };
    auto modem = std::make_shared<std::atomic<bool>>(false);
    std::weak_ptr<SystemNetwork> weak = made;
    auto changed = [weak](WifiServiceWatcher::Status, const WifiFacts&) {
        if (auto self = weak.lock()) self->wifiChanged();
    };
    made->watchers_.push_back(WifiServiceWatcher::start(
        WifiService::networkManager(), queue, open,
        [modem, changed](WifiServiceWatcher::Status status, const WifiFacts& facts) {
            if (modem->exchange(facts.primaryIsModem) != facts.primaryIsModem)
                NetworkReachability::notifyChanged();
            changed(status, facts);
        }));
    made->watchers_.push_back(WifiServiceWatcher::start(WifiService::iwd(), queue, open, changed));
    made->watchers_.push_back(
        WifiServiceWatcher::start(WifiService::wpaSupplicant(), queue, open, changed));
    {
        // The watchers may have answered already; from now on their changes look at the list.
        std::lock_guard lock(made->waitMutex_);
        made->watchersSet_ = true;
    }
    std::lock_guard lock(slot().mutex);
    if (!slot().enabled) return nullptr;
    if (!slot().instance) slot().instance = made;
    return slot().instance;
}

void SystemNetwork::setEnabled(bool enabled) {
    std::shared_ptr<SystemNetwork> dropped;
    std::lock_guard lock(slot().mutex);
    slot().enabled = enabled;
    if (!enabled) dropped.swap(slot().instance);
}

void SystemNetwork::restart() {
    std::shared_ptr<SystemNetwork> dropped;
    std::lock_guard lock(slot().mutex);
    dropped.swap(slot().instance);
}

bool SystemNetwork::wifiReadable() const {
    for (const auto& watcher : watchers_)
        if (watcher->status() == WifiServiceWatcher::Status::Answering) return true;
    return false;
}

bool SystemNetwork::wifiSettled() const {
    // In the order wifiFacts() chooses: the first service with a network decides, unless one
    // before it may still claim the interface.
    for (const auto& watcher : watchers_) {
        if (!watcher->answered()) return false;
        if (watcher->status() == WifiServiceWatcher::Status::Answering && watcher->facts().wifi)
            return true;
    }
    return true;
}

bool SystemNetwork::wifiWaitOver(double bound) const {
    return Clock::now() - startedAt_ >= bound || wifiSettled();
}

void SystemNetwork::whenWifiSettled(double bound, DispatchQueuePtr queue,
                                    std::function<void()> done) {
    auto waiter = std::make_shared<Waiter>();
    waiter->queue = queue;
    waiter->done = std::move(done);
    std::weak_ptr<Waiter> weakWaiter = waiter;
    std::weak_ptr<SystemNetwork> weakSelf = weak_from_this();
    waiter->timer = DispatchTimer::create(queue, [weakWaiter, weakSelf] {
        auto waiter = weakWaiter.lock();
        auto self = weakSelf.lock();
        if (waiter && self) self->timedOut(waiter);
    });
    {
        std::lock_guard lock(waitMutex_);
        const double left = startedAt_ + bound - Clock::now();
        if (left > 0 && (!watchersSet_ || !wifiSettled())) {
            waiters_.push_back(waiter);
            waiter->timer->start(left);
            return;
        }
    }
    waiter->run();
}

void SystemNetwork::wifiChanged() {
    std::vector<std::shared_ptr<Waiter>> due;
    {
        std::lock_guard lock(waitMutex_);
        if (!watchersSet_ || waiters_.empty() || !wifiSettled()) return;
        due.swap(waiters_);
    }
    for (auto& waiter : due) waiter->run();
}

void SystemNetwork::timedOut(const std::shared_ptr<Waiter>& waiter) {
    {
        std::lock_guard lock(waitMutex_);
        auto it = std::find(waiters_.begin(), waiters_.end(), waiter);
        if (it == waiters_.end()) return;
        waiters_.erase(it);
    }
    waiter->run();
}

WifiFacts SystemNetwork::wifiFacts() const {
    std::set<std::string> claimed;
    std::optional<WifiFacts> chosen, firstInterface;
    bool modem = false;
    for (const auto& watcher : watchers_) {
        if (watcher->status() != WifiServiceWatcher::Status::Answering) continue;
        auto facts = watcher->facts();
        modem = modem || facts.primaryIsModem;
        if (!facts.wifiInterface && !facts.wifi) continue;
        // An interface another service answered for first is that service's.
        if (!claimed.insert(facts.wifiInterface.value_or("")).second) continue;
        if (facts.wifi && !chosen) chosen = facts;
        if (!firstInterface) firstInterface = facts;
    }
    WifiFacts out = chosen ? *chosen : firstInterface.value_or(WifiFacts{});
    out.primaryIsModem = modem;
    return out;
}

std::optional<uint32_t> SystemNetwork::reachabilityFlags(const std::string& host) {
    if (!monitor_) return std::nullopt;
    const auto tables = monitor_->routeTables();
    uint32_t flags = NetworkReachability::flagsFromRouteTables(host, tables.ipv4, tables.ipv6);
    if ((flags & ReachabilityFlags::kReachable) && wifiFacts().primaryIsModem)
        flags |= ReachabilityFlags::kIsWWAN;
    return flags;
}

std::optional<std::string> SystemNetwork::wifiInterface(
    const std::vector<NetworkInterface>& interfaces) {
    if (auto name = wifiFacts().wifiInterface) return name;
    for (const auto& entry : interfaces)
        if (entry.up && !entry.loopback && kernelSaysWireless(entry.name)) return entry.name;
    return std::nullopt;
}

}  // namespace telvo
