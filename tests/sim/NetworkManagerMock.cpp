#include "sim/NetworkManagerMock.h"

namespace telvo::test {

namespace {

using V = DBusValue;
const std::string kRoot = "/org/freedesktop/NetworkManager";

}  // namespace

NetworkManagerMock::NetworkManagerMock(PrivateBus& bus)
    : mock_(bus, "networkmanager", kName, "/org/freedesktop") {}

std::string NetworkManagerMock::path(const std::string& method, std::string signature,
                                     std::vector<DBusValue> args) {
    if (!mock_.ok()) return {};
    auto reply = mock_.mock(method, std::move(signature), std::move(args));
    if (!reply.ok()) {
        error_ = method + ": " + reply.error.name + " " + reply.error.message;
        return {};
    }
    return reply.values.empty() ? std::string() : reply.values[0].asString().value_or("");
}

std::string NetworkManagerMock::addAccessPoint(const std::string& ssid, uint32_t security,
                                               const std::string& bssid, uint32_t frequency) {
    return path("AddAccessPoint", "ssssuuuyu",
                {V::ofString(device_), V::ofString("ap" + std::to_string(next_)), V::ofString(ssid),
                 V::ofString(bssid), V::ofUInt32(2), V::ofUInt32(frequency), V::ofUInt32(5400),
                 V::ofByte(82), V::ofUInt32(security)});
}

std::string NetworkManagerMock::joinWifi(const std::string& ssid, uint32_t security,
                                         const std::string& interface, const std::string& bssid,
                                         uint32_t frequency) {
    if (device_.empty())
        device_ = path("AddWiFiDevice", "ssi",
                       {V::ofString("wifi0"), V::ofString(interface), V::ofInt32(100)});
    const std::string n = std::to_string(next_);
    std::string ap = addAccessPoint(ssid, security, bssid, frequency);
    std::string connection =
        path("AddWiFiConnection", "ssss",
             {V::ofString(device_), V::ofString("con" + n), V::ofString(ssid), V::ofString("")});
    active_ = path("AddActiveConnection", "assssu",
                   {V::stringArray({device_}), V::ofString(connection), V::ofString(ap),
                    V::ofString("act" + n), V::ofUInt32(2)});
    ++next_;
    return ap;
}

std::string NetworkManagerMock::moveTo(const std::string& ssid, uint32_t security,
                                       const std::string& bssid, uint32_t frequency) {
    std::string ap = addAccessPoint(ssid, security, bssid, frequency);
    ++next_;
    setProperty(active_, "org.freedesktop.NetworkManager.Connection.Active", "SpecificObject",
                V::ofObjectPath(ap));
    return ap;
}

void NetworkManagerMock::setProperty(const std::string& path, const std::string& interface,
                                     const std::string& name, const DBusValue& value) {
    this->path("SetProperty", "sssv",
               {V::ofString(path), V::ofString(interface), V::ofString(name), V::variant(value)});
}

void NetworkManagerMock::leaveWifi() {
    path("RemoveActiveConnection", "ss", {V::ofString(device_), V::ofString(active_)});
}

DBusValue NetworkManagerMock::accessPointList(int accessPoints) {
    std::vector<std::pair<V, V>> objects;
    for (int i = 0; i < accessPoints; ++i) {
        const auto ap = V::propertyMap({{"Ssid", V::ofBytes(Bytes(20, 'n'))},
                                        {"HwAddress", V::ofString("00:23:F8:7E:12:BA")},
                                        {"Flags", V::ofUInt32(1)},
                                        {"WpaFlags", V::ofUInt32(0)},
                                        {"RsnFlags", V::ofUInt32(0x188)},
                                        {"Frequency", V::ofUInt32(2412)},
                                        {"Mode", V::ofUInt32(2)},
                                        {"MaxBitrate", V::ofUInt32(540000)},
                                        {"Strength", V::ofByte(70)},
                                        {"LastSeen", V::ofInt32(1000)},
                                        {"Bandwidth", V::ofUInt32(20)}});
        objects.emplace_back(
            V::ofObjectPath(kRoot + "/AccessPoint/" + std::to_string(i)),
            V::dictionary("s", "a{sv}", {{V::ofString(kName + std::string(".AccessPoint")), ap}}));
    }
    return V::dictionary("o", "a{sa{sv}}", std::move(objects));
}

std::string NetworkManagerMock::addModem() {
    const std::string modem = kRoot + "/Devices/wwan0", active = kRoot + "/ActiveConnection/modem";
    auto add = [&](const std::string& object, const char* interface, V properties) {
        path("AddObject", "ssa{sv}a(ssss)",
             {V::ofString(object), V::ofString(interface), std::move(properties),
              V::array("(ssss)", {})});
    };
    add(modem, "org.freedesktop.NetworkManager.Device",
        V::propertyMap({{"DeviceType", V::ofUInt32(8)}, {"Interface", V::ofString("wwan0")}}));
    add(active, "org.freedesktop.NetworkManager.Connection.Active",
        V::propertyMap({{"Devices", V::objectPathArray({modem})}, {"Type", V::ofString("gsm")}}));
    return active;
}

void NetworkManagerMock::setPrimary(const std::string& activeConnection) {
    if (hasPrimary_) {
        return setProperty(kRoot, kName, "PrimaryConnection", V::ofObjectPath(activeConnection));
    }
    auto reply = mock_.call(kRoot, "org.freedesktop.DBus.Mock", "AddProperty", "ssv",
                            {V::ofString(kName), V::ofString("PrimaryConnection"),
                             V::variant(V::ofObjectPath(activeConnection))});
    if (!reply.ok()) error_ = "AddProperty: " + reply.error.message;
    hasPrimary_ = true;
}

void NetworkManagerMock::addModemPrimary() {
    setPrimary(addModem());
}

}  // namespace telvo::test
