#pragma once

#include <cstdint>
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

// The network configuration of the host: interfaces and Wi-Fi facts. By default the
// library reads them from the system: the current Wi-Fi network and its interface from
// NetworkManager, iwd or wpa_supplicant over D-Bus (without them the Wi-Fi interface from the
// kernel, and the network not readable), the other interfaces from the kernel. What the host
// sets here overrides the system's answer. Everything is thread-safe and nothing here waits for
// the bus: the answers are what the services have said so far (TelvoSDKInitialize starts
// asking). The configuration flows that read the phone's network at their start (smart connect,
// the access point's bind) wait for the services' first answers when these are still on their
// way, without holding the main queue, until at most 5 seconds after TelvoSDKInitialize: one
// bound for the process, after which a flow decides at once from what the services have said.
class TELVO_EXPORT NetworkConfiguration {
  public:
    // The host's interface addresses, as the system lists them (getifaddrs).
    static std::vector<NetworkInterface> interfaces();

    // Maps a platform interface name ("en0" Wi-Fi, "en2" the other LAN) to a system one
    // ("wlan0"); an empty realName removes the mapping. Unmapped, "en0" is the Wi-Fi interface
    // and "en2" the first other up interface with an IPv4 address (unless an interface has that
    // very name); other names are used as they are.
    static void setInterfaceNameMapping(const std::string& platformName,
                                        const std::string& realName);
    static std::string realInterfaceName(const std::string& name);

    // The IPv4 broadcast address (dotted text) of the interface, by platform or system name.
    static std::optional<std::string> broadcastAddress(const std::string& interfaceName);

    // The current Wi-Fi network: the host's (nullopt: the system's again), else the services'
    // (the SSID as its bytes, the BSSID in lower case, the security type 0 open, 1 WEP,
    // 2 personal, 3 enterprise, 4 unknown); nullopt when none is known.
    static void setWifiInfo(std::optional<WifiInfo> info);
    static std::optional<WifiInfo> currentWifiInfo();
    // Whether the Wi-Fi facts may be read: the host's answer (nullopt: the system's again), else
    // true while one of the services answers (false when all are absent or refuse access).
    static void setWifiInfoReadable(std::optional<bool> readable);
    static bool isWifiInfoReadable();
};

}  // namespace telvo
