#include "platform/net/NetworkManagerObjects.h"

#include <cctype>
#include <vector>

namespace telvo {

namespace {

constexpr const char* kManager = "org.freedesktop.NetworkManager";
constexpr const char* kActive = "org.freedesktop.NetworkManager.Connection.Active";
constexpr const char* kDevice = "org.freedesktop.NetworkManager.Device";
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

constexpr size_t kMaxSsid = 32;
constexpr size_t kMaxInterfaceName = 15;  // IFNAMSIZ - 1

bool validInterfaceName(const std::string& name) {
    if (name.empty() || name.size() > kMaxInterfaceName) return false;
    for (char c : name)
        if (c == '/' || std::isspace(static_cast<unsigned char>(c)) || c == '\0') return false;
    return true;
}

}  // namespace

bool NetworkManagerFacts::operator==(const NetworkManagerFacts& other) const {
    auto sameWifi = [](const std::optional<WifiInfo>& a, const std::optional<WifiInfo>& b) {
        if (a.has_value() != b.has_value()) return false;
        return !a ||
               (a->ssid == b->ssid && a->bssid == b->bssid && a->securityType == b->securityType);
    };
    return wifiInterface == other.wifiInterface && sameWifi(wifi, other.wifi) &&
           frequencyMHz == other.frequencyMHz && primaryIsModem == other.primaryIsModem;
}

void NetworkManagerObjects::replaceAll(const DBusValue& objects) {
    objects_.clear();
    if (!objects.isDictionary()) return;
    for (const auto& entry : objects.unwrapped().items())
        if (auto path = entry.at(0).asObjectPath()) setInterfaces(*path, entry.at(1));
}

void NetworkManagerObjects::interfacesAdded(const DBusValue& path, const DBusValue& interfaces) {
    if (auto p = path.asObjectPath()) setInterfaces(*p, interfaces);
}

void NetworkManagerObjects::interfacesRemoved(const DBusValue& path, const DBusValue& names) {
    auto p = path.asObjectPath();
    auto list = names.asStringArray();
    if (!p || !list) return;
    auto it = objects_.find(*p);
    if (it == objects_.end()) return;
    for (const auto& name : *list) it->second.erase(name);
    if (it->second.empty()) objects_.erase(it);
}

void NetworkManagerObjects::propertiesChanged(const std::string& path, const DBusValue& interface,
                                              const DBusValue& changed) {
    auto name = interface.asString();
    if (!name) return;
    auto object = objects_.find(path);
    if (object == objects_.end()) return;
    auto properties = object->second.find(*name);
    if (properties == object->second.end()) return;
    setProperties(properties->second, changed);
}

void NetworkManagerObjects::setInterfaces(const std::string& path, const DBusValue& interfaces) {
    if (!interfaces.isDictionary()) return;
    if (!objects_.count(path) && objects_.size() >= kMaxObjects) return;
    auto& object = objects_[path];
    for (const auto& entry : interfaces.unwrapped().items()) {
        auto name = entry.at(0).asString();
        if (!name || (!object.count(*name) && object.size() >= kMaxInterfaces)) continue;
        auto& properties = object[*name];
        properties.clear();
        setProperties(properties, entry.at(1));
    }
    if (object.empty()) objects_.erase(path);
}

void NetworkManagerObjects::setProperties(Properties& into, const DBusValue& changed) {
    if (!changed.isDictionary()) return;
    for (const auto& entry : changed.unwrapped().items()) {
        auto name = entry.at(0).asString();
        if (!name || (!into.count(*name) && into.size() >= kMaxProperties)) continue;
        into[*name] = entry.at(1).unwrapped();
    }
}

const DBusValue& NetworkManagerObjects::property(const std::string& path, const char* interface,
                                                 const char* name) const {
    auto object = objects_.find(path);
    if (object == objects_.end()) return DBusValue::absent();
    auto properties = object->second.find(interface);
    if (properties == object->second.end()) return DBusValue::absent();
    auto value = properties->second.find(name);
    return value == properties->second.end() ? DBusValue::absent() : value->second;
}

NetworkManagerFacts NetworkManagerObjects::facts() const {
    NetworkManagerFacts out;
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
            if (property(device, kDevice, "DeviceType").asUInt32() == kDeviceModem)
                out.primaryIsModem = true;
    }

    for (const auto& connection : connections) {
        for (const auto& device : property(connection, kActive, "Devices")
                                      .asObjectPathArray()
                                      .value_or(std::vector<std::string>{})) {
            if (property(device, kDevice, "DeviceType").asUInt32() != kDeviceWifi) continue;
            auto name = property(device, kDevice, "Interface").asString();
            if (name && validInterfaceName(*name)) out.wifiInterface = *name;
            // The device's access point; without one (older versions, models) the one the
            // connection was made to.
            std::string ap =
                property(device, kWireless, "ActiveAccessPoint").asObjectPath().value_or("/");
            if (!objects_.count(ap) || !objects_.at(ap).count(kAccessPoint))
                ap = property(connection, kActive, "SpecificObject").asObjectPath().value_or("/");
            if (!objects_.count(ap) || !objects_.at(ap).count(kAccessPoint)) return out;

            WifiInfo wifi;
            if (auto ssid = property(ap, kAccessPoint, "Ssid").asBytes();
                ssid && !ssid->empty() && ssid->size() <= kMaxSsid)
                wifi.ssid = std::string(ssid->begin(), ssid->end());
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

std::optional<std::string> NetworkManagerObjects::normalizedBssid(const std::string& text) {
    std::string out;
    size_t part = 0, digits = 0;
    for (char c : text) {
        if (c == ':') {
            if (digits == 0 || ++part > 5) return std::nullopt;
            if (digits == 1) out.insert(out.size() - 1, "0");
            out += ':';
            digits = 0;
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(c)) || ++digits > 2) return std::nullopt;
        out += char(std::tolower(static_cast<unsigned char>(c)));
    }
    if (part != 5 || digits == 0) return std::nullopt;
    if (digits == 1) out.insert(out.size() - 1, "0");
    return out;
}

}  // namespace telvo
