#pragma once

// The library's own additions to the public NetworkConfiguration.

#include <cstdint>
#include <functional>
#include <vector>

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

// Back to the defaults: live interfaces, no name mapping, no Wi-Fi facts (not readable), the
// fixed ports.
template <>
void resetForTesting<NetworkConfiguration>();

}  // namespace telvo
