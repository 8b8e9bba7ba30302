#include "platform/net/NetworkConfiguration.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <map>
#include <mutex>
#include <utility>

#include "platform/base/Singleton.h"
#include "platform/net/SystemNetwork.h"

namespace telvo {

namespace {

struct State {
    std::mutex mutex;
    std::function<std::vector<NetworkInterface>()> interfacesSource;
    std::map<std::string, std::string> names;
    // The host's own answers; unset, the system's are used.
    std::optional<WifiInfo> wifi;
    std::optional<bool> wifiReadable;
    std::map<NetworkPort, uint16_t> ports;
};

State& state() {
    return processWide([] { return new State(); });
}

std::string numericHost(const sockaddr* sa) {
    char text[INET6_ADDRSTRLEN] = {};
    if (sa->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, text, sizeof text);
    } else if (sa->sa_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr, text,
                  sizeof text);
    }
    return text;
}

std::vector<NetworkInterface> systemInterfaces() {
    std::vector<NetworkInterface> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return out;
    for (ifaddrs* it = list; it; it = it->ifa_next) {
        if (!it->ifa_addr) continue;
        int family = it->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6) continue;
        NetworkInterface entry;
        entry.name = it->ifa_name ? it->ifa_name : "";
        entry.family = family;
        entry.address = numericHost(it->ifa_addr);
        entry.up = (it->ifa_flags & IFF_UP) != 0;
        entry.loopback = (it->ifa_flags & IFF_LOOPBACK) != 0;
        if (family == AF_INET && (it->ifa_flags & IFF_BROADCAST) && it->ifa_broadaddr)
            entry.broadcast = numericHost(it->ifa_broadaddr);
        out.push_back(std::move(entry));
    }
    freeifaddrs(list);
    return out;
}

}  // namespace

std::vector<NetworkInterface> NetworkConfiguration::interfaces() {
    std::function<std::vector<NetworkInterface>()> source;
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        source = state().interfacesSource;
    }
    return source ? source() : systemInterfaces();
}

void setInterfacesSource(std::function<std::vector<NetworkInterface>()> source) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().interfacesSource = std::move(source);
}

void NetworkConfiguration::setInterfaceNameMapping(const std::string& platformName,
                                                   const std::string& realName) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (realName.empty()) {
        state().names.erase(platformName);
    } else {
        state().names[platformName] = realName;
    }
}

std::string NetworkConfiguration::realInterfaceName(const std::string& name) {
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        auto it = state().names.find(name);
        if (it != state().names.end()) return it->second;
    }
    if (name != "en0" && name != "en2") return name;
    const auto list = interfaces();
    for (const auto& entry : list)
        if (entry.name == name) return name;  // the host names its interfaces so itself
    auto system = SystemNetwork::shared();
    if (!system) return name;
    const auto wifi = system->wifiInterface(list);
    if (name == "en0") return wifi.value_or(name);
    // "en2": the other LAN interface that is up.
    for (const auto& entry : list)
        if (entry.family == AF_INET && entry.up && !entry.loopback && entry.name != wifi)
            return entry.name;
    return name;
}

std::optional<std::string> NetworkConfiguration::broadcastAddress(
    const std::string& interfaceName) {
    const std::string real = realInterfaceName(interfaceName);
    for (const auto& entry : interfaces()) {
        if (entry.family == AF_INET && entry.name == real && entry.broadcast)
            return entry.broadcast;
    }
    return std::nullopt;
}

void NetworkConfiguration::setWifiInfo(std::optional<WifiInfo> info) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().wifi = std::move(info);
}

std::optional<WifiInfo> NetworkConfiguration::currentWifiInfo() {
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        if (state().wifi) return state().wifi;
    }
    auto system = SystemNetwork::shared();
    if (!system) return std::nullopt;
    return system->wifiFacts().wifi;
}

void NetworkConfiguration::setWifiInfoReadable(std::optional<bool> readable) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().wifiReadable = readable;
}

bool NetworkConfiguration::isWifiInfoReadable() {
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        if (state().wifiReadable) return *state().wifiReadable;
    }
    auto system = SystemNetwork::shared();
    return system && system->wifiReadable();
}

void whenWifiFactsStand(const DispatchQueuePtr& queue, std::function<void()> then) {
    bool hostFacts;
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        hostFacts = state().wifi || state().wifiReadable == false;
    }
    auto system = hostFacts ? nullptr : SystemNetwork::shared();
    if (!system || system->wifiWaitOver(kWifiFactsFirstAnswerSeconds)) return then();
    system->whenWifiSettled(kWifiFactsFirstAnswerSeconds, queue, std::move(then));
}

struct WifiFactsWait::Pending {
    std::mutex mutex;
    std::function<void()> then;
    std::function<void()> take() {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(then, nullptr);
    }
};

void WifiFactsWait::start(const DispatchQueuePtr& queue, std::function<void()> then) {
    cancel();
    auto pending = std::make_shared<Pending>();
    pending->then = std::move(then);
    pending_ = pending;
    whenWifiFactsStand(queue, [pending] {
        if (auto then = pending->take()) then();
    });
}

void WifiFactsWait::cancel() {
    // The block goes now, with what it holds (a flow's parameters, its completion).
    if (auto pending = std::exchange(pending_, nullptr)) pending->take();
}

uint16_t fixedPort(NetworkPort which) {
    std::lock_guard<std::mutex> lock(state().mutex);
    auto it = state().ports.find(which);
    return it == state().ports.end() ? uint16_t(which) : it->second;
}

void setFixedPortOverride(NetworkPort which, uint16_t port) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().ports[which] = port;
}

void clearFixedPortOverrides() {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().ports.clear();
}

template <>
void resetForTesting<NetworkConfiguration>() {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().interfacesSource = nullptr;
    state().names.clear();
    state().wifi.reset();
    state().wifiReadable.reset();
    state().ports.clear();
}

}  // namespace telvo
