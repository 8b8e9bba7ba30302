#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "telvosdk/Export.h"

namespace telvo {

// One address of a network interface (one getifaddrs entry).
struct TELVO_EXPORT NetworkInterface {
    std::string name;                      // the system's name ("wlan0", "lo")
    int family = 0;                        // AF_INET or AF_INET6
    std::string address;                   // numeric text
    std::optional<std::string> broadcast;  // IPv4 broadcast address, when the interface has one
    bool up = false;
    bool loopback = false;
};

// Wi-Fi facts the platform would give: the current network and whether they may be read.
struct TELVO_EXPORT WifiInfo {
    std::optional<std::string> ssid;
    std::optional<std::string> bssid;     // "aa:bb:cc:dd:ee:ff"
    std::optional<int64_t> securityType;  // the platform's security type number, if known
};

// The fixed ports of the system, overridable for tests.
enum class NetworkPort : uint16_t {
    ApplianceSession = 6444,  // TCP session to the appliance in access-point configuration
    DiscoveryProbe = 6445,    // LAN discovery probe destination
    DiscoveryReplyA = 15000,  // LAN discovery reply listener
    DiscoveryReplyB = 7083,   // LAN discovery reply listener
    SmartConnect = 1234,      // smart-connect datagrams
};

// The network configuration of the host: interfaces, Wi-Fi facts, fixed ports. The host
// (or a test) sets what Linux cannot tell; everything is thread-safe.
class TELVO_EXPORT NetworkConfiguration {
  public:
    // Interfaces: the live list from getifaddrs unless a source is installed.
    static std::vector<NetworkInterface> interfaces();
    static void setInterfacesSource(std::function<std::vector<NetworkInterface>()> source);

    // Maps a platform interface name ("en0" Wi-Fi, "en2" the other LAN) to a system one
    // ("wlan0"); an empty realName removes the mapping. Unmapped names are used as they are.
    static void setInterfaceNameMapping(const std::string& platformName,
                                        const std::string& realName);
    static std::string realInterfaceName(const std::string& name);

    // The IPv4 broadcast address (dotted text) of the interface, by platform or system name.
    static std::optional<std::string> broadcastAddress(const std::string& interfaceName);

    // Wi-Fi facts, set by the host. Nothing is known until set.
    static void setWifiInfo(std::optional<WifiInfo> info);
    static std::optional<WifiInfo> currentWifiInfo();
    // Whether the app may read the Wi-Fi facts (location permission); false until set.
    static void setWifiInfoReadable(bool readable);
    static bool isWifiInfoReadable();

    // The port to use for a fixed port; a test override wins.
    static uint16_t port(NetworkPort which);
    static void setPortOverride(NetworkPort which, uint16_t port);
    static void clearPortOverrides();
};

}  // namespace telvo
