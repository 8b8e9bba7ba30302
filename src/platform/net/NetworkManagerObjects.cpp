#include "platform/net/NetworkManagerObjects.h"

#include <vector>

namespace telvo {

namespace {

constexpr const char* kManager = "org.freedesktop.NetworkManager";
constexpr const char* kActive = "org.freedesktop.NetworkManager.Connection.Active";
constexpr const char* kDeviceInterface = "org.freedesktop.NetworkManager.Device";
constexpr const char* kWireless = "org.freedesktop.NetworkManager.Device.Wireless";
constexpr const char* kAccessPoint = "org.freedesktop.NetworkManager.AccessPoint";

// NMDeviceType.
constexpr uint32_t kDeviceWifi = 2;
constexpr uint32_t kDeviceModem = 8;

// NM80211ApFlags and NM80211ApSecurityFlags.
constexpr uint32_t kPrivacy = 0x1;
constexpr uint32_t kKeyPsk = 0x100;
constexpr uint32_t kKey8021X = 0x200;
constexpr uint32_t kKeySae = 0x400;
constexpr uint32_t kKeyOwe = 0x800;
constexpr uint32_t kKeyOweTransition = 0x1000;
constexpr uint32_t kKeySuiteB192 = 0x2000;

}  // namespace

WifiFacts NetworkManagerObjects::facts() const {
    WifiFacts out;
    // The primary connection first, then every active one.
    std::vector<std::string> connections;
    auto primary = property(kRootPath, kManager, "PrimaryConnection").asObjectPath();
    if (primary && *primary != "/") connections.push_back(*primary);
    for (const auto& path : property(kRootPath, kManager, "ActiveConnections")
                                .asObjectPathArray()
                                .value_or(std::vector<std::string>{}))
        if (path != "/" && (connections.empty() || path != connections.front()))
            connections.push_back(path);

    if (primary && *primary != "/") {
        const auto type = property(*primary, kActive, "Type").asString().value_or("");
        out.primaryIsModem = type == "gsm" || type == "cdma";
        for (const auto& device : property(*primary, kActive, "Devices")
                                      .asObjectPathArray()
                                      .value_or(std::vector<std::string>{}))
            if (property(device, kDeviceInterface, "DeviceType").asUInt32() == kDeviceModem)
                out.primaryIsModem = true;
    }

    for (const auto& connection : connections) {
        for (const auto& device : property(connection, kActive, "Devices")
                                      .asObjectPathArray()
                                      .value_or(std::vector<std::string>{})) {
            if (property(device, kDeviceInterface, "DeviceType").asUInt32() != kDeviceWifi)
                continue;
            auto name = property(device, kDeviceInterface, "Interface").asString();
            if (name && validInterfaceName(*name)) out.wifiInterface = *name;
            // The device's access point; without one (older versions, models) the one the
            // connection was made to.
            std::string ap =
                property(device, kWireless, "ActiveAccessPoint").asObjectPath().value_or("/");
            if (!has(ap, kAccessPoint))
                ap = property(connection, kActive, "SpecificObject").asObjectPath().value_or("/");
            if (!has(ap, kAccessPoint)) return out;

            WifiInfo wifi;
            if (auto ssid = property(ap, kAccessPoint, "Ssid").asBytes())
                wifi.ssid = ssidFromBytes(*ssid);
            if (auto bssid = property(ap, kAccessPoint, "HwAddress").asString())
                wifi.bssid = normalizedBssid(*bssid);
            auto flags = property(ap, kAccessPoint, "Flags").asUInt32();
            auto wpa = property(ap, kAccessPoint, "WpaFlags").asUInt32();
            auto rsn = property(ap, kAccessPoint, "RsnFlags").asUInt32();
            if (flags || wpa || rsn)
                wifi.securityType =
                    securityType(flags.value_or(0), wpa.value_or(0), rsn.value_or(0));
            out.frequencyMHz = property(ap, kAccessPoint, "Frequency").asUInt32();
            out.wifi = std::move(wifi);
            return out;
        }
    }
    return out;
}

int64_t NetworkManagerObjects::securityType(uint32_t flags, uint32_t wpaFlags, uint32_t rsnFlags) {
    const uint32_t keys = wpaFlags | rsnFlags;
    if (keys & (kKey8021X | kKeySuiteB192)) return 3;
    if (keys & (kKeyPsk | kKeySae)) return 2;
    // Opportunistic encryption asks for no password: an open network to its users.
    if (keys & (kKeyOwe | kKeyOweTransition)) return 0;
    if (keys == 0) return (flags & kPrivacy) ? 1 : 0;
    return 4;
}

}  // namespace telvo
