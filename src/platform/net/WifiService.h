#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dbus/DBusConnection.h"
#include "platform/dbus/DBusObjectTree.h"
#include "telvosdk/NetworkConfiguration.h"

namespace telvo {

// What a Wi-Fi service on the system bus says about the host's network.
struct WifiFacts {
    // The Wi-Fi interface the service manages: the connected one, else the first it has.
    std::optional<std::string> wifiInterface;
    // Its network while connected: SSID (the bytes), BSSID ("aa:bb:cc:dd:ee:ff"), security
    // type number (0 open, 1 WEP, 2 personal, 3 enterprise, 4 unknown).
    std::optional<WifiInfo> wifi;
    std::optional<uint32_t> frequencyMHz;
    // The primary connection runs over a modem (mobile data; NetworkManager only).
    bool primaryIsModem = false;

    bool operator==(const WifiFacts& other) const;
};

// One service's objects and the facts they give. The objects are the service's own, kept as
// it lists and announces them; every fact comes from them, and a missing object or property,
// or one of another type, leaves the fact out. Not synchronised (its watcher's queue uses it).
class WifiServiceObjects : public DBusObjectTree {
  public:
    virtual ~WifiServiceObjects() = default;
    virtual WifiFacts facts() const = 0;

    enum class Change {
        None,    // nothing the objects keep
        Kept,    // the objects took it in
        Reload,  // it names something not kept: read everything again
    };
    // A signal of the service (one of its matches). By default the object manager's and the
    // properties' signals.
    virtual Change apply(const DBusSignal& signal);

    // "00:23:F8:7E:12:BA" -> "00:23:f8:7e:12:ba"; nullopt for anything else.
    static std::optional<std::string> normalizedBssid(const std::string& text);
    // Six bytes -> "aa:bb:cc:dd:ee:ff"; nullopt for any other length.
    static std::optional<std::string> bssidFromBytes(const Bytes& bytes);
    // An SSID of 1 to 32 bytes, else nullopt.
    static std::optional<std::string> ssidFromBytes(const Bytes& bytes);
    // A name the kernel could give an interface (1 to 15 bytes, no '/', space or NUL).
    static bool validInterfaceName(const std::string& name);
};

// How to read one Wi-Fi service on the system bus.
struct WifiService {
    using Objects = std::shared_ptr<WifiServiceObjects>;
    using Loaded = std::function<void(const DBusError& error)>;

    const char* label;    // "NetworkManager", for diagnostics
    const char* busName;  // "org.freedesktop.NetworkManager"
    // The signals that change the objects (the name's owner changes are followed besides).
    std::vector<DBusMatch> matches;
    std::function<Objects()> make;
    // Reads everything the facts need into objects (fresh ones), then done with the error
    // (unset once read). An answer of another shape than the service's is an error too
    // (kInvalidArgs, saying what it was).
    std::function<void(DBusConnection& connection, const Objects& objects, Loaded done)> load;

    static WifiService networkManager();
    static WifiService iwd();
    static WifiService wpaSupplicant();
};

}  // namespace telvo
