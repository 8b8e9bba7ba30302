#include "platform/net/SystemNetwork.h"

#include <unistd.h>

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
    if (watcher_) watcher_->stop();
    if (monitor_) monitor_->stop();
}

std::shared_ptr<SystemNetwork> SystemNetwork::shared() {
    {
        std::lock_guard lock(slot().mutex);
        if (!slot().enabled) return nullptr;
        if (slot().instance) return slot().instance;
    }
    // Made outside the lock (opening the bus takes a moment); the first one published wins.
    auto made = std::shared_ptr<SystemNetwork>(new SystemNetwork());
    made->monitor_ = RtnetlinkMonitor::start([] { NetworkReachability::notifyChanged(); });
    auto connection =
        DBusConnection::openSystemBus(nullptr, DispatchQueue::createSerial("telvo.network"));
    auto modem = std::make_shared<std::atomic<bool>>(false);
    made->watcher_ = NetworkManagerWatcher::start(
        std::move(connection),
        [modem](NetworkManagerWatcher::Status, const NetworkManagerFacts& facts) {
            if (modem->exchange(facts.primaryIsModem) != facts.primaryIsModem)
                NetworkReachability::notifyChanged();
        });
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

NetworkManagerWatcher::Status SystemNetwork::managerStatus() {
    if (!watcher_) return NetworkManagerWatcher::Status::Absent;
    if (!waited_.load() && watcher_->status() == NetworkManagerWatcher::Status::Loading) {
        watcher_->waitUntilLoaded(kFirstAnswerSeconds);
        waited_ = true;
    }
    return watcher_->status();
}

NetworkManagerFacts SystemNetwork::managerFacts() {
    if (managerStatus() != NetworkManagerWatcher::Status::Answering) return {};
    return watcher_->facts();
}

std::optional<uint32_t> SystemNetwork::reachabilityFlags(const std::string& host) {
    if (!monitor_) return std::nullopt;
    const auto tables = monitor_->routeTables();
    uint32_t flags = NetworkReachability::flagsFromRouteTables(host, tables.ipv4, tables.ipv6);
    if ((flags & ReachabilityFlags::kReachable) && managerFacts().primaryIsModem)
        flags |= ReachabilityFlags::kIsWWAN;
    return flags;
}

std::optional<std::string> SystemNetwork::wifiInterface(
    const std::vector<NetworkInterface>& interfaces) {
    if (auto name = managerFacts().wifiInterface) return name;
    for (const auto& entry : interfaces)
        if (entry.up && !entry.loopback && kernelSaysWireless(entry.name)) return entry.name;
    return std::nullopt;
}

}  // namespace telvo
