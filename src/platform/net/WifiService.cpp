#include "platform/net/WifiService.h"

#include <cctype>

#include "platform/net/NetworkManagerObjects.h"
#include "platform/net/WifiDaemonObjects.h"

namespace telvo {

namespace {

// A service that has not answered in this time is taken as absent for now (and asked again).
constexpr double kCallTimeout = 5;
constexpr size_t kMaxSsid = 32;
constexpr size_t kMaxInterfaceName = 15;  // IFNAMSIZ - 1

DBusError wrongShape(const char* what, const std::vector<DBusValue>& values) {
    std::string signature;
    for (const auto& value : values) signature += value.signature();
    return DBusError{DBusError::kInvalidArgs,
                     std::string(what) + " answered \"" + signature + "\""};
}

// GetManagedObjects of an object manager.
void loadManagedObjects(const char* busName, const char* path, DBusConnection& connection,
                        const WifiService::Objects& objects, WifiService::Loaded done) {
    connection.call(
        DBusCall(busName, path, kDBusObjectManagerInterface, "GetManagedObjects", "", {},
                 kCallTimeout),
        [objects, done = std::move(done)](const DBusReply& reply) {
            if (!reply.ok()) return done(reply.error);
            if (reply.values.size() != 1 || reply.values[0].signature() != "a{oa{sa{sv}}}")
                return done(wrongShape("GetManagedObjects", reply.values));
            objects->replaceAll(reply.values[0]);
            done({});
        });
}

// wpa_supplicant: GetAll of its root object, then of each interface it lists, then of the
// current BSS of each. The first failure ends the load (an interface or BSS gone meanwhile
// is left out).
class WpaLoad : public std::enable_shared_from_this<WpaLoad> {
  public:
    WpaLoad(std::shared_ptr<DBusConnection> connection, WifiService::Objects objects,
            WifiService::Loaded done)
        : connection_(std::move(connection)),
          objects_(std::move(objects)),
          done_(std::move(done)) {}

    void start() {
        auto self = shared_from_this();
        getAll(
            WpaSupplicantObjects::kRootPath, WpaSupplicantObjects::kRootInterface,
            [self](const DBusValue& root) {
                auto paths =
                    root.at("Interfaces").asObjectPathArray().value_or(std::vector<std::string>{});
                if (paths.size() > WpaSupplicantObjects::kMaxReadInterfaces)
                    paths.resize(WpaSupplicantObjects::kMaxReadInterfaces);
                for (const auto& path : paths) self->readInterface(path);
            });
    }

  private:
    void readInterface(const std::string& path) {
        auto self = shared_from_this();
        getAll(path, WpaSupplicantObjects::kInterface, [self, path](const DBusValue& properties) {
            self->objects_->setInterface(path, WpaSupplicantObjects::kInterface, properties);
            auto bss = properties.at("CurrentBSS").asObjectPath();
            if (!bss || *bss == "/") return;
            self->getAll(*bss, WpaSupplicantObjects::kBss, [self, bss](const DBusValue& p) {
                self->objects_->setInterface(*bss, WpaSupplicantObjects::kBss, p);
            });
        });
    }

    void getAll(const std::string& path, const char* interface,
                std::function<void(const DBusValue&)> then) {
        ++pending_;
        auto self = shared_from_this();
        connection_->call(
            DBusCall(WpaSupplicantObjects::kBusName, path, kDBusPropertiesInterface, "GetAll", "s",
                     {DBusValue::ofString(interface)}, kCallTimeout),
            [self, then = std::move(then), root = pending_ == 1](const DBusReply& reply) {
                if (!self->finished_) {
                    if (reply.ok() && reply.values.size() == 1 &&
                        reply.values[0].signature() == "a{sv}") {
                        then(reply.values[0]);
                    } else if (reply.ok()) {
                        self->fail(wrongShape("GetAll", reply.values));
                    } else if (root || !reply.error.is(DBusError::kUnknownObject)) {
                        self->fail(reply.error);
                    }
                }
                if (--self->pending_ == 0 && !self->finished_) {
                    self->finished_ = true;
                    self->done_({});
                }
            });
    }

    void fail(const DBusError& error) {
        finished_ = true;
        done_(error);
    }

    // On the connection's client queue only.
    std::shared_ptr<DBusConnection> connection_;
    WifiService::Objects objects_;
    WifiService::Loaded done_;
    int pending_ = 0;
    bool finished_ = false;
};

// A service that lists its objects through an object manager and announces their changes with
// PropertiesChanged on the objects below rootPath.
template <class Objects>
WifiService objectManagerService(const char* label, const char* busName, const char* managerPath,
                                 const char* rootPath) {
    return WifiService{
        label,
        busName,
        {{busName, managerPath, "", kDBusObjectManagerInterface, ""},
         {busName, "", rootPath, kDBusPropertiesInterface, "PropertiesChanged"}},
        [] { return std::make_shared<Objects>(); },
        [busName, managerPath](DBusConnection& connection, const WifiService::Objects& objects,
                               WifiService::Loaded done) {
            loadManagedObjects(busName, managerPath, connection, objects, std::move(done));
        }};
}

}  // namespace

bool WifiFacts::operator==(const WifiFacts& other) const {
    auto sameWifi = [](const std::optional<WifiInfo>& a, const std::optional<WifiInfo>& b) {
        if (a.has_value() != b.has_value()) return false;
        return !a ||
               (a->ssid == b->ssid && a->bssid == b->bssid && a->securityType == b->securityType);
    };
    return wifiInterface == other.wifiInterface && sameWifi(wifi, other.wifi) &&
           frequencyMHz == other.frequencyMHz && primaryIsModem == other.primaryIsModem;
}

WifiServiceObjects::Change WifiServiceObjects::apply(const DBusSignal& signal) {
    const auto& v = signal.values;
    if (signal.interface == kDBusObjectManagerInterface && signal.member == "InterfacesAdded" &&
        v.size() == 2) {
        interfacesAdded(v[0], v[1]);
    } else if (signal.interface == kDBusObjectManagerInterface &&
               signal.member == "InterfacesRemoved" && v.size() == 2) {
        interfacesRemoved(v[0], v[1]);
    } else if (signal.interface == kDBusPropertiesInterface &&
               signal.member == "PropertiesChanged" && v.size() >= 2) {
        propertiesChanged(signal.path, v[0], v[1]);
    } else {
        return Change::None;
    }
    return Change::Kept;
}

std::optional<std::string> WifiServiceObjects::normalizedBssid(const std::string& text) {
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

std::optional<std::string> WifiServiceObjects::bssidFromBytes(const Bytes& bytes) {
    if (bytes.size() != 6) return std::nullopt;
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i) out += ':';
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0xf];
    }
    return out;
}

std::optional<std::string> WifiServiceObjects::ssidFromBytes(const Bytes& bytes) {
    if (bytes.empty() || bytes.size() > kMaxSsid) return std::nullopt;
    return std::string(bytes.begin(), bytes.end());
}

bool WifiServiceObjects::validInterfaceName(const std::string& name) {
    if (name.empty() || name.size() > kMaxInterfaceName) return false;
    for (char c : name)
        if (c == '/' || std::isspace(static_cast<unsigned char>(c)) || c == '\0') return false;
    return true;
}

WifiService WifiService::networkManager() {
    using O = NetworkManagerObjects;
    return objectManagerService<O>("NetworkManager", O::kBusName, O::kObjectManagerPath,
                                   O::kRootPath);
}

WifiService WifiService::iwd() {
    using O = IwdObjects;
    return objectManagerService<O>("iwd", O::kBusName, O::kObjectManagerPath, O::kRootPath);
}

WifiService WifiService::wpaSupplicant() {
    using O = WpaSupplicantObjects;
    return WifiService{"wpa_supplicant",
                       O::kBusName,
                       {{O::kBusName, "", O::kRootPath, "", ""}},
                       [] { return std::make_shared<O>(); },
                       [](DBusConnection& connection, const Objects& objects, Loaded done) {
                           std::make_shared<WpaLoad>(connection.shared_from_this(), objects,
                                                     std::move(done))
                               ->start();
                       }};
}

}  // namespace telvo
