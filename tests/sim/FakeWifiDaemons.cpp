#include "sim/FakeWifiDaemons.h"

#include <atomic>

#include "platform/dispatch/MainLoop.h"

namespace telvo::sim {

namespace {

using V = DBusValue;

constexpr const char* kIwdDevice = "net.connman.iwd.Device";
constexpr const char* kIwdStation = "net.connman.iwd.Station";
constexpr const char* kIwdNetwork = "net.connman.iwd.Network";
constexpr const char* kIwdBss = "net.connman.iwd.BasicServiceSet";

constexpr const char* kWpaRoot = "fi.w1.wpa_supplicant1";
constexpr const char* kWpaRootPath = "/fi/w1/wpa_supplicant1";
constexpr const char* kWpaInterface = "fi.w1.wpa_supplicant1.Interface";
constexpr const char* kWpaBss = "fi.w1.wpa_supplicant1.BSS";

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes macBytes(const std::string& text) {
    Bytes out;
    for (size_t i = 0; i + 2 <= text.size() && out.size() < 6; i += 3)
        out.push_back(uint8_t(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
}

const char* iwdType(FakeAccessPoint::Security security) {
    switch (security) {
        case FakeAccessPoint::Security::Open:
            return "open";
        case FakeAccessPoint::Security::Wep:
            return "wep";
        case FakeAccessPoint::Security::Personal:
            return "psk";
        case FakeAccessPoint::Security::Enterprise:
            return "8021x";
    }
    return "open";
}

// wpa_supplicant's WPA or RSN dictionary for the access point's key management.
V keyDictionary(FakeAccessPoint::Security security, bool rsn) {
    std::vector<std::string> keys;
    if (security == FakeAccessPoint::Security::Personal)
        keys = rsn ? std::vector<std::string>{"wpa-psk", "sae"} : std::vector<std::string>{};
    if (security == FakeAccessPoint::Security::Enterprise)
        keys = rsn ? std::vector<std::string>{"wpa-eap"} : std::vector<std::string>{};
    return V::propertyMap(
        {{"KeyMgmt", V::stringArray(keys)},
         {"Pairwise", V::stringArray(keys.empty() ? std::vector<std::string>{}
                                                  : std::vector<std::string>{"ccmp"})},
         {"Group", V::ofString(keys.empty() ? "" : "ccmp")}});
}

}  // namespace

FakeWifiDaemon::FakeWifiDaemon(test::PrivateBus& bus, std::string busName, std::string interface)
    : bus_(bus), busName_(std::move(busName)), interface_(std::move(interface)) {}

void FakeWifiDaemon::own() {
    auto granted = std::make_shared<std::atomic<int>>(0);  // 1 granted, 2 refused
    connection_->requestName(
        busName_, [granted](const DBusError& error) { *granted = error.isSet() ? 2 : 1; });
    if (!MainLoop::runUntil([&] { return granted->load() != 0; }, 20) || *granted != 1)
        error_ = busName_ + " was not granted";
}

void FakeWifiDaemon::stop() {
    if (!connection_) return;
    for (auto& object : objects_) object->unexport();
    objects_.clear();
    manager_.reset();
    connection_.reset();
    // Gone once the bus says the name has no owner (its connection closes on the fake's queue).
    auto owned = [this] {
        return bus_
            .call(DBusCall("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "GetNameOwner", "s", {V::ofString(busName_)}, 5))
            .ok();
    };
    if (!MainLoop::runUntil([&] { return !owned(); }, 20)) error_ = busName_ + " did not leave";
}

std::shared_ptr<DBusExportedObject> FakeWifiDaemon::exportObject(
    const std::string& path, std::vector<DBusInterface> interfaces) {
    DBusError error;
    auto object = connection_->exportObject(path, std::move(interfaces), &error);
    if (!object) {
        error_ = path + ": " + error.message;
        return nullptr;
    }
    objects_.push_back(object);
    return object;
}

// iwd

std::unique_ptr<FakeIwd> FakeIwd::start(test::PrivateBus& bus, std::string interface) {
    std::unique_ptr<FakeIwd> fake(new FakeIwd(bus, kName, std::move(interface)));
    fake->serve();
    return fake;
}

void FakeIwd::serve() {
    connection_ = bus_.connect(DispatchQueue::createSerial("sim.iwd"));
    if (!connection_) {
        error_ = "no bus";
        return;
    }
    network_.reset();
    bsss_.clear();
    manager_ = connection_->addObjectManager("/");
    station_ =
        exportObject(kStationPath, {{kIwdDevice,
                                     {},
                                     {{"Name", "s", V::ofString(interface_)},
                                      {"Address", "s", V::ofString("02:00:00:aa:00:01")},
                                      {"Powered", "b", V::ofBool(true)},
                                      {"Mode", "s", V::ofString("station")},
                                      {"Adapter", "o", V::ofObjectPath("/net/connman/iwd/0")}}},
                                    {kIwdStation,
                                     {},
                                     {{"State", "s", V::ofString("disconnected")},
                                      {"ConnectedNetwork", "o", V::ofObjectPath("/")},
                                      {"ConnectedAccessPoint", "o", V::ofObjectPath("/")},
                                      {"Scanning", "b", V::ofBool(false)}}}});
    own();
}

std::string FakeIwd::addBss(const std::string& bssid) {
    std::string hex;
    for (char c : bssid)
        if (c != ':') hex += c;
    const std::string path = network_->path() + "/" + hex;
    if (!exportObject(path, {{kIwdBss, {}, {{"Address", "s", V::ofString(bssid)}}}})) return path;
    bsss_.push_back(path);
    network_->setProperty(kIwdNetwork, "ExtendedServiceSet", V::objectPathArray(bsss_));
    return path;
}

void FakeIwd::connecting(const FakeAccessPoint& ap) {
    if (!station_) return;
    std::string hex;
    for (unsigned char c : ap.ssid) {
        static const char* digits = "0123456789abcdef";
        hex += digits[c >> 4];
        hex += digits[c & 0xf];
    }
    const std::string path = std::string(kStationPath) + "/" + hex + "_" + iwdType(ap.security) +
                             std::to_string(next_++);
    bsss_.clear();
    network_ = exportObject(path, {{kIwdNetwork,
                                    {},
                                    {{"Name", "s", V::ofString(ap.ssid)},
                                     {"Type", "s", V::ofString(iwdType(ap.security))},
                                     {"Connected", "b", V::ofBool(false)},
                                     {"Device", "o", V::ofObjectPath(kStationPath)},
                                     {"ExtendedServiceSet", "ao", V::objectPathArray({})}}}});
    if (!network_) return;
    const std::string bss = addBss(ap.bssid);
    station_->setProperty(kIwdStation, "ConnectedNetwork", V::ofObjectPath(path));
    station_->setProperty(kIwdStation, "State", V::ofString("connecting"));
    station_->setProperty(kIwdStation, "ConnectedAccessPoint", V::ofObjectPath(bss));
}

void FakeIwd::connected() {
    if (!station_ || !network_) return;
    network_->setProperty(kIwdNetwork, "Connected", V::ofBool(true));
    station_->setProperty(kIwdStation, "State", V::ofString("connected"));
}

void FakeIwd::roam(const std::string& bssid, uint16_t) {
    if (!station_ || !network_) return;
    station_->setProperty(kIwdStation, "State", V::ofString("roaming"));
    station_->setProperty(kIwdStation, "ConnectedAccessPoint", V::ofObjectPath(addBss(bssid)));
    station_->setProperty(kIwdStation, "State", V::ofString("connected"));
}

void FakeIwd::disconnect() {
    if (!station_) return;
    station_->setProperty(kIwdStation, "State", V::ofString("disconnecting"));
    if (network_) network_->setProperty(kIwdNetwork, "Connected", V::ofBool(false));
    station_->setProperty(kIwdStation, "ConnectedNetwork", V::ofObjectPath("/"));
    station_->setProperty(kIwdStation, "ConnectedAccessPoint", V::ofObjectPath("/"));
    station_->setProperty(kIwdStation, "State", V::ofString("disconnected"));
}

void FakeIwd::stop() {
    station_.reset();
    network_.reset();
    FakeWifiDaemon::stop();
}

// wpa_supplicant

void FakeWpaSupplicant::stop() {
    interfaceObject_.reset();
    FakeWifiDaemon::stop();
}

std::unique_ptr<FakeWpaSupplicant> FakeWpaSupplicant::start(test::PrivateBus& bus,
                                                            std::string interface) {
    std::unique_ptr<FakeWpaSupplicant> fake(
        new FakeWpaSupplicant(bus, kName, std::move(interface)));
    fake->serve();
    return fake;
}

void FakeWpaSupplicant::serve() {
    connection_ = bus_.connect(DispatchQueue::createSerial("sim.wpa_supplicant"));
    if (!connection_) {
        error_ = "no bus";
        return;
    }
    bsss_.clear();
    exportObject(kWpaRootPath, {{kWpaRoot,
                                 {},
                                 {{"Interfaces", "ao", V::objectPathArray({kInterfacePath})},
                                  {"DebugLevel", "s", V::ofString("info")},
                                  {"EapMethods", "as", V::stringArray({"MD5", "TLS", "PEAP"})}}}});
    interfaceObject_ =
        exportObject(kInterfacePath, {{kWpaInterface,
                                       {},
                                       {{"State", "s", V::ofString("disconnected")},
                                        {"Scanning", "b", V::ofBool(false)},
                                        {"Ifname", "s", V::ofString(interface_)},
                                        {"Driver", "s", V::ofString("nl80211")},
                                        {"CurrentBSS", "o", V::ofObjectPath("/")},
                                        {"CurrentNetwork", "o", V::ofObjectPath("/")},
                                        {"BSSs", "ao", V::objectPathArray({})}}}});
    own();
}

std::string FakeWpaSupplicant::addBss(const FakeAccessPoint& ap) {
    const std::string path = std::string(kInterfacePath) + "/BSSs/" + std::to_string(next_++);
    std::vector<std::pair<std::string, V>> properties = {
        {"BSSID", V::ofBytes(macBytes(ap.bssid))},
        {"SSID", V::ofBytes(bytesOf(ap.ssid))},
        {"WPA", keyDictionary(ap.security, false)},
        {"RSN", keyDictionary(ap.security, true)},
        {"Privacy", V::ofBool(ap.security != FakeAccessPoint::Security::Open)},
        {"Mode", V::ofString("infrastructure")},
        {"Frequency", V::ofUInt16(ap.frequency)},
        {"Signal", V::ofInt16(-50)}};
    std::vector<DBusProperty> exported;
    for (const auto& [name, value] : properties)
        exported.push_back({name, value.signature(), value});
    if (!exportObject(path, {{kWpaBss, {}, exported}})) return path;
    interfaceObject_->emitSignal(kWpaInterface, "BSSAdded", "oa{sv}",
                                 {V::ofObjectPath(path), V::propertyMap(properties)});
    bsss_.push_back(path);
    interfaceObject_->setProperty(kWpaInterface, "BSSs", V::objectPathArray(bsss_));
    return path;
}

void FakeWpaSupplicant::connecting(const FakeAccessPoint& ap) {
    if (!interfaceObject_) return;
    joined_ = ap;
    const std::string bss = addBss(ap);
    interfaceObject_->setProperty(kWpaInterface, "State", V::ofString("associating"));
    interfaceObject_->setProperty(kWpaInterface, "CurrentBSS", V::ofObjectPath(bss));
    interfaceObject_->setProperty(kWpaInterface, "State", V::ofString("4way_handshake"));
}

void FakeWpaSupplicant::connected() {
    if (interfaceObject_)
        interfaceObject_->setProperty(kWpaInterface, "State", V::ofString("completed"));
}

void FakeWpaSupplicant::roam(const std::string& bssid, uint16_t frequency) {
    if (!interfaceObject_) return;
    FakeAccessPoint next = joined_;
    next.bssid = bssid;
    next.frequency = frequency;
    const std::string bss = addBss(next);
    interfaceObject_->setProperty(kWpaInterface, "State", V::ofString("associating"));
    interfaceObject_->setProperty(kWpaInterface, "CurrentBSS", V::ofObjectPath(bss));
    interfaceObject_->setProperty(kWpaInterface, "State", V::ofString("completed"));
}

void FakeWpaSupplicant::disconnect() {
    if (!interfaceObject_) return;
    interfaceObject_->setProperty(kWpaInterface, "State", V::ofString("disconnected"));
    interfaceObject_->setProperty(kWpaInterface, "CurrentBSS", V::ofObjectPath("/"));
}

}  // namespace telvo::sim
