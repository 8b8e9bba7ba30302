#include "platform/NetworkReachability.h"

#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <vector>

#include "platform/DispatchQueue.h"
#include "platform/Singleton.h"

namespace telvo {

namespace {

struct State {
    std::mutex mutex;
    NetworkReachability::FlagsSource source;
    std::map<uint64_t, std::shared_ptr<std::function<void()>>> observers;
    uint64_t nextToken = 1;
};

State& state() {
    return processWide([] { return new State(); });
}

bool hasDefaultRoute4() {
    std::ifstream in("/proc/net/route");
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string iface, destination, gateway;
        unsigned flags = 0;
        if (!(fields >> iface >> destination >> gateway >> std::hex >> flags)) continue;
        if (destination == "00000000" && (flags & 0x1)) return true;  // RTF_UP
    }
    return false;
}

bool hasDefaultRoute6() {
    std::ifstream in("/proc/net/ipv6_route");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string destination, prefix, source, sourcePrefix, nextHop, metric, refs, use, flags,
            iface;
        if (!(fields >> destination >> prefix >> source >> sourcePrefix >> nextHop >> metric >>
              refs >> use >> flags >> iface))
            continue;
        if (prefix == "00" && destination == std::string(32, '0') && iface != "lo") return true;
    }
    return false;
}

}  // namespace

std::optional<uint32_t> NetworkReachability::currentFlags(const std::string& host) {
    FlagsSource source;
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        source = state().source;
    }
    if (source) return source(host);
    return (hasDefaultRoute4() || hasDefaultRoute6()) ? ReachabilityFlags::kReachable : 0u;
}

void NetworkReachability::setFlagsSource(FlagsSource source) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().source = std::move(source);
}

void NetworkReachability::setFlags(std::optional<uint32_t> flags) {
    setFlagsSource([flags](const std::string&) { return flags; });
    notifyChanged();
}

uint64_t NetworkReachability::addChangeObserver(std::function<void()> observer) {
    std::lock_guard<std::mutex> lock(state().mutex);
    uint64_t token = state().nextToken++;
    state().observers[token] = std::make_shared<std::function<void()>>(std::move(observer));
    return token;
}

void NetworkReachability::removeChangeObserver(uint64_t token) {
    std::shared_ptr<std::function<void()>> removed;
    std::lock_guard<std::mutex> lock(state().mutex);
    auto it = state().observers.find(token);
    if (it == state().observers.end()) return;
    removed = std::move(it->second);
    state().observers.erase(it);
}

void NetworkReachability::notifyChanged() {
    std::vector<std::pair<uint64_t, std::shared_ptr<std::function<void()>>>> observers;
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        observers.assign(state().observers.begin(), state().observers.end());
    }
    for (auto& [token, observer] : observers) {
        DispatchQueue::main()->async([token = token, observer = observer] {
            bool stillThere;
            {
                std::lock_guard<std::mutex> lock(state().mutex);
                stillThere = state().observers.count(token) != 0;
            }
            if (stillThere) (*observer)();
        });
    }
}

void NetworkReachability::resetForTesting() {
    decltype(State::observers) dropped;
    std::lock_guard<std::mutex> lock(state().mutex);
    state().source = nullptr;
    dropped.swap(state().observers);
}

}  // namespace telvo
