#include "platform/net/NetworkReachability.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <sstream>
#include <vector>

#include "platform/base/Singleton.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/net/SystemNetwork.h"

namespace telvo {

namespace {

struct ReachabilityState {
    std::mutex mutex;
    NetworkReachability::FlagsSource source;
    std::map<uint64_t, std::shared_ptr<std::function<void()>>> observers;
    uint64_t nextToken = 1;
};

ReachabilityState& reachability() {
    return processWide([] { return new ReachabilityState(); });
}

// One up route of the IPv4 table: destination and mask in network order, as the kernel writes
// them (hexadecimal of the 32-bit value in host order).
struct Route4 {
    uint32_t destination = 0;
    uint32_t mask = 0;
};

std::vector<Route4> routes4(const std::string& table) {
    std::vector<Route4> out;
    std::istringstream in(table);
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string iface;
        uint32_t destination = 0, gateway = 0, flags = 0, refs = 0, use = 0, metric = 0, mask = 0;
        if (!(fields >> iface >> std::hex >> destination >> gateway >> flags >> std::dec >> refs >>
              use >> metric >> std::hex >> mask))
            continue;
        if (flags & 0x1) out.push_back({destination, mask});  // RTF_UP
    }
    return out;
}

// The IPv6 table: destination (32 hex digits), prefix length (hex), ..., interface.
bool covers6(const std::string& table, const in6_addr* address) {
    std::istringstream in(table);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string destination, prefix, source, sourcePrefix, nextHop, metric, refs, use, flags,
            iface;
        if (!(fields >> destination >> prefix >> source >> sourcePrefix >> nextHop >> metric >>
              refs >> use >> flags >> iface) ||
            destination.size() != 32 || iface == "lo")
            continue;
        const unsigned bits = unsigned(std::stoul(prefix, nullptr, 16));
        if (!address) {
            if (bits == 0) return true;
            continue;
        }
        bool match = true;
        for (unsigned bit = 0; bit < bits && bit < 128 && match; ++bit) {
            const unsigned byte = bit / 8, shift = 7 - bit % 8;
            const unsigned routeByte =
                unsigned(std::stoul(destination.substr(byte * 2, 2), nullptr, 16));
            match = ((routeByte >> shift) & 1) == ((address->s6_addr[byte] >> shift) & 1);
        }
        if (match) return true;
    }
    return false;
}

}  // namespace

std::optional<uint32_t> NetworkReachability::currentFlags(const std::string& host) {
    FlagsSource source;
    {
        std::lock_guard<std::mutex> lock(reachability().mutex);
        source = reachability().source;
    }
    if (source) return source(host);
    if (auto system = SystemNetwork::shared())
        if (auto flags = system->reachabilityFlags(host)) return flags;
    const auto tables = RtnetlinkMonitor::readRouteTables();
    return flagsFromRouteTables(host, tables.ipv4, tables.ipv6);
}

uint32_t NetworkReachability::flagsFromRouteTables(const std::string& host,
                                                   const std::string& ipv4Routes,
                                                   const std::string& ipv6Routes) {
    in_addr v4{};
    in6_addr v6{};
    bool reachable;
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        const auto table = routes4(ipv4Routes);
        reachable = std::any_of(table.begin(), table.end(), [&](const Route4& r) {
            return (v4.s_addr & r.mask) == (r.destination & r.mask);
        });
    } else if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
        reachable = covers6(ipv6Routes, &v6);
    } else {
        const auto table = routes4(ipv4Routes);
        reachable =
            std::any_of(table.begin(), table.end(),
                        [](const Route4& r) { return r.destination == 0 && r.mask == 0; }) ||
            covers6(ipv6Routes, nullptr);
    }
    return reachable ? ReachabilityFlags::kReachable : 0u;
}

void NetworkReachability::setFlagsSource(FlagsSource source) {
    std::lock_guard<std::mutex> lock(reachability().mutex);
    reachability().source = std::move(source);
}

void NetworkReachability::setFlags(std::optional<uint32_t> flags) {
    setFlagsSource([flags](const std::string&) { return flags; });
    notifyChanged();
}

uint64_t NetworkReachability::addChangeObserver(std::function<void()> observer) {
    // The kernel's and NetworkManager's changes reach the observers once the sources run.
    SystemNetwork::shared();
    std::lock_guard<std::mutex> lock(reachability().mutex);
    uint64_t token = reachability().nextToken++;
    reachability().observers[token] = std::make_shared<std::function<void()>>(std::move(observer));
    return token;
}

void NetworkReachability::removeChangeObserver(uint64_t token) {
    std::shared_ptr<std::function<void()>> removed;
    std::lock_guard<std::mutex> lock(reachability().mutex);
    auto it = reachability().observers.find(token);
    if (it == reachability().observers.end()) return;
    removed = std::move(it->second);
    reachability().observers.erase(it);
}

void NetworkReachability::notifyChanged() {
    std::vector<std::pair<uint64_t, std::shared_ptr<std::function<void()>>>> observers;
    {
        std::lock_guard<std::mutex> lock(reachability().mutex);
        observers.assign(reachability().observers.begin(), reachability().observers.end());
    }
    for (auto& [token, observer] : observers) {
        DispatchQueue::main()->async([token = token, observer = observer] {
            bool stillThere;
            {
                std::lock_guard<std::mutex> lock(reachability().mutex);
                stillThere = reachability().observers.count(token) != 0;
            }
            if (stillThere) (*observer)();
        });
    }
}

void NetworkReachability::resetForTesting() {
    decltype(ReachabilityState::observers) dropped;
    std::lock_guard<std::mutex> lock(reachability().mutex);
    reachability().source = nullptr;
    dropped.swap(reachability().observers);
}

}  // namespace telvo
