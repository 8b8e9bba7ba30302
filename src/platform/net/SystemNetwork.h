#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/net/NetworkManagerWatcher.h"
#include "platform/net/RtnetlinkMonitor.h"
#include "telvosdk/NetworkConfiguration.h"

namespace telvo {

// The host's own network facts, for NetworkConfiguration and NetworkReachability when the host
// sets none: NetworkManager on the system bus (the current Wi-Fi network, its interface, a
// modem as the primary connection) and the kernel (wireless interfaces in /sys/class/net, route
// tables kept current by rtnetlink). Without NetworkManager the Wi-Fi network cannot be read
// (nl80211 would need another library); its interface still comes from the kernel.
//
// Started on first use: the system bus connection, the watcher and the rtnetlink monitor, with
// a queue of their own. Changes reach NetworkReachability's observers (once per burst of kernel
// changes, and when the primary connection becomes or stops being a modem). Thread-safe.
class SystemNetwork {
  public:
    // The running instance, started now if need be; nullptr while turned off.
    static std::shared_ptr<SystemNetwork> shared();
    // On by default. Off, nothing is read from the host (test programs that set every fact).
    static void setEnabled(bool enabled);
    // Drops the running instance; the next use starts afresh (a test that changed the bus or
    // its network namespace).
    static void restart();
    ~SystemNetwork();

    // NetworkManager's status and facts; the first call waits (at most kFirstAnswerSeconds)
    // for its first answer.
    NetworkManagerWatcher::Status managerStatus();
    NetworkManagerFacts managerFacts();
    // Reachability flags for a host from the cached route tables, kIsWWAN added when the primary
    // connection is a modem; nullopt without the rtnetlink monitor.
    std::optional<uint32_t> reachabilityFlags(const std::string& host);
    // The Wi-Fi interface: NetworkManager's, else the first up interface of the list that the
    // kernel marks wireless.
    std::optional<std::string> wifiInterface(const std::vector<NetworkInterface>& interfaces);

    static constexpr double kFirstAnswerSeconds = 3;

    SystemNetwork(const SystemNetwork&) = delete;
    SystemNetwork& operator=(const SystemNetwork&) = delete;

  private:
    SystemNetwork();

    // Set before the instance is handed out, never changed after.
    std::shared_ptr<NetworkManagerWatcher> watcher_;
    std::shared_ptr<RtnetlinkMonitor> monitor_;
    std::atomic<bool> waited_{false};
};

}  // namespace telvo
