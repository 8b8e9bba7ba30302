#include "http/QKAFNetworkReachabilityManager.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/net/NetworkReachability.h"

namespace telvo {

namespace {
std::mutex gSharedMutex;
std::shared_ptr<QKAFNetworkReachabilityManager> gShared;
}  // namespace

std::string QKAFStringFromNetworkReachabilityStatus(int64_t status) {
    switch (status) {
        case QKAFNetworkReachabilityStatusNotReachable:
            return "Not Reachable";
        case QKAFNetworkReachabilityStatusReachableViaWWAN:
            return "Reachable via WWAN";
        case QKAFNetworkReachabilityStatusReachableViaWiFi:
            return "Reachable via WiFi";
        default:
            return "Unknown";
    }
}

std::shared_ptr<QKAFNetworkReachabilityManager> QKAFNetworkReachabilityManager::sharedManager() {
    std::lock_guard<std::mutex> lock(gSharedMutex);
    if (!gShared) gShared = manager();
    return gShared;
}

void QKAFNetworkReachabilityManager::resetSharedManagerForTesting() {
    std::shared_ptr<QKAFNetworkReachabilityManager> old;
    std::lock_guard<std::mutex> lock(gSharedMutex);
    old = std::move(gShared);
}

std::shared_ptr<QKAFNetworkReachabilityManager> QKAFNetworkReachabilityManager::manager() {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    return managerForAddress(reinterpret_cast<const sockaddr*>(&address));
}

std::shared_ptr<QKAFNetworkReachabilityManager> QKAFNetworkReachabilityManager::managerForDomain(
    const std::string& domain) {
    return initWithReachability(domain);
}

std::shared_ptr<QKAFNetworkReachabilityManager> QKAFNetworkReachabilityManager::managerForAddress(
    const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address && address->sa_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
        if (IN6_IS_ADDR_UNSPECIFIED(&in6->sin6_addr)) return initWithReachability({});
        inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
    } else if (address && address->sa_family == AF_INET) {
        const auto* in4 = reinterpret_cast<const sockaddr_in*>(address);
        if (in4->sin_addr.s_addr == INADDR_ANY) return initWithReachability({});
        inet_ntop(AF_INET, &in4->sin_addr, text, sizeof text);
    } else {
        return nullptr;
    }
    return initWithReachability(text);
}

std::shared_ptr<QKAFNetworkReachabilityManager>
QKAFNetworkReachabilityManager::initWithReachability(std::string target) {
    return std::make_shared<QKAFNetworkReachabilityManager>(std::move(target));
}

int64_t QKAFNetworkReachabilityManager::statusForFlags(uint32_t flags) {
    namespace F = ReachabilityFlags;
    bool reachable = flags & F::kReachable;
    bool needsConnection = flags & F::kConnectionRequired;
    bool canConnectAutomatically = flags & (F::kConnectionOnDemand | F::kConnectionOnTraffic);
    bool canConnectWithoutUser = canConnectAutomatically && !(flags & F::kInterventionRequired);
    bool isNetworkReachable = reachable && (!needsConnection || canConnectWithoutUser);
    if (!isNetworkReachable) return QKAFNetworkReachabilityStatusNotReachable;
    return (flags & F::kIsWWAN) ? QKAFNetworkReachabilityStatusReachableViaWWAN
                                : QKAFNetworkReachabilityStatusReachableViaWiFi;
}

bool QKAFNetworkReachabilityManager::isReachable() const {
    return isReachableViaWWAN() || isReachableViaWiFi();
}

void QKAFNetworkReachabilityManager::setReachabilityStatusChangeBlock(
    std::function<void(int64_t)> block) {
    std::lock_guard<std::mutex> lock(mutex_);
    block_ = std::move(block);
}

void QKAFNetworkReachabilityManager::postStatus(
    const std::weak_ptr<QKAFNetworkReachabilityManager>& weak, uint32_t flags) {
    int64_t status = statusForFlags(flags);
    DispatchQueue::main()->async([weak, status] {
        if (auto self = weak.lock()) {
            self->status_ = status;
            std::function<void(int64_t)> block;
            {
                std::lock_guard<std::mutex> lock(self->mutex_);
                block = self->block_;
            }
            if (block) block(status);
        }
        NotificationCenter::defaultCenter()->postNotificationName(
            QKAFNetworkingReachabilityDidChangeNotification, nullptr,
            Dictionary{{QKAFNetworkingReachabilityNotificationStatusItem, Value(status)}});
    });
}

void QKAFNetworkReachabilityManager::startMonitoring() {
    stopMonitoring();
    std::weak_ptr<QKAFNetworkReachabilityManager> weak = weak_from_this();
    std::string target = target_;
    uint64_t token = NetworkReachability::addChangeObserver([weak, target] {
        if (auto flags = NetworkReachability::currentFlags(target)) postStatus(weak, *flags);
    });
    {
        std::lock_guard<std::mutex> lock(mutex_);
        observer_ = token;
    }
    DispatchQueue::global(DispatchQoS::Background)->async([weak, target] {
        if (auto flags = NetworkReachability::currentFlags(target)) postStatus(weak, *flags);
    });
}

void QKAFNetworkReachabilityManager::stopMonitoring() {
    std::optional<uint64_t> token;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        token = std::exchange(observer_, std::nullopt);
    }
    if (token) NetworkReachability::removeChangeObserver(*token);
}

QKAFNetworkReachabilityManager::~QKAFNetworkReachabilityManager() {
    stopMonitoring();
}

}  // namespace telvo
