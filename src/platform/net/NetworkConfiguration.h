#pragma once

// The library's own additions to the public NetworkConfiguration.

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/TestHooks.h"
#include "telvosdk/NetworkConfiguration.h"

namespace telvo {

// The fixed ports of the system; tests move them to free ports.
enum class NetworkPort : uint16_t {
    ApplianceSession = 6444,  // TCP session to the appliance in access-point configuration
    DiscoveryProbe = 6445,    // LAN discovery probe destination
    DiscoveryReplyA = 15000,  // LAN discovery reply listener
    DiscoveryReplyB = 7083,   // LAN discovery reply listener
    SmartConnect = 1234,      // smart-connect datagrams
};

// The port to use for a fixed port; a test's override wins. Thread-safe.
uint16_t fixedPort(NetworkPort which);
void setFixedPortOverride(NetworkPort which, uint16_t port);
void clearFixedPortOverrides();

// Replaces the live interface list (getifaddrs) with a test's; an empty source gives the live
// list back. Thread-safe.
void setInterfacesSource(std::function<std::vector<NetworkInterface>()> source);

// How long the flows that read the Wi-Fi facts at their start wait for the system's Wi-Fi
// services to give their first answers (they usually answer within a fraction of a second),
// counted from start-up: TelvoSDKInitialize starts asking them (else their first use does). One
// bound for the process: a flow started after it decides at once from what they have said.
constexpr double kWifiFactsFirstAnswerSeconds = 5;

// Runs `then` once the Wi-Fi facts (currentWifiInfo, isWifiInfoReadable) stand: before
// returning when they do now (the host's own facts, the system's read or not read at all, or
// kWifiFactsFirstAnswerSeconds past since start-up); otherwise later on `queue`, once the
// services have answered or at that bound, whichever comes first. Never blocks; `then` runs
// exactly once.
void whenWifiFactsStand(const DispatchQueuePtr& queue, std::function<void()> then);

// One flow's wait for the Wi-Fi facts (whenWifiFactsStand) that the flow can call off: a new
// start() or cancel() ends a wait still pending, whose block then never runs and is released at
// once. Call start and cancel on the queue the blocks run on (the flows: the main queue);
// destroying the holder cancels.
class WifiFactsWait {
  public:
    WifiFactsWait() = default;
    ~WifiFactsWait() { cancel(); }
    WifiFactsWait(const WifiFactsWait&) = delete;
    WifiFactsWait& operator=(const WifiFactsWait&) = delete;

    void start(const DispatchQueuePtr& queue, std::function<void()> then);
    void cancel();

  private:
    struct Pending;
    std::shared_ptr<Pending> pending_;
};

// Back to the defaults: live interfaces, no name mapping, no Wi-Fi facts (not readable), the
// fixed ports.
template <>
void resetForTesting<NetworkConfiguration>();

}  // namespace telvo
