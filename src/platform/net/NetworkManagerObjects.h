#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "platform/dbus/DBusValue.h"
#include "telvosdk/NetworkConfiguration.h"

namespace telvo {

// What NetworkManager's objects say about the host's network.
struct NetworkManagerFacts {
    // The Wi-Fi device of the primary connection, else of another active connection.
    std::optional<std::string> wifiInterface;
    // Its access point: SSID (the bytes), BSSID ("aa:bb:cc:dd:ee:ff"), security type number.
    std::optional<WifiInfo> wifi;
    std::optional<uint32_t> frequencyMHz;
    // The primary connection runs over a modem (mobile data).
    bool primaryIsModem = false;

    bool operator==(const NetworkManagerFacts& other) const;
};

// NetworkManager's objects as its object manager lists them, kept current with the changes it
// announces, and the facts they give. Everything comes from the bus: a missing object or
// property, or one of another type, leaves the fact out. The number of objects, interfaces and
// properties kept is bounded. Not synchronised (its watcher's queue uses it).
class NetworkManagerObjects {
  public:
    static constexpr const char* kBusName = "org.freedesktop.NetworkManager";
    static constexpr const char* kObjectManagerPath = "/org/freedesktop";
    static constexpr const char* kRootPath = "/org/freedesktop/NetworkManager";

    // A GetManagedObjects answer ("a{oa{sa{sv}}}") replaces everything.
    void replaceAll(const DBusValue& objects);
    // ObjectManager.InterfacesAdded (path, "a{sa{sv}}") and InterfacesRemoved (path, "as").
    void interfacesAdded(const DBusValue& path, const DBusValue& interfaces);
    void interfacesRemoved(const DBusValue& path, const DBusValue& names);
    // Properties.PropertiesChanged on an object: (interface, "a{sv}", invalidated "as").
    void propertiesChanged(const std::string& path, const DBusValue& interface,
                           const DBusValue& changed);
    void clear() { objects_.clear(); }

    NetworkManagerFacts facts() const;
    size_t objectCount() const { return objects_.size(); }

    // The platform's security type number for an access point's flags: 0 open, 1 WEP,
    // 2 personal (PSK, SAE), 3 enterprise (802.1X), 4 unknown.
    static int64_t securityType(uint32_t flags, uint32_t wpaFlags, uint32_t rsnFlags);
    // "00:23:F8:7E:12:BA" -> "00:23:f8:7e:12:ba"; nullopt for anything else.
    static std::optional<std::string> normalizedBssid(const std::string& text);

    static constexpr size_t kMaxObjects = 4096;
    static constexpr size_t kMaxInterfaces = 32;
    static constexpr size_t kMaxProperties = 256;

  private:
    using Properties = std::map<std::string, DBusValue>;
    using Interfaces = std::map<std::string, Properties>;

    void setInterfaces(const std::string& path, const DBusValue& interfaces);
    static void setProperties(Properties& into, const DBusValue& changed);
    const DBusValue& property(const std::string& path, const char* interface,
                              const char* name) const;

    std::map<std::string, Interfaces> objects_;
};

}  // namespace telvo
