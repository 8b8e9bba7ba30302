#include "sim/FakeBlueZ.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

// Events name only the fields they carry; the rest keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace telvo::sim {

namespace {

using V = DBusValue;

constexpr const char* kName = "org.bluez";
constexpr const char* kAdapter1 = "org.bluez.Adapter1";
constexpr const char* kDevice1 = "org.bluez.Device1";
constexpr const char* kService1 = "org.bluez.GattService1";
constexpr const char* kCharacteristic1 = "org.bluez.GattCharacteristic1";
constexpr const char* kDescriptor1 = "org.bluez.GattDescriptor1";
constexpr const char* kGattManager1 = "org.bluez.GattManager1";
constexpr const char* kAdvertisingManager1 = "org.bluez.LEAdvertisingManager1";
constexpr const char* kAdvertisement1 = "org.bluez.LEAdvertisement1";
constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";
const std::string kError = "org.bluez.Error.";

std::string lowerUuid(const CBUUID& uuid) {
    std::string text = NSUUID(uuid.bytes()).UUIDString();
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return char(std::tolower(c)); });
    return text;
}

std::string hex4(uint16_t handle) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", handle);
    return text;
}

std::vector<std::string> flagsOf(uint32_t properties) {
    static const std::pair<uint32_t, const char*> names[] = {
        {CBCharacteristicProperty::Broadcast, "broadcast"},
        {CBCharacteristicProperty::Read, "read"},
        {CBCharacteristicProperty::WriteWithoutResponse, "write-without-response"},
        {CBCharacteristicProperty::Write, "write"},
        {CBCharacteristicProperty::Notify, "notify"},
        {CBCharacteristicProperty::Indicate, "indicate"},
        {CBCharacteristicProperty::AuthenticatedSignedWrites, "authenticated-signed-writes"},
        {CBCharacteristicProperty::ExtendedProperties, "extended-properties"},
    };
    std::vector<std::string> out;
    for (const auto& [bit, name] : names)
        if (properties & bit) out.push_back(name);
    return out;
}

// How BlueZ answers a failed ATT operation.
std::pair<std::string, std::string> attFailure(const ErrorPtr& error) {
    if (!error || error->domain() != CBATTErrorDomain) return {kError + "Failed", "Not connected"};
    char text[48];
    std::snprintf(text, sizeof text, "Operation failed with ATT error: 0x%02x",
                  unsigned(error->code() & 0xFF));
    return {kError + "Failed", text};
}

void announce(DBusExportedObject& object, const char* interface, const char* name, V value) {
    // A change to the same value is announced too (a notification repeating itself).
    if (object.property(interface, name) == value)
        object.emitSignal(
            kPropertiesInterface, "PropertiesChanged", "sa{sv}as",
            {V::ofString(interface), V::propertyMap({{name, value}}), V::stringArray({})});
    else
        object.setProperty(interface, name, std::move(value));
}

// The Device1 properties of a device bluetoothd heard advertise.
std::vector<DBusProperty> heardDevice(const std::string& address, const std::string& alias,
                                      const V& rssi, const std::vector<std::string>& uuids) {
    return {
        {"Address", "s", V::ofString(address)},
        {"AddressType", "s", V::ofString("random")},
        {"Alias", "s", V::ofString(alias)},
        {"Adapter", "o", V::ofObjectPath(FakeBlueZ::kAdapterPath)},
        {"Paired", "b", V::ofBool(false)},
        {"Trusted", "b", V::ofBool(false)},
        {"Blocked", "b", V::ofBool(false)},
        {"LegacyPairing", "b", V::ofBool(false)},
        {"Connected", "b", V::ofBool(false)},
        {"ServicesResolved", "b", V::ofBool(false)},
        {"RSSI", "n", rssi},
        {"UUIDs", "as", V::stringArray(uuids)},
    };
}

}  // namespace

std::string FakeBlueZ::addressOf(const SimBleAppliance& appliance) {
    auto uuid = NSUUID::fromString(appliance.identifier());
    std::array<uint8_t, 16> b = uuid ? uuid->bytes() : std::array<uint8_t, 16>{};
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", b[10] | 0xC0, b[11], b[12],
                  b[13], b[14], b[15]);
    return text;
}

std::string FakeBlueZ::devicePathOf(const SimBleAppliance& appliance) {
    std::string address = addressOf(appliance);
    std::replace(address.begin(), address.end(), ':', '_');
    return std::string(kAdapterPath) + "/dev_" + address;
}

std::shared_ptr<FakeBlueZ> FakeBlueZ::start(test::PrivateBus& bus, std::shared_ptr<SimRadio> air,
                                            std::string* error) {
    auto connection = bus.connect(DispatchQueue::createSerial("fake bluez"));
    if (!connection) {
        if (error) *error = "no connection to the bus";
        return nullptr;
    }
    std::shared_ptr<FakeBlueZ> fake(new FakeBlueZ(std::move(connection), std::move(air)));
    if (!fake->serve(error)) return nullptr;
    if (!bus.waitForName(kName)) {
        if (error) *error = "org.bluez was not granted";
        return nullptr;
    }
    fake->name_ = fake->connection_->uniqueName();
    return fake;
}

FakeBlueZ::FakeBlueZ(std::shared_ptr<DBusConnection> connection, std::shared_ptr<SimRadio> air)
    : connection_(std::move(connection)), air_(std::move(air)) {}

FakeBlueZ::~FakeBlueZ() {
    air_->detach(client_);
}

template <class F>
DBusMethodHandler FakeBlueZ::handler(F f) {
    std::weak_ptr<FakeBlueZ> weak = weak_from_this();
    return [weak, f](Invocation call) {
        auto self = weak.lock();
        if (!self) return call->replyError(DBusError::kUnknownObject, "gone");
        std::lock_guard lock(self->mutex_);
        self->record(*call);
        f(*self, call);
    };
}

bool FakeBlueZ::serve(std::string* error) {
    std::weak_ptr<FakeBlueZ> weak = weak_from_this();
    auto queue = connection_->clientQueue();
    const auto client = air_->attach([weak, queue](const RadioEvent& event) {
        queue->async([weak, event] {
            if (auto self = weak.lock()) {
                std::lock_guard lock(self->mutex_);
                self->onAir(event);
            }
        });
    });
    std::lock_guard lock(mutex_);
    client_ = client;
    manager_ = connection_->addObjectManager("/");
    auto on = [this](void (FakeBlueZ::*member)(const Invocation&)) {
        return handler([member](FakeBlueZ& f, const Invocation& call) { (f.*member)(call); });
    };
    auto adapterMethod = [&](const char* name, const char* in, const char* out = "") {
        return DBusMethod{name, in, out, on(&FakeBlueZ::adapterCall)};
    };
    adapter_ = exportObject(
        kAdapterPath,
        {{kAdapter1,
          {adapterMethod("StartDiscovery", ""), adapterMethod("StopDiscovery", ""),
           adapterMethod("SetDiscoveryFilter", "a{sv}"), adapterMethod("RemoveDevice", "o"),
           adapterMethod("GetDiscoveryFilters", "", "as")},
          withOverrides(kAdapter1, {{"Address", "s", V::ofString(kAdapterAddress)},
                                    {"AddressType", "s", V::ofString("public")},
                                    {"Name", "s", V::ofString("telvo-test")},
                                    {"Alias", "s", V::ofString("telvo-test")},
                                    {"Class", "u", V::ofUInt32(0x10010C)},
                                    {"Powered", "b", V::ofBool(true), true},
                                    {"Discoverable", "b", V::ofBool(false)},
                                    {"Pairable", "b", V::ofBool(true)},
                                    {"Discovering", "b", V::ofBool(false)},
                                    {"UUIDs", "as", V::stringArray({})}})},
         {kGattManager1,
          {{"RegisterApplication", "oa{sv}", "", on(&FakeBlueZ::registerApplication)},
           {"UnregisterApplication", "o", "", on(&FakeBlueZ::registerApplication)}},
          {}},
         {kAdvertisingManager1,
          {{"RegisterAdvertisement", "oa{sv}", "", on(&FakeBlueZ::registerAdvertisement)},
           {"UnregisterAdvertisement", "o", "", on(&FakeBlueZ::registerAdvertisement)}},
          {{"ActiveInstances", "y", V::ofByte(0)},
           {"SupportedInstances", "y", V::ofByte(4)},
           {"SupportedIncludes", "as", V::stringArray({"tx-power", "local-name"})}}}});
    if (!adapter_) {
        if (error) *error = "the adapter could not be exported";
        return false;
    }
    adapter_->setWriteHandler([weak](const std::string&, const std::string& name, const V& value) {
        auto self = weak.lock();
        if (!self || name != "Powered") return;
        std::lock_guard lock(self->mutex_);
        self->powered_ = value.asBool().value_or(false);
        if (self->powered_) return;
        self->discovering_ = false;
        self->adapter_->setProperty(kAdapter1, "Discovering", V::ofBool(false));
        self->air_->stopScan(self->client_);
        for (auto& [path, device] : self->devices_) {
            self->air_->cancelConnection(self->client_, device.id);
            self->unlink(device, "Powered off");
        }
    });
    connection_->requestName(kName);
    return true;
}

void FakeBlueZ::record(const DBusMethodInvocation& call) {
    if (calls_.size() < 10000) calls_.push_back(call.member() + " " + call.path());
}

std::vector<DBusProperty> FakeBlueZ::withOverrides(const std::string& interface,
                                                   std::vector<DBusProperty> properties) const {
    for (auto& property : properties) {
        auto it = overrides_.find({interface, property.name});
        if (it == overrides_.end()) continue;
        property.value = it->second;
        property.signature = it->second.signature();
    }
    return properties;
}

std::shared_ptr<DBusExportedObject> FakeBlueZ::exportObject(const std::string& path,
                                                            std::vector<DBusInterface> interfaces) {
    return connection_->exportObject(path, std::move(interfaces));
}

FakeBlueZ::Device* FakeBlueZ::deviceAt(const std::string& path) {
    auto it = devices_.find(path);
    return it == devices_.end() ? nullptr : &it->second;
}

FakeBlueZ::Device* FakeBlueZ::deviceOf(const std::string& id) {
    for (auto& [path, device] : devices_)
        if (device.id == id) return &device;
    return nullptr;
}

FakeBlueZ::Attribute* FakeBlueZ::attributeAt(const std::string& path, Device** owner) {
    for (auto& [p, device] : devices_)
        for (auto& [handle, attribute] : device.gatt)
            if (attribute.path == path) {
                *owner = &device;
                return &attribute;
            }
    return nullptr;
}

// --- the adapter -------------------------------------------------------------------------------

void FakeBlueZ::restartScan() {
    air_->stopScan(client_);
    air_->startScan(client_, filterUuids_, duplicates_);
}

void FakeBlueZ::adapterCall(const Invocation& call) {
    const std::string& member = call->member();
    if (!adapter_) return call->replyError(DBusError::kUnknownObject, "no adapter");
    if (member == "StartDiscovery") {
        if (!powered_) return call->replyError(kError + "NotReady", "Resource Not Ready");
        if (!discovering_) {
            discovering_ = true;
            air_->startScan(client_, filterUuids_, duplicates_);
            adapter_->setProperty(kAdapter1, "Discovering", V::ofBool(true));
        }
        return call->reply();
    }
    if (member == "StopDiscovery") {
        if (!discovering_) return call->replyError(kError + "Failed", "No discovery started");
        discovering_ = false;
        air_->stopScan(client_);
        adapter_->setProperty(kAdapter1, "Discovering", V::ofBool(false));
        return call->reply();
    }
    if (member == "SetDiscoveryFilter") {
        std::optional<std::vector<CBUUID>> uuids;
        bool duplicates = true;
        for (const auto& entry : call->args().at(0).items()) {
            const auto key = entry.at(0).asString().value_or("");
            const V& value = entry.at(1);
            if (auto texts = value.asStringArray(); key == "UUIDs" && texts) {
                std::vector<CBUUID> list;
                for (const auto& text : *texts) {
                    auto uuid = CBUUID::fromString(text);
                    if (!uuid) return call->replyError(kError + "InvalidArguments", "UUIDs");
                    list.push_back(*uuid);
                }
                if (!list.empty()) uuids = list;
            } else if (key == "DuplicateData" && value.asBool()) {
                duplicates = *value.asBool();
            } else if (key == "Transport" && value.asString()) {
                const std::string t = *value.asString();
                if (t != "le" && t != "bredr" && t != "auto")
                    return call->replyError(kError + "InvalidArguments", "Transport");
            } else if (!((key == "RSSI" && value.asInt16()) ||
                         (key == "Pathloss" && value.asUInt16()))) {
                return call->replyError(kError + "InvalidArguments", "Invalid arguments");
            }
        }
        filterUuids_ = uuids;
        duplicates_ = duplicates;
        if (discovering_) restartScan();
        return call->reply();
    }
    if (member == "RemoveDevice") {
        Device* device = deviceAt(call->args().at(0).asObjectPath().value_or(""));
        if (!device) return call->replyError(kError + "DoesNotExist", "Does Not Exist");
        if (device->connected) air_->cancelConnection(client_, device->id);
        unlink(*device, "Removed");
        device->object->unexport();
        devices_.erase(device->path);
        return call->reply();
    }
    call->reply({V::stringArray({"UUIDs", "RSSI", "Pathloss", "Transport", "DuplicateData"})});
}

void FakeBlueZ::setPowered(bool powered) {
    std::shared_ptr<DBusExportedObject> adapter;
    {
        std::lock_guard lock(mutex_);
        adapter = adapter_;
    }
    // Through the property, as a peer's Set would: the write handler does the rest.
    if (!adapter) return;
    connection_->setProperty(kName, kAdapterPath, kAdapter1, "Powered", V::ofBool(powered),
                             [](const DBusReply&) {});
}

void FakeBlueZ::removeAdapter() {
    std::lock_guard lock(mutex_);
    // The controller goes down before its index goes away.
    powered_ = false;
    if (adapter_) adapter_->setProperty(kAdapter1, "Powered", V::ofBool(false));
    air_->stopScan(client_);
    discovering_ = false;
    for (auto& [path, device] : devices_) {
        if (device.connected || device.connecting) air_->cancelConnection(client_, device.id);
        for (auto& [handle, attribute] : device.gatt) attribute.object->unexport();
        device.gatt.clear();
        if (device.connecting)
            std::exchange(device.connecting, nullptr)
                ->replyError(DBusError::kUnknownObject, "Adapter removed");
        device.object->unexport();
    }
    devices_.clear();
    applications_.clear();
    advertisement_.clear();
    advertisementPath_.clear();
    if (adapter_) adapter_->unexport();
    adapter_ = nullptr;
}

void FakeBlueZ::failWrites(std::string errorName, std::string message, int count) {
    std::lock_guard lock(mutex_);
    writeFailure_ = {std::move(errorName), std::move(message)};
    writeFailures_ = count;
}

void FakeBlueZ::dropNotifications(bool drop) {
    std::lock_guard lock(mutex_);
    dropNotifications_ = drop;
}

void FakeBlueZ::overrideProperty(std::string interface, std::string name, DBusValue value) {
    std::lock_guard lock(mutex_);
    overrides_[{std::move(interface), std::move(name)}] = std::move(value);
}

std::vector<std::string> FakeBlueZ::passBy(size_t count) {
    std::lock_guard lock(mutex_);
    std::vector<std::string> paths;
    std::vector<std::shared_ptr<DBusExportedObject>> heard;
    if (!discovering_ || !adapter_) return paths;
    for (size_t i = 0; i < count; ++i) {
        const uint32_t n = ++passers_;
        char address[18];
        std::snprintf(address, sizeof address, "D0:%02X:%02X:%02X:5A:17", (n >> 16) & 0xFF,
                      (n >> 8) & 0xFF, n & 0xFF);
        std::string part = address;
        std::replace(part.begin(), part.end(), ':', '_');
        std::string alias = address;
        std::replace(alias.begin(), alias.end(), ':', '-');
        const std::string path = std::string(kAdapterPath) + "/dev_" + part;
        auto object =
            exportObject(path, {{kDevice1, {}, heardDevice(address, alias, V::ofInt16(-85), {})}});
        if (!object) continue;
        heard.push_back(object);
        paths.push_back(path);
    }
    // Forgotten once they have been announced: a round trip to the fake's own connection
    // comes back after the announcements left.
    connection_->call(DBusCall{name_, "/", "org.freedesktop.DBus.Peer", "Ping"},
                      [heard = std::move(heard)](const DBusReply&) {
                          for (const auto& object : heard) object->unexport();
                      });
    return paths;
}

bool FakeBlueZ::discovering() const {
    std::lock_guard lock(mutex_);
    return discovering_;
}

std::vector<std::string> FakeBlueZ::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

// --- the air -----------------------------------------------------------------------------------

void FakeBlueZ::onAir(const RadioEvent& e) {
    using Kind = RadioEvent::Kind;
    if (e.kind == Kind::Discovered) return heard(e);
    Device* device = deviceOf(e.peripheral);
    if (!device) return;
    switch (e.kind) {
        case Kind::Connected:
            return linked(*device, e);
        case Kind::ConnectFailed:
            if (device->connecting)
                std::exchange(device->connecting, nullptr)
                    ->replyError(kError + "Failed",
                                 e.error && e.error->code() == int64_t(CBError::ConnectionTimeout)
                                     ? "Page Timeout"
                                     : "le-connection-abort-by-local");
            return;
        case Kind::Disconnected:
            return unlink(*device, "Disconnected");
        case Kind::ServicesDiscovered:
            device->services = e.services;
            for (const auto& s : e.services) {
                ++device->resolving;
                air_->discoverCharacteristics(client_, device->id, s.handle, std::nullopt);
            }
            break;
        case Kind::CharacteristicsDiscovered:
            device->characteristics[e.handle] = e.characteristics;
            for (const auto& c : e.characteristics) {
                ++device->resolving;
                air_->discoverDescriptors(client_, device->id, c.handle);
            }
            break;
        case Kind::DescriptorsDiscovered:
            device->descriptors[e.handle] = e.descriptors;
            break;
        case Kind::ValueUpdated:
            return valueFromAir(*device, e);
        case Kind::ValueWritten:
        case Kind::NotifyStateChanged: {
            auto attribute = device->gatt.find(e.handle);
            if (attribute == device->gatt.end()) return;
            auto& waiting = e.kind == Kind::ValueWritten ? attribute->second.writes
                                                         : attribute->second.notifies;
            if (waiting.empty()) return;
            Invocation call = waiting.front();
            waiting.pop_front();
            if (e.error) {
                auto [name, message] = attFailure(e.error);
                return call->replyError(name, message);
            }
            if (e.kind == Kind::NotifyStateChanged)
                attribute->second.object->setProperty(kCharacteristic1, "Notifying",
                                                      V::ofBool(e.notifying));
            return call->reply();
        }
        default:
            return;
    }
    // One discovery step answered.
    if (--device->resolving == 0) resolved(*device);
}

void FakeBlueZ::heard(const RadioEvent& e) {
    if (!discovering_ || !adapter_) return;
    auto uuid = NSUUID::fromString(e.peripheral);
    if (!uuid) return;
    const auto& b = uuid->bytes();
    char address[18];
    std::snprintf(address, sizeof address, "%02X:%02X:%02X:%02X:%02X:%02X", b[10] | 0xC0, b[11],
                  b[12], b[13], b[14], b[15]);
    std::string part = address;
    std::replace(part.begin(), part.end(), ':', '_');
    const std::string path = std::string(kAdapterPath) + "/dev_" + part;

    std::optional<std::string> name = e.name;
    if (const Value* local = e.advertisement.find(CBAdvertisementDataLocalNameKey))
        if (local->isText()) name = local->text();
    std::vector<std::string> uuids;
    if (const Value* list = e.advertisement.find(CBAdvertisementDataServiceUUIDsKey))
        for (size_t i = 0; i < list->count(); ++i)
            if (auto u = CBUUID::fromString(list->at(i).stringValue()))
                uuids.push_back(lowerUuid(*u));
    std::vector<std::pair<V, V>> companies;
    if (const Value* data = e.advertisement.find(CBAdvertisementDataManufacturerDataKey))
        if (data->isBytes() && data->bytes().size() >= 2) {
            const Bytes& d = data->bytes();
            companies.emplace_back(V::ofUInt16(uint16_t(d[0] | d[1] << 8)),
                                   V::variant(V::ofBytes(Bytes(d.begin() + 2, d.end()))));
        }
    const V manufacturer = V::dictionary("q", "v", companies);
    const V rssi = V::ofInt16(int16_t(e.rssi));

    if (Device* known = deviceAt(path)) {
        known->object->setProperty(kDevice1, "RSSI", rssi);
        known->object->setProperty(kDevice1, "ManufacturerData", manufacturer);
        known->object->setProperty(kDevice1, "UUIDs", V::stringArray(uuids));
        return;
    }
    std::string alias = name.value_or(address);
    if (!name) std::replace(alias.begin(), alias.end(), ':', '-');
    std::vector<DBusProperty> properties = heardDevice(address, alias, rssi, uuids);
    properties.push_back({"ManufacturerData", "a{qv}", manufacturer});
    if (name) properties.push_back({"Name", "s", V::ofString(*name)});
    auto method = [this](const char* member) {
        return DBusMethod{member, "", "",
                          handler([](FakeBlueZ& f, const Invocation& c) { f.deviceCall(c); })};
    };
    auto object = exportObject(path, {{kDevice1,
                                       {method("Connect"), method("Disconnect")},
                                       withOverrides(kDevice1, std::move(properties))}});
    if (!object) return;
    Device& device = devices_[path];
    device.id = e.peripheral;
    device.path = path;
    device.object = object;
}

void FakeBlueZ::deviceCall(const Invocation& call) {
    Device* device = deviceAt(call->path());
    if (!device) return call->replyError(DBusError::kUnknownObject, "no such device");
    if (call->member() == "Connect") {
        if (device->connected)
            return call->replyError(kError + "AlreadyConnected", "Already Connected");
        if (device->connecting) return call->replyError(kError + "InProgress", "In Progress");
        if (!powered_) return call->replyError(kError + "NotReady", "Resource Not Ready");
        device->connecting = call;
        air_->connect(client_, device->id);
        return;
    }
    if (device->connecting) {
        air_->cancelConnection(client_, device->id);
        std::exchange(device->connecting, nullptr)
            ->replyError(kError + "Failed", "Operation was cancelled");
        return call->reply();
    }
    if (!device->connected) return call->replyError(kError + "NotConnected", "Not Connected");
    air_->cancelConnection(client_, device->id);
    unlink(*device, "Disconnected");
    call->reply();
}

void FakeBlueZ::linked(Device& device, const RadioEvent&) {
    device.connected = true;
    device.object->setProperty(kDevice1, "Connected", V::ofBool(true));
    if (device.connecting) std::exchange(device.connecting, nullptr)->reply();
    device.resolving = 1;
    air_->discoverServices(client_, device.id, std::nullopt);
}

void FakeBlueZ::resolved(Device& device) {
    if (!device.connected) return;
    const uint16_t mtu = uint16_t(air_->maximumWriteLength(client_, device.id, false) + 3);
    auto attributeMethod = [this](const char* member, const char* in, const char* out) {
        return DBusMethod{member, in, out,
                          handler([](FakeBlueZ& f, const Invocation& c) { f.attributeCall(c); })};
    };
    for (const auto& s : device.services) {
        const std::string servicePath = device.path + "/service" + hex4(s.handle);
        auto object = exportObject(
            servicePath, {{kService1,
                           {},
                           withOverrides(kService1, {{"UUID", "s", V::ofString(lowerUuid(s.uuid))},
                                                     {"Device", "o", V::ofObjectPath(device.path)},
                                                     {"Primary", "b", V::ofBool(s.primary)},
                                                     {"Includes", "ao", V::objectPathArray({})},
                                                     {"Handle", "q", V::ofUInt16(s.handle)}})}});
        device.gatt[s.handle] = Attribute{servicePath, object, false, {}, {}, {}};
        for (const auto& c : device.characteristics[s.handle]) {
            const std::string path = servicePath + "/char" + hex4(c.handle);
            auto characteristic = exportObject(
                path,
                {{kCharacteristic1,
                  {attributeMethod("ReadValue", "a{sv}", "ay"),
                   attributeMethod("WriteValue", "aya{sv}", ""),
                   attributeMethod("StartNotify", "", ""), attributeMethod("StopNotify", "", "")},
                  withOverrides(kCharacteristic1,
                                {{"UUID", "s", V::ofString(lowerUuid(c.uuid))},
                                 {"Service", "o", V::ofObjectPath(servicePath)},
                                 {"Value", "ay", V::ofBytes({})},
                                 {"Notifying", "b", V::ofBool(false)},
                                 {"Flags", "as", V::stringArray(flagsOf(c.properties))},
                                 {"Handle", "q", V::ofUInt16(c.handle)},
                                 {"MTU", "q", V::ofUInt16(mtu)}})}});
            device.gatt[c.handle] = Attribute{path, characteristic, true, {}, {}, {}};
            for (const auto& d : device.descriptors[c.handle]) {
                const std::string descriptorPath = path + "/desc" + hex4(d.handle);
                auto descriptor = exportObject(
                    descriptorPath,
                    {{kDescriptor1,
                      {attributeMethod("ReadValue", "a{sv}", "ay"),
                       attributeMethod("WriteValue", "aya{sv}", "")},
                      withOverrides(kDescriptor1, {{"UUID", "s", V::ofString(lowerUuid(d.uuid))},
                                                   {"Characteristic", "o", V::ofObjectPath(path)},
                                                   {"Value", "ay", V::ofBytes({})},
                                                   {"Flags", "as", V::stringArray({"read"})},
                                                   {"Handle", "q", V::ofUInt16(d.handle)}})}});
                device.gatt[d.handle] = Attribute{descriptorPath, descriptor, false, {}, {}, {}};
            }
        }
    }
    device.object->setProperty(kDevice1, "ServicesResolved", V::ofBool(true));
}

void FakeBlueZ::unlink(Device& device, const std::string& why) {
    if (device.connecting)
        std::exchange(device.connecting, nullptr)->replyError(kError + "Failed", why);
    const bool was = device.connected;
    device.connected = false;
    device.resolving = 0;
    for (auto& [handle, attribute] : device.gatt) {
        for (auto* queue : {&attribute.reads, &attribute.writes, &attribute.notifies})
            for (auto& call : std::exchange(*queue, {}))
                call->replyError(kError + "Failed", "Not connected");
        attribute.object->unexport();
    }
    device.gatt.clear();
    device.services.clear();
    device.characteristics.clear();
    device.descriptors.clear();
    if (!was) return;
    device.object->setProperty(kDevice1, "ServicesResolved", V::ofBool(false));
    device.object->setProperty(kDevice1, "Connected", V::ofBool(false));
}

void FakeBlueZ::valueFromAir(Device& device, const RadioEvent& e) {
    auto it = device.gatt.find(e.handle);
    if (it == device.gatt.end()) return;
    Attribute& attribute = it->second;
    const char* interface = attribute.characteristic ? kCharacteristic1 : kDescriptor1;
    if (!attribute.reads.empty()) {
        Invocation call = attribute.reads.front();
        attribute.reads.pop_front();
        if (e.error) {
            auto [name, message] = attFailure(e.error);
            return call->replyError(name, message);
        }
        // BlueZ keeps the value read and announces it, unchanged or not, before it answers.
        announce(*attribute.object, interface, "Value", V::ofBytes(e.value));
        return call->reply({V::ofBytes(e.value)});
    }
    if (!dropNotifications_ && !e.error)
        announce(*attribute.object, interface, "Value", V::ofBytes(e.value));
}

void FakeBlueZ::attributeCall(const Invocation& call) {
    Device* device = nullptr;
    Attribute* attribute = attributeAt(call->path(), &device);
    if (!attribute) return call->replyError(DBusError::kUnknownObject, "no such attribute");
    if (!device->connected) return call->replyError(kError + "Failed", "Not connected");
    uint16_t handle = 0;
    for (const auto& [h, a] : device->gatt)
        if (&a == attribute) handle = h;
    const std::string& member = call->member();
    if (member == "ReadValue") {
        attribute->reads.push_back(call);
        return air_->read(client_, device->id, handle);
    }
    if (member == "WriteValue") {
        const Bytes value = call->args().at(0).asBytes().value_or(Bytes());
        const std::string type =
            call->args().at(1).at("type").asString().value_or(std::string("request"));
        if (attribute->characteristic && writeFailure_ && writeFailures_ != 0) {
            if (writeFailures_ > 0) --writeFailures_;
            return call->replyError(writeFailure_->first, writeFailure_->second);
        }
        const bool withResponse = !attribute->characteristic || type != "command";
        air_->write(client_, device->id, handle, value, withResponse);
        if (withResponse) return attribute->writes.push_back(call);
        return call->reply();
    }
    const bool on = member == "StartNotify";
    if (attribute->object->property(kCharacteristic1, "Notifying").asBool() == on)
        return call->reply();
    attribute->notifies.push_back(call);
    air_->setNotify(client_, device->id, handle, on);
}

// --- the phone's peripheral role ---------------------------------------------------------------

void FakeBlueZ::registerApplication(const Invocation& call) {
    const std::string path = call->args().at(0).asObjectPath().value_or("");
    auto known = std::find_if(applications_.begin(), applications_.end(), [&](const auto& a) {
        return a.sender == call->sender() && a.path == path;
    });
    if (call->member() == "UnregisterApplication") {
        if (known == applications_.end())
            return call->replyError(kError + "DoesNotExist", "Does Not Exist");
        applications_.erase(known);
        return call->reply();
    }
    if (known != applications_.end())
        return call->replyError(kError + "AlreadyExists", "Already Exists");
    std::weak_ptr<FakeBlueZ> weak = weak_from_this();
    // As BlueZ does: the application's objects are read from the caller.
    connection_->getManagedObjects(
        call->sender(), path, [weak, call, path](const DBusReply& reply) {
            auto self = weak.lock();
            if (!self) return;
            std::lock_guard lock(self->mutex_);
            Application app{call->sender(), path, {}, {}};
            for (const auto& object :
                 reply.values.empty() ? std::vector<V>{} : reply.values[0].items()) {
                const V& interfaces = object.at(1);
                auto objectPath = object.at(0).asObjectPath().value_or("");
                if (auto uuid = CBUUID::fromString(
                        interfaces.at(kService1).at("UUID").asString().value_or("")))
                    app.services.push_back(uuid->UUIDString());
                const V& c = interfaces.at(kCharacteristic1);
                if (auto uuid = CBUUID::fromString(c.at("UUID").asString().value_or("")))
                    app.characteristics[uuid->UUIDString()] = {
                        objectPath,
                        c.at("Flags").asStringArray().value_or(std::vector<std::string>{})};
            }
            if (!reply.ok() || app.services.empty())
                return call->replyError(kError + "Failed", "No object received");
            // Value changes of the application's characteristics are notifications; the
            // registration is answered once they are heard.
            app.valueWatch = self->connection_->subscribe(
                DBusMatch{call->sender(), "", "", kPropertiesInterface, "PropertiesChanged"},
                [weak](const DBusSignal& signal) {
                    if (auto self = weak.lock()) self->applicationChanged(signal);
                },
                [call](const DBusError&) { call->reply(); });
            self->applications_.push_back(std::move(app));
        });
}

void FakeBlueZ::applicationChanged(const DBusSignal& signal) {
    if (signal.values.size() < 2 || signal.values[0].asString() != kCharacteristic1) return;
    const auto value = signal.values[1].at("Value").asBytes();
    if (!value) return;
    std::lock_guard lock(mutex_);
    for (const auto& app : applications_) {
        if (app.sender != signal.sender) continue;
        for (const auto& [uuid, characteristic] : app.characteristics)
            if (characteristic.first == signal.path) announced_[uuid].push_back(*value);
    }
}

std::vector<Bytes> FakeBlueZ::valuesAnnounced(const CBUUID& characteristic) const {
    std::lock_guard lock(mutex_);
    auto it = announced_.find(characteristic.UUIDString());
    return it == announced_.end() ? std::vector<Bytes>{} : it->second;
}

void FakeBlueZ::registerAdvertisement(const Invocation& call) {
    const std::string path = call->args().at(0).asObjectPath().value_or("");
    if (call->member() == "UnregisterAdvertisement") {
        if (path != advertisementPath_)
            return call->replyError(kError + "DoesNotExist", "Does Not Exist");
        advertisementPath_.clear();
        advertisement_.clear();
        return call->reply();
    }
    if (!advertisementPath_.empty())
        return call->replyError(
            kError + (path == advertisementPath_ ? "AlreadyExists" : "NotPermitted"),
            "Maximum advertisements reached");
    advertisementPath_ = path;
    std::weak_ptr<FakeBlueZ> weak = weak_from_this();
    connection_->getAllProperties(
        call->sender(), path, kAdvertisement1, [weak, call, path](const DBusReply& reply) {
            auto self = weak.lock();
            if (!self) return;
            std::lock_guard lock(self->mutex_);
            std::map<std::string, V> properties;
            for (const auto& entry :
                 reply.values.empty() ? std::vector<V>{} : reply.values[0].items())
                properties[entry.at(0).asString().value_or("")] = entry.at(1).unwrapped();
            const auto type = properties["Type"].asString();
            if (!reply.ok() || (type != "peripheral" && type != "broadcast")) {
                if (self->advertisementPath_ == path) self->advertisementPath_.clear();
                return call->replyError(kError + "InvalidArguments", "Invalid arguments");
            }
            self->advertisement_ = std::move(properties);
            call->reply();
        });
}

std::vector<FakeBlueZ::Application> FakeBlueZ::applications() const {
    std::lock_guard lock(mutex_);
    return applications_;
}

std::map<std::string, DBusValue> FakeBlueZ::advertisement() const {
    std::lock_guard lock(mutex_);
    return advertisement_;
}

void FakeBlueZ::centralCall(const CBUUID& characteristic, std::string member, std::string signature,
                            std::vector<DBusValue> args,
                            std::function<void(const DBusReply&)> done) {
    std::lock_guard lock(mutex_);
    for (const auto& app : applications_) {
        auto it = app.characteristics.find(characteristic.UUIDString());
        if (it == app.characteristics.end()) continue;
        connection_->call(DBusCall{app.sender, it->second.first, kCharacteristic1,
                                   std::move(member), std::move(signature), std::move(args)},
                          std::move(done));
        return;
    }
    connection_->clientQueue()->async([done] {
        done(DBusReply{{kError + "DoesNotExist", "no such characteristic"}, {}});
    });
}

}  // namespace telvo::sim
