#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bluetooth/BluetoothRadio.h"
#include "platform/dbus/DBusConnection.h"
#include "platform/dbus/DBusError.h"
#include "platform/dbus/DBusValue.h"
#include "telvosdk/Error.h"
#include "telvosdk/Value.h"

// BlueZ's D-Bus objects as the BlueZ radio reads them. Everything here is plain data and pure
// functions: what comes from the bus is untrusted, so an entry of the wrong shape is skipped and
// a property of another type than BlueZ documents reads as wrong (never a crash).
namespace telvo::bluez {

inline constexpr const char* kService = "org.bluez";
inline constexpr const char* kAdapter = "org.bluez.Adapter1";
inline constexpr const char* kDevice = "org.bluez.Device1";
inline constexpr const char* kGattService = "org.bluez.GattService1";
inline constexpr const char* kGattCharacteristic = "org.bluez.GattCharacteristic1";
inline constexpr const char* kGattDescriptor = "org.bluez.GattDescriptor1";
inline constexpr const char* kGattManager = "org.bluez.GattManager1";
inline constexpr const char* kAdvertisingManager = "org.bluez.LEAdvertisingManager1";
inline constexpr const char* kAdvertisement = "org.bluez.LEAdvertisement1";

// Property name to value (each value as it came, usually a variant).
using Properties = std::map<std::string, DBusValue>;

// The objects BlueZ's object manager lists: path, interface, properties. At most kMaxObjects
// objects, kMaxInterfaces interfaces per object and kMaxProperties properties per interface
// are kept; more is dropped.
class ObjectTree {
  public:
    static constexpr size_t kMaxObjects = 8192;
    static constexpr size_t kMaxInterfaces = 32;
    static constexpr size_t kMaxProperties = 128;

    // Replaces the tree with a GetManagedObjects answer ("a{oa{sa{sv}}}"). False, leaving the
    // tree empty, when the answer has another shape.
    bool load(const std::vector<DBusValue>& reply);
    // InterfacesAdded (o, a{sa{sv}}): the object's path, or nullopt when the signal is
    // malformed. The added interfaces replace any of the same name.
    std::optional<std::string> interfacesAdded(const std::vector<DBusValue>& args);
    struct Removed {
        std::string path;
        std::vector<std::string> interfaces;  // those the tree had
    };
    // InterfacesRemoved (o, as).
    std::optional<Removed> interfacesRemoved(const std::vector<DBusValue>& args);
    // PropertiesChanged (s, a{sv}, as) of the object at path: the interface and the names of
    // the properties changed or invalidated (invalidated ones are dropped from the tree), or
    // nullopt when the signal is malformed or names an object or interface the tree lacks.
    struct Changed {
        std::string interface;
        std::vector<std::string> names;
    };
    std::optional<Changed> propertiesChanged(const std::string& path,
                                             const std::vector<DBusValue>& args);
    void clear() { objects_.clear(); }

    const Properties* find(const std::string& path, const std::string& interface) const;
    bool has(const std::string& path, const std::string& interface) const {
        return find(path, interface) != nullptr;
    }
    // The paths of the objects with the interface, in path order.
    std::vector<std::string> paths(const std::string& interface) const;
    size_t size() const { return objects_.size(); }

  private:
    bool addInterfaces(const std::string& path, const DBusValue& interfaces);
    std::map<std::string, std::map<std::string, Properties>> objects_;
};

// One property of an object: whether it is there, and with BlueZ's type.
enum class Read { Missing, Wrong, Ok };
template <class T>
struct Field {
    Read read = Read::Missing;
    T value{};
    bool ok() const { return read == Read::Ok; }
    bool wrong() const { return read == Read::Wrong; }
    T valueOr(T fallback) const { return ok() ? value : fallback; }
};
Field<bool> boolField(const Properties* p, const char* name);
Field<std::string> stringField(const Properties* p, const char* name);
Field<std::string> pathField(const Properties* p, const char* name);
Field<int64_t> integerField(const Properties* p, const char* name);  // any integer type
Field<Bytes> bytesField(const Properties* p, const char* name);
Field<std::vector<std::string>> stringsField(const Properties* p, const char* name);
Field<std::vector<std::string>> pathsField(const Properties* p, const char* name);
// A UUID text in BlueZ's form (36 characters); Wrong also for a text that is no UUID.
Field<CBUUID> uuidField(const Properties* p, const char* name);

// True when path lies below parent ("/a/b/c" below "/a/b").
bool isBelow(std::string_view path, std::string_view parent);

// Bluetooth device addresses ("AA:BB:CC:DD:EE:FF", either case).
using Address = std::array<uint8_t, 6>;
std::optional<Address> parseAddress(std::string_view text);
std::string addressText(const Address& address);

// A peripheral's identifier: a UUID of version 8 (the free-form layout) that carries the
// adapter's address in its first six bytes and the device's in its last six, the fixed bytes
// between them holding the version and variant:
//     AAAAAAAA-AAAA-8000-8000-DDDDDDDDDDDD
// The same device seen through the same adapter always gets the same identifier (across
// runs, restarts of bluetoothd and reboots), and the identifier gives both addresses back.
std::string peripheralIdentifier(const Address& adapter, const Address& device);
struct IdentifierAddresses {
    Address adapter;
    Address device;
};
// nullopt for a text that is no identifier of this form.
std::optional<IdentifierAddresses> addressesOfIdentifier(std::string_view identifier);

// What a Device1 object says about itself, for scans and links.
struct DeviceView {
    Address address{};
    std::string adapter;  // the Adapter property, else the parent path
    std::optional<std::string> name;
    int rssi = 127;  // 127: not measured
    Field<bool> connected;
    Field<bool> servicesResolved;
    // The advertisement as the Bluetooth classes present it: local name, manufacturer data
    // (company identifier little-endian, then the data), service UUIDs, service data, transmit
    // power. Fields of the wrong type are left out.
    Dictionary advertisement;
};
// nullopt when the object has no readable Address (it cannot be named).
std::optional<DeviceView> readDevice(const std::string& path, const Properties& properties);

// CBCharacteristicProperty bits from GattCharacteristic1's Flags, and Flags for a local
// characteristic from property and permission bits.
uint32_t propertiesFromFlags(const std::vector<std::string>& flags);
std::vector<std::string> flagsFromProperties(uint32_t properties, uint32_t permissions);

// The errors BlueZ answers, as the Bluetooth classes know them.
enum class Operation { Connect, Read, Write, Notify, Advertise, Register };
// org.bluez.Error.* and the bus's own errors to a CB or CB ATT error. For Failed the message
// decides: an ATT code ("0x0e", "... ATT error: 0x0e") gives that ATT error; for Connect a page
// or connection time-out gives ConnectionTimeout.
ErrorPtr errorFor(const DBusError& error, Operation operation);
// The error a local characteristic answers a remote central with for an ATT result (the
// peripheral role); unset for Success.
DBusError errorForATT(CBATTError result);
// Data from the bus that cannot be read (a missing property, a wrong type).
ErrorPtr malformedError();

// The 128-bit lower-case text BlueZ uses for UUIDs.
std::string uuidText(const CBUUID& uuid);

}  // namespace telvo::bluez
