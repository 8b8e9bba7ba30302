#include "platform/bluetooth/BlueZObjects.h"

#include <cstdio>

#include "platform/base/AsciiText.h"

namespace telvo::bluez {

namespace {

using Type = DBusValue::Type;

// Calls f(key, value) for every entry of a dictionary; false when v is no array.
template <class F>
bool forEachEntry(const DBusValue& v, F&& f) {
    const DBusValue& array = v.unwrapped();
    if (array.type() != Type::Array) return false;
    for (const auto& entry : array.items()) {
        if (entry.type() != Type::DictEntry || entry.items().size() != 2) continue;
        f(entry.items()[0], entry.items()[1]);
    }
    return true;
}

// An "a{sv}" as properties; nullopt when it is no dictionary.
std::optional<Properties> readProperties(const DBusValue& v) {
    Properties out;
    bool ok = forEachEntry(v, [&](const DBusValue& key, const DBusValue& value) {
        auto name = key.asString();
        if (name && out.size() < ObjectTree::kMaxProperties) out[*name] = value;
    });
    if (!ok) return std::nullopt;
    return out;
}

const DBusValue* lookup(const Properties* p, const char* name) {
    if (!p) return nullptr;
    auto it = p->find(name);
    return it == p->end() ? nullptr : &it->second;
}

template <class T, class Get>
Field<T> field(const Properties* p, const char* name, Get get) {
    const DBusValue* v = lookup(p, name);
    if (!v) return {};
    auto value = get(*v);
    if (!value) return {Read::Wrong, T{}};
    return {Read::Ok, std::move(*value)};
}

// The ATT code in a Failed error's message: the last "0x" followed by one or two hex digits.
std::optional<uint8_t> attCodeIn(const std::string& message) {
    std::optional<uint8_t> code;
    for (size_t at = message.find("0x"); at != std::string::npos; at = message.find("0x", at + 2)) {
        int value = 0, digits = 0;
        for (size_t i = at + 2; i < message.size() && digits < 2; ++i, ++digits) {
            int d = hexDigitValue(message[i]);
            if (d < 0) break;
            value = value * 16 + d;
        }
        if (digits > 0 && value > 0) code = uint8_t(value);
    }
    return code;
}

bool containsNoCase(std::string_view text, std::string_view word) {
    return findIgnoringCase(text, word) != std::string_view::npos;
}

constexpr std::string_view kBluezError = "org.bluez.Error.";

}  // namespace

// --- the tree ----------------------------------------------------------------------------------

bool ObjectTree::addInterfaces(const std::string& path, const DBusValue& interfaces) {
    auto existing = objects_.find(path);
    if (existing == objects_.end() && objects_.size() >= kMaxObjects) return false;
    std::map<std::string, Properties> added;
    bool ok = forEachEntry(interfaces, [&](const DBusValue& key, const DBusValue& value) {
        auto name = key.asString();
        auto properties = readProperties(value);
        if (name && properties && added.size() < kMaxInterfaces) added[*name] = *properties;
    });
    if (!ok) return false;
    auto& object = objects_[path];
    for (auto& [name, properties] : added)
        if (object.count(name) || object.size() < kMaxInterfaces)
            object[name] = std::move(properties);
    if (object.empty()) objects_.erase(path);
    return true;
}

bool ObjectTree::load(const std::vector<DBusValue>& reply) {
    objects_.clear();
    if (reply.empty()) return false;
    bool ok = forEachEntry(reply[0], [&](const DBusValue& key, const DBusValue& value) {
        if (auto path = key.asObjectPath()) addInterfaces(*path, value);
    });
    if (!ok) objects_.clear();
    return ok;
}

std::optional<std::string> ObjectTree::interfacesAdded(const std::vector<DBusValue>& args) {
    if (args.size() < 2) return std::nullopt;
    auto path = args[0].asObjectPath();
    if (!path || !addInterfaces(*path, args[1])) return std::nullopt;
    return path;
}

std::optional<ObjectTree::Removed> ObjectTree::interfacesRemoved(
    const std::vector<DBusValue>& args) {
    if (args.size() < 2) return std::nullopt;
    auto path = args[0].asObjectPath();
    auto names = args[1].asStringArray();
    if (!path || !names) return std::nullopt;
    Removed removed{*path, {}};
    auto object = objects_.find(*path);
    if (object == objects_.end()) return removed;
    for (const auto& name : *names)
        if (object->second.erase(name)) removed.interfaces.push_back(name);
    if (object->second.empty()) objects_.erase(object);
    return removed;
}

std::optional<ObjectTree::Changed> ObjectTree::propertiesChanged(
    const std::string& path, const std::vector<DBusValue>& args) {
    if (args.size() < 2) return std::nullopt;
    auto interface = args[0].asString();
    auto changed = readProperties(args[1]);
    if (!interface || !changed) return std::nullopt;
    auto object = objects_.find(path);
    if (object == objects_.end()) return std::nullopt;
    auto properties = object->second.find(*interface);
    if (properties == object->second.end()) return std::nullopt;
    Changed out{*interface, {}};
    for (auto& [name, value] : *changed) {
        if (!properties->second.count(name) && properties->second.size() >= kMaxProperties)
            continue;
        properties->second[name] = std::move(value);
        out.names.push_back(name);
    }
    if (args.size() > 2)
        if (auto invalidated = args[2].asStringArray())
            for (const auto& name : *invalidated)
                if (properties->second.erase(name)) out.names.push_back(name);
    return out;
}

const Properties* ObjectTree::find(const std::string& path, const std::string& interface) const {
    auto object = objects_.find(path);
    if (object == objects_.end()) return nullptr;
    auto properties = object->second.find(interface);
    return properties == object->second.end() ? nullptr : &properties->second;
}

std::vector<std::string> ObjectTree::paths(const std::string& interface) const {
    std::vector<std::string> out;
    for (const auto& [path, interfaces] : objects_)
        if (interfaces.count(interface)) out.push_back(path);
    return out;
}

// --- fields ------------------------------------------------------------------------------------

Field<bool> boolField(const Properties* p, const char* name) {
    return field<bool>(p, name, [](const DBusValue& v) { return v.asBool(); });
}
Field<std::string> stringField(const Properties* p, const char* name) {
    return field<std::string>(p, name, [](const DBusValue& v) { return v.asString(); });
}
Field<std::string> pathField(const Properties* p, const char* name) {
    return field<std::string>(p, name, [](const DBusValue& v) { return v.asObjectPath(); });
}
Field<int64_t> integerField(const Properties* p, const char* name) {
    return field<int64_t>(p, name, [](const DBusValue& v) { return v.asInteger(); });
}
Field<Bytes> bytesField(const Properties* p, const char* name) {
    return field<Bytes>(p, name, [](const DBusValue& v) { return v.asBytes(); });
}
Field<std::vector<std::string>> stringsField(const Properties* p, const char* name) {
    return field<std::vector<std::string>>(p, name,
                                           [](const DBusValue& v) { return v.asStringArray(); });
}
Field<std::vector<std::string>> pathsField(const Properties* p, const char* name) {
    return field<std::vector<std::string>>(
        p, name, [](const DBusValue& v) { return v.asObjectPathArray(); });
}
Field<CBUUID> uuidField(const Properties* p, const char* name) {
    return field<CBUUID>(p, name, [](const DBusValue& v) -> std::optional<CBUUID> {
        auto text = v.asString();
        return text ? CBUUID::fromString(*text) : std::nullopt;
    });
}

bool isBelow(std::string_view path, std::string_view parent) {
    return path.size() > parent.size() + 1 && path.compare(0, parent.size(), parent) == 0 &&
           path[parent.size()] == '/';
}

// --- addresses and identifiers -----------------------------------------------------------------

std::optional<Address> parseAddress(std::string_view text) {
    if (text.size() != 17) return std::nullopt;
    Address out{};
    for (size_t i = 0; i < 6; ++i) {
        int hi = hexDigitValue(text[i * 3]), lo = hexDigitValue(text[i * 3 + 1]);
        if (hi < 0 || lo < 0 || (i < 5 && text[i * 3 + 2] != ':')) return std::nullopt;
        out[i] = uint8_t(hi << 4 | lo);
    }
    return out;
}

std::string addressText(const Address& a) {
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", a[0], a[1], a[2], a[3], a[4],
                  a[5]);
    return text;
}

std::string peripheralIdentifier(const Address& adapter, const Address& device) {
    std::array<uint8_t, 16> bytes{};
    std::copy(adapter.begin(), adapter.end(), bytes.begin());
    bytes[6] = 0x80;  // version 8
    bytes[8] = 0x80;  // variant 10
    std::copy(device.begin(), device.end(), bytes.begin() + 10);
    return NSUUID(bytes).UUIDString();
}

std::optional<IdentifierAddresses> addressesOfIdentifier(std::string_view identifier) {
    auto uuid = NSUUID::fromString(identifier);
    if (!uuid) return std::nullopt;
    const auto& b = uuid->bytes();
    if (b[6] != 0x80 || b[7] != 0 || b[8] != 0x80 || b[9] != 0) return std::nullopt;
    IdentifierAddresses out{};
    std::copy(b.begin(), b.begin() + 6, out.adapter.begin());
    std::copy(b.begin() + 10, b.end(), out.device.begin());
    return out;
}

// --- devices -----------------------------------------------------------------------------------

std::optional<DeviceView> readDevice(const std::string& path, const Properties& properties) {
    const Properties* p = &properties;
    auto addressText = stringField(p, "Address");
    auto address = addressText.ok() ? parseAddress(addressText.value) : std::nullopt;
    if (!address) return std::nullopt;
    DeviceView d;
    d.address = *address;
    auto adapter = pathField(p, "Adapter");
    d.adapter = adapter.ok() ? adapter.value : path.substr(0, path.rfind('/'));
    auto name = stringField(p, "Name");
    if (name.ok()) d.name = name.value;
    auto rssi = integerField(p, "RSSI");
    if (rssi.ok() && rssi.value >= -128 && rssi.value <= 127) d.rssi = int(rssi.value);
    d.connected = boolField(p, "Connected");
    d.servicesResolved = boolField(p, "ServicesResolved");

    Dictionary& adv = d.advertisement;
    if (d.name) adv.set(CBAdvertisementDataLocalNameKey, *d.name);
    if (const DBusValue* data = lookup(p, "ManufacturerData")) {
        std::optional<Bytes> first;
        forEachEntry(*data, [&](const DBusValue& key, const DBusValue& value) {
            auto company = key.asUInt16();
            auto bytes = value.asBytes();
            if (first || !company || !bytes) return;
            first = Bytes{uint8_t(*company & 0xFF), uint8_t(*company >> 8)};
            first->insert(first->end(), bytes->begin(), bytes->end());
        });
        if (first) adv.set(CBAdvertisementDataManufacturerDataKey, std::move(*first));
    }
    auto uuids = stringsField(p, "UUIDs");
    if (uuids.ok()) {
        Value::Array texts;
        for (const auto& text : uuids.value)
            if (auto uuid = CBUUID::fromString(text)) texts.push_back(uuid->UUIDString());
        if (!texts.empty()) adv.set(CBAdvertisementDataServiceUUIDsKey, std::move(texts));
    }
    if (const DBusValue* data = lookup(p, "ServiceData")) {
        Dictionary services;
        forEachEntry(*data, [&](const DBusValue& key, const DBusValue& value) {
            auto text = key.asString();
            auto uuid = text ? CBUUID::fromString(*text) : std::nullopt;
            auto bytes = value.asBytes();
            if (uuid && bytes) services.set(uuid->UUIDString(), std::move(*bytes));
        });
        if (!services.empty()) adv.set(CBAdvertisementDataServiceDataKey, std::move(services));
    }
    auto power = integerField(p, "TxPower");
    if (power.ok() && power.value >= -128 && power.value <= 127)
        adv.set(CBAdvertisementDataTxPowerLevelKey, int(power.value));
    return d;
}

// --- characteristic flags ----------------------------------------------------------------------

uint32_t propertiesFromFlags(const std::vector<std::string>& flags) {
    namespace P = CBCharacteristicProperty;
    static const std::map<std::string, uint32_t, std::less<>> bits = {
        {"broadcast", P::Broadcast},
        {"read", P::Read},
        {"encrypt-read", P::Read},
        {"encrypt-authenticated-read", P::Read},
        {"secure-read", P::Read},
        {"write-without-response", P::WriteWithoutResponse},
        {"write", P::Write},
        {"encrypt-write", P::Write},
        {"encrypt-authenticated-write", P::Write},
        {"secure-write", P::Write},
        {"notify", P::Notify},
        {"indicate", P::Indicate},
        {"authenticated-signed-writes", P::AuthenticatedSignedWrites},
        {"extended-properties", P::ExtendedProperties},
        {"reliable-write", P::ExtendedProperties},
        {"writable-auxiliaries", P::ExtendedProperties},
    };
    uint32_t out = 0;
    for (const auto& flag : flags) {
        auto it = bits.find(flag);
        if (it != bits.end()) out |= it->second;
    }
    return out;
}

std::vector<std::string> flagsFromProperties(uint32_t properties, uint32_t permissions) {
    namespace P = CBCharacteristicProperty;
    namespace A = CBAttributePermission;
    std::vector<std::string> out;
    if (properties & P::Broadcast) out.push_back("broadcast");
    if (properties & P::Read)
        out.push_back(permissions & A::ReadEncryptionRequired ? "encrypt-read" : "read");
    if (properties & P::WriteWithoutResponse) out.push_back("write-without-response");
    if (properties & P::Write)
        out.push_back(permissions & A::WriteEncryptionRequired ? "encrypt-write" : "write");
    if (properties & P::Notify) out.push_back("notify");
    if (properties & P::Indicate) out.push_back("indicate");
    if (properties & P::AuthenticatedSignedWrites) out.push_back("authenticated-signed-writes");
    if (properties & P::ExtendedProperties) out.push_back("extended-properties");
    return out;
}

// --- errors ------------------------------------------------------------------------------------

ErrorPtr errorFor(const DBusError& error, Operation op) {
    const std::string& name = error.name;
    const bool connect = op == Operation::Connect;
    const bool gatt = op == Operation::Read || op == Operation::Write || op == Operation::Notify;
    const bool local = op == Operation::Advertise || op == Operation::Register;
    auto cb = [](CBError code) { return makeCBError(code); };
    auto att = [](CBATTError code) { return makeCBATTError(code); };

    if (name == DBusError::kNoReply || name == DBusError::kTimeout)
        return cb(CBError::ConnectionTimeout);
    if (name == DBusError::kDisconnected || name == DBusError::kServiceUnknown ||
        name == "org.freedesktop.DBus.Error.NameHasNoOwner")
        return cb(connect ? CBError::ConnectionFailed
                          : (gatt ? CBError::PeripheralDisconnected : CBError::Unknown));
    if (name == DBusError::kUnknownObject || name == DBusError::kUnknownMethod ||
        name == DBusError::kUnknownProperty)
        return cb(connect ? CBError::UnknownDevice
                          : (gatt ? CBError::InvalidHandle : CBError::OperationNotSupported));
    if (name == DBusError::kAccessDenied)
        return gatt ? att(CBATTError::InsufficientAuthorization) : cb(CBError::Unknown);
    if (name == DBusError::kInvalidArgs) return cb(CBError::InvalidParameters);
    if (name.compare(0, kBluezError.size(), kBluezError) != 0)
        return cb(connect ? CBError::ConnectionFailed : CBError::Unknown);

    const std::string kind = name.substr(kBluezError.size());
    if (kind == "Failed") {
        if (connect)
            return cb(containsNoCase(error.message, "timeout") ||
                              containsNoCase(error.message, "time out") ||
                              containsNoCase(error.message, "timed out")
                          ? CBError::ConnectionTimeout
                          : CBError::ConnectionFailed);
        if (gatt)
            if (auto code = attCodeIn(error.message)) return att(CBATTError(*code));
        return cb(CBError::Unknown);
    }
    if (kind == "NotPermitted") {
        if (op == Operation::Read) return att(CBATTError::ReadNotPermitted);
        if (gatt) return att(CBATTError::WriteNotPermitted);
        if (op == Operation::Advertise) return cb(CBError::OutOfSpace);
        return cb(CBError::Unknown);
    }
    if (kind == "NotAuthorized" || kind == "AuthenticationFailed" ||
        kind == "AuthenticationRejected")
        return gatt ? att(CBATTError::InsufficientAuthorization)
                    : cb(connect ? CBError::ConnectionFailed : CBError::Unknown);
    if (kind == "InvalidOffset") return att(CBATTError::InvalidOffset);
    if (kind == "InvalidValueLength") return att(CBATTError::InvalidAttributeValueLength);
    if (kind == "InvalidLength" || kind == "InvalidArguments")
        return cb(CBError::InvalidParameters);
    if (kind == "NotSupported")
        return gatt ? att(CBATTError::RequestNotSupported) : cb(CBError::OperationNotSupported);
    if (kind == "NotConnected") return cb(CBError::NotConnected);
    if (kind == "DoesNotExist")
        return cb(connect ? CBError::UnknownDevice : CBError::InvalidHandle);
    if (kind == "AlreadyExists")
        return cb(op == Operation::Advertise ? CBError::AlreadyAdvertising
                                             : CBError::InvalidParameters);
    if (kind == "ConnectionAttemptFailed" || kind == "NotAvailable" || kind == "NotReady")
        return cb(connect ? CBError::ConnectionFailed
                          : (local ? CBError::OperationNotSupported : CBError::NotConnected));
    return cb(connect ? CBError::ConnectionFailed : CBError::Unknown);
}

DBusError errorForATT(CBATTError result) {
    std::string b(kBluezError);
    switch (result) {
        case CBATTError::Success:
            return {};
        case CBATTError::ReadNotPermitted:
        case CBATTError::WriteNotPermitted:
            return {b + "NotPermitted", "not permitted"};
        case CBATTError::InsufficientAuthentication:
        case CBATTError::InsufficientAuthorization:
        case CBATTError::InsufficientEncryption:
        case CBATTError::InsufficientEncryptionKeySize:
            return {b + "NotAuthorized", "not authorized"};
        case CBATTError::InvalidOffset:
            return {b + "InvalidOffset", "invalid offset"};
        case CBATTError::InvalidAttributeValueLength:
            return {b + "InvalidValueLength", "invalid value length"};
        case CBATTError::RequestNotSupported:
            return {b + "NotSupported", "not supported"};
        default:
            break;
    }
    char code[8];
    std::snprintf(code, sizeof code, "0x%02x", unsigned(int(result)) & 0xFF);
    return {b + "Failed", code};
}

ErrorPtr malformedError() {
    return makeError(CBErrorDomain, int64_t(CBError::Unknown),
                     "The system's Bluetooth service answered with data that cannot be read.");
}

std::string uuidText(const CBUUID& uuid) {
    std::string text = NSUUID(uuid.bytes()).UUIDString();
    for (char& c : text)
        if (c >= 'A' && c <= 'F') c = char(c - 'A' + 'a');
    return text;
}

}  // namespace telvo::bluez
