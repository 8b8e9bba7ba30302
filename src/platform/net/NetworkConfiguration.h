#pragma once

// The library's own additions to the public NetworkConfiguration.

#include <cstdint>
#include <functional>
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

// How long a flow that reads the Wi-Fi facts at its start waits for the system's Wi-Fi services
// to give their first answers (they are asked from TelvoSDKInitialize on and usually answer
// within a fraction of a second).
constexpr double kWifiFactsFirstAnswerSeconds = 5;

// Runs `then` once the Wi-Fi facts (currentWifiInfo, isWifiInfoReadable) stand: before
// returning when they do now (the host's own facts, the system's read or not read at all);
// otherwise later on `queue`, once the services have answered or after
// kWifiFactsFirstAnswerSeconds, whichever comes first. Never blocks; `then` runs exactly once.
void whenWifiFactsStand(const DispatchQueuePtr& queue, std::function<void()> then);

// Back to the defaults: live interfaces, no name mapping, no Wi-Fi facts (not readable), the
// fixed ports.
template <>
void resetForTesting<NetworkConfiguration>();

}  // namespace telvo
