#include "platform/net/WifiDaemonObjects.h"

#include <algorithm>

namespace telvo {

namespace {

constexpr const char* kStation = "net.connman.iwd.Station";
constexpr const char* kIwdDevice = "net.connman.iwd.Device";
constexpr const char* kNetwork = "net.connman.iwd.Network";
constexpr const char* kBasicServiceSet = "net.connman.iwd.BasicServiceSet";

std::vector<std::string> keyManagements(const DBusValue& dictionary) {
    return dictionary.at("KeyMgmt").asStringArray().value_or(std::vector<std::string>{});
}

}  // namespace

int64_t IwdObjects::securityType(const std::string& type) {
    if (type == "open") return 0;
    if (type == "wep") return 1;
    if (type == "psk") return 2;
    if (type == "8021x") return 3;
    return 4;
}

WifiFacts IwdObjects::facts() const {
    WifiFacts out;
    forEachObject([&](const std::string& station) {
        if (!has(station, kStation)) return true;
        auto name = property(station, kIwdDevice, "Name").asString();
        if (!name || !validInterfaceName(*name)) return true;
        if (!out.wifiInterface) out.wifiInterface = name;
        const auto state = property(station, kStation, "State").asString().value_or("");
        const auto network =
            property(station, kStation, "ConnectedNetwork").asObjectPath().value_or("/");
        // Roaming is a move between two access points of the network it stays joined to.
        if ((state != "connected" && state != "roaming") || !has(network, kNetwork)) return true;
        WifiInfo wifi;
        if (auto ssid = property(network, kNetwork, "Name").asString())
            wifi.ssid = ssidFromBytes(Bytes(ssid->begin(), ssid->end()));
        if (auto type = property(network, kNetwork, "Type").asString())
            wifi.securityType = securityType(*type);
        auto bss = property(station, kStation, "ConnectedAccessPoint").asObjectPath();
        if (!bss) {
            auto set = property(network, kNetwork, "ExtendedServiceSet").asObjectPathArray();
            if (set && set->size() == 1) bss = set->front();
        }
        if (bss)
            if (auto address = property(*bss, kBasicServiceSet, "Address").asString())
                wifi.bssid = normalizedBssid(*address);
        out.wifiInterface = name;
        out.wifi = std::move(wifi);
        return false;
    });
    return out;
}

int64_t WpaSupplicantObjects::securityType(bool privacy,
                                           const std::vector<std::string>& keyManagements) {
    bool personal = false, enterprise = false, opportunistic = false, other = false;
    for (const auto& key : keyManagements) {
        if (key.find("eap") != std::string::npos || key.find("fils") != std::string::npos)
            enterprise = true;
        else if (key.find("psk") != std::string::npos || key.find("sae") != std::string::npos)
            personal = true;
        else if (key == "owe")
            opportunistic = true;
        else if (key != "none" && key != "wpa-none")
            other = true;
    }
    if (enterprise) return 3;
    if (personal) return 2;
    // Opportunistic encryption asks for no password: an open network to its users.
    if (opportunistic) return 0;
    if (other) return 4;
    return privacy ? 1 : 0;
}

WifiFacts WpaSupplicantObjects::facts() const {
    WifiFacts out;
    forEachObject([&](const std::string& path) {
        if (!has(path, kInterface)) return true;
        auto name = property(path, kInterface, "Ifname").asString();
        if (!name || !validInterfaceName(*name)) return true;
        if (!out.wifiInterface) out.wifiInterface = name;
        const auto bss = property(path, kInterface, "CurrentBSS").asObjectPath().value_or("/");
        if (property(path, kInterface, "State").asString() != "completed" || !has(bss, kBss))
            return true;
        WifiInfo wifi;
        if (auto ssid = property(bss, kBss, "SSID").asBytes()) wifi.ssid = ssidFromBytes(*ssid);
        if (auto bssid = property(bss, kBss, "BSSID").asBytes())
            wifi.bssid = bssidFromBytes(*bssid);
        auto privacy = property(bss, kBss, "Privacy").asBool();
        const auto& wpa = property(bss, kBss, "WPA");
        const auto& rsn = property(bss, kBss, "RSN");
        if (privacy || wpa.isDictionary() || rsn.isDictionary()) {
            auto keys = keyManagements(wpa);
            auto more = keyManagements(rsn);
            keys.insert(keys.end(), more.begin(), more.end());
            wifi.securityType = securityType(privacy.value_or(false), keys);
        }
        if (auto frequency = property(bss, kBss, "Frequency").asUInt16())
            out.frequencyMHz = *frequency;
        out.wifiInterface = name;
        out.wifi = std::move(wifi);
        return false;
    });
    return out;
}

bool WpaSupplicantObjects::currentBssMissing(const std::string& interfacePath) const {
    auto bss = property(interfacePath, kInterface, "CurrentBSS").asObjectPath();
    return bss && *bss != "/" && !has(*bss, kBss);
}

WifiServiceObjects::Change WpaSupplicantObjects::apply(const DBusSignal& signal) {
    const auto& v = signal.values;
    auto at = [&](size_t i) -> const DBusValue& {
        return i < v.size() ? v[i] : DBusValue::absent();
    };
    if (signal.interface == kRootInterface && signal.member == "InterfaceAdded") {
        auto path = at(0).asObjectPath();
        if (!path) return Change::None;
        setInterface(*path, kInterface, at(1));
        return currentBssMissing(*path) ? Change::Reload : Change::Kept;
    }
    if (signal.interface == kRootInterface && signal.member == "InterfaceRemoved") {
        auto path = at(0).asObjectPath();
        if (!path) return Change::None;
        removeSubtree(*path);
        return Change::Kept;
    }
    if (signal.interface == kInterface && signal.member == "BSSAdded") {
        auto path = at(0).asObjectPath();
        if (!path || !has(signal.path, kInterface)) return Change::None;
        setInterface(*path, kBss, at(1));
        return Change::Kept;
    }
    if (signal.interface == kInterface && signal.member == "BSSRemoved") {
        auto path = at(0).asObjectPath();
        if (!path) return Change::None;
        removeObject(*path);
        return Change::Kept;
    }
    std::string interface;
    const DBusValue* changed = nullptr;
    if (signal.interface == kDBusPropertiesInterface && signal.member == "PropertiesChanged") {
        interface = at(0).asString().value_or("");
        changed = &at(1);
    } else if ((signal.interface == kInterface || signal.interface == kBss) &&
               signal.member == "PropertiesChanged") {
        interface = signal.interface;
        changed = &at(0);
    }
    if (!changed || (interface != kInterface && interface != kBss)) return Change::None;
    if (!has(signal.path, interface.c_str())) {
        // An interface added before we listened: read everything again.
        return interface == kInterface ? Change::Reload : Change::None;
    }
    updateInterface(signal.path, interface, *changed);
    if (interface == kInterface && currentBssMissing(signal.path)) return Change::Reload;
    return Change::Kept;
}

}  // namespace telvo
