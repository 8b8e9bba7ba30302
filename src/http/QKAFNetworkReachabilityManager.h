#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace telvo {

enum QKAFNetworkReachabilityStatus : int64_t {
    QKAFNetworkReachabilityStatusUnknown = -1,
    QKAFNetworkReachabilityStatusNotReachable = 0,
    QKAFNetworkReachabilityStatusReachableViaWWAN = 1,
    QKAFNetworkReachabilityStatusReachableViaWiFi = 2,
};

inline constexpr const char* QKAFNetworkingReachabilityDidChangeNotification =
    "QKcom.alamofire.networking.reachability.change";
inline constexpr const char* QKAFNetworkingReachabilityNotificationStatusItem =
    "QKAFNetworkingReachabilityNotificationStatusItem";

// "Not Reachable", "Reachable via WWAN", "Reachable via WiFi", or "Unknown".
std::string QKAFStringFromNetworkReachabilityStatus(int64_t status);

// Watches whether the network can be reached, over the platform's reachability service.
// While monitoring, every status (one at each start, then one per change the platform
// reports) is stored, handed to the status block and announced with
// QKAFNetworkingReachabilityDidChangeNotification (no object; the status under the status
// item), in that order, asynchronously on the main queue. Thread-safe.
class QKAFNetworkReachabilityManager
    : public std::enable_shared_from_this<QKAFNetworkReachabilityManager> {
  public:
    // The process-wide monitor of the default route.
    static std::shared_ptr<QKAFNetworkReachabilityManager> sharedManager();
    // A monitor of the default route (the all-zero IPv6 address).
    static std::shared_ptr<QKAFNetworkReachabilityManager> manager();
    static std::shared_ptr<QKAFNetworkReachabilityManager> managerForDomain(
        const std::string& domain);
    static std::shared_ptr<QKAFNetworkReachabilityManager> managerForAddress(
        const sockaddr* address);
    // A monitor of a reachability target: a host name, or empty for the default route.
    static std::shared_ptr<QKAFNetworkReachabilityManager> initWithReachability(std::string target);

    // Status from the platform's reachability flags.
    static int64_t statusForFlags(uint32_t flags);

    int64_t networkReachabilityStatus() const { return status_.load(); }
    bool isReachable() const;
    bool isReachableViaWWAN() const {
        return status_.load() == QKAFNetworkReachabilityStatusReachableViaWWAN;
    }
    bool isReachableViaWiFi() const {
        return status_.load() == QKAFNetworkReachabilityStatusReachableViaWiFi;
    }
    std::string localizedNetworkReachabilityStatusString() const {
        return QKAFStringFromNetworkReachabilityStatus(status_.load());
    }
    // Called on the main queue with each status delivered.
    void setReachabilityStatusChangeBlock(std::function<void(int64_t status)> block);

    void startMonitoring();
    // A flag read already under way still delivers its status.
    void stopMonitoring();

    ~QKAFNetworkReachabilityManager();
    static void resetSharedManagerForTesting();

    explicit QKAFNetworkReachabilityManager(std::string target) : target_(std::move(target)) {}

  private:
    // Computes the status now and delivers it on the main queue.
    static void postStatus(const std::weak_ptr<QKAFNetworkReachabilityManager>& weak,
                           uint32_t flags);

    const std::string target_;
    std::atomic<int64_t> status_{QKAFNetworkReachabilityStatusUnknown};
    mutable std::mutex mutex_;
    std::function<void(int64_t)> block_;
    std::optional<uint64_t> observer_;
};

}  // namespace telvo
