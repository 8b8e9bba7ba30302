#include "platform/net/SystemNetwork.h"

#include <unistd.h>

#include <set>

#include "platform/base/Singleton.h"
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

SystemNetwork::SystemNetwork() = default;

SystemNetwork::~SystemNetwork() {
    for (auto& watcher : watchers_) watcher->stop();
    if (monitor_) monitor_->stop();
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
    made->watchers_.push_back(WifiServiceWatcher::start(
        WifiService::networkManager(), queue, open,
        [modem](WifiServiceWatcher::Status, const WifiFacts& facts) {
            if (modem->exchange(facts.primaryIsModem) != facts.primaryIsModem)
                NetworkReachability::notifyChanged();
        }));
    made->watchers_.push_back(WifiServiceWatcher::start(WifiService::iwd(), queue, open));
    made->watchers_.push_back(WifiServiceWatcher::start(WifiService::wpaSupplicant(), queue, open));
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
