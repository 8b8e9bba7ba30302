#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/net/RtnetlinkMonitor.h"
#include "platform/net/WifiServiceWatcher.h"
#include "telvosdk/NetworkConfiguration.h"

namespace telvo {

// The host's own network facts, for NetworkConfiguration and NetworkReachability when the host
// sets none: the Wi-Fi services on the system bus (NetworkManager, iwd, wpa_supplicant: the
// current Wi-Fi network and its interface; NetworkManager also a modem as the primary
// connection) and the kernel (wireless interfaces in /sys/class/net, route tables kept current
// by rtnetlink).
//
// Started by TelvoSDKInitialize, else on first use: the watchers, each with its own connection
// to the system bus on one queue of their own, and the rtnetlink monitor. Nothing here waits
// for the bus: each question is answered from what the services have said so far. Changes
// reach NetworkReachability's observers (once per burst of kernel changes, and when the
// primary connection becomes or stops being a modem). Thread-safe.
class SystemNetwork : public std::enable_shared_from_this<SystemNetwork> {
  public:
    // The running instance, started now if need be; nullptr while turned off.
    static std::shared_ptr<SystemNetwork> shared();
    // On by default. Off, nothing is read from the host (test programs that set every fact).
    static void setEnabled(bool enabled);
    // Drops the running instance; the next use starts afresh (a test that changed the bus or
    // its network namespace).
    static void restart();
    ~SystemNetwork();

    // True while one of the services answers (its facts stand, even without a Wi-Fi network).
    bool wifiReadable() const;
    // The Wi-Fi facts, chosen per interface in the order NetworkManager, iwd, wpa_supplicant:
    // an interface's facts come from the first answering service that has it, and the
    // connected interface wins over one that is not; the modem fact is NetworkManager's.
    WifiFacts wifiFacts() const;
    // Whether the Wi-Fi facts stand: no service that could still change them is waiting for its
    // first answer (each service before the first one with a Wi-Fi network has answered: its
    // facts, its absence, a refusal; a time-out is no answer). False only in the first moments
    // after the start, or while a service on the bus does not answer.
    bool wifiSettled() const;
    // Whether a wait for the services' first answers is over: the facts stand, or `bound`
    // seconds have passed since the instance started asking them (then the facts are what the
    // services have said so far, and stay so until they say more).
    bool wifiWaitOver(double bound) const;
    // Runs done once on queue, never inline: once wifiSettled() holds, or `bound` seconds after
    // the instance started asking (at once when they have passed), or when the instance goes.
    // The bound counts from the start, not from the call: one wait for the whole process.
    // Nothing waits meanwhile.
    void whenWifiSettled(double bound, DispatchQueuePtr queue, std::function<void()> done);
    // Reachability flags for a host from the cached route tables, kIsWWAN added when the primary
    // connection is a modem; nullopt without the rtnetlink monitor.
    std::optional<uint32_t> reachabilityFlags(const std::string& host);
    // The Wi-Fi interface: the services', else the first up interface of the list that the
    // kernel marks wireless.
    std::optional<std::string> wifiInterface(const std::vector<NetworkInterface>& interfaces);
    // The watchers, in the order above (tests).
    const std::vector<std::shared_ptr<WifiServiceWatcher>>& watchers() const { return watchers_; }

    SystemNetwork(const SystemNetwork&) = delete;
    SystemNetwork& operator=(const SystemNetwork&) = delete;

  private:
    struct Waiter;
    SystemNetwork();
    // A watcher's status or facts changed (on the watchers' queue).
    void wifiChanged();
    void timedOut(const std::shared_ptr<Waiter>& waiter);

    // Set before the instance is handed out, never changed after.
    const double startedAt_;  // Clock::now() when the services were first asked
    std::vector<std::shared_ptr<WifiServiceWatcher>> watchers_;
    std::shared_ptr<RtnetlinkMonitor> monitor_;

    std::mutex waitMutex_;  // guards the fields below
    bool watchersSet_ = false;
    std::vector<std::shared_ptr<Waiter>> waiters_;
};

}  // namespace telvo
