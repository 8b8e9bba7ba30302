#include "platform/bluetooth/BlueZRadio.h"

#include <algorithm>

#include "platform/foundation/Diagnostics.h"

// Events name only the fields they carry; the rest keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace telvo {

using namespace bluez;

namespace {

constexpr const char* kBus = "org.freedesktop.DBus";
// The Device1 properties an advertisement is read from.
constexpr const char* kAdvertised[] = {"RSSI",        "Name",  "ManufacturerData",
                                       "ServiceData", "UUIDs", "TxPower"};

bool contains(const std::vector<std::string>& names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

bool advertisesOneOf(const Dictionary& advertisement, const std::vector<CBUUID>& services) {
    const Value* uuids = advertisement.find(CBAdvertisementDataServiceUUIDsKey);
    if (!uuids || !uuids->isArray()) return false;
    for (const auto& text : uuids->array()) {
        auto uuid = text.isText() ? CBUUID::fromString(text.text()) : std::nullopt;
        if (uuid && std::find(services.begin(), services.end(), *uuid) != services.end())
            return true;
    }
    return false;
}

}  // namespace

std::shared_ptr<BlueZRadio> BlueZRadio::open(const std::string& address) {
    auto queue = DispatchQueue::createSerial("telvo.bluez");
    DBusError error;
    auto connection = address.empty() ? DBusConnection::openSystemBus(&error, queue)
                                      : DBusConnection::openAddress(address, &error, queue);
    if (!connection) return nullptr;
    std::shared_ptr<BlueZRadio> radio(new BlueZRadio(std::move(connection), std::move(queue)));
    radio->start();
    return radio;
}

BlueZRadio::BlueZRadio(std::shared_ptr<DBusConnection> connection, DispatchQueuePtr queue)
    : connection_(std::move(connection)), queue_(std::move(queue)) {}

BlueZRadio::~BlueZRadio() {
    // Nothing else can hold the radio now (handlers hold it while they run).
    for (auto& slot : slots_) slot->cancel();
}

uint64_t BlueZRadio::messagesSent() const {
    return connection_->messagesSent();
}

void BlueZRadio::start() {
    // BlueZ's objects are read once the three subscriptions are in place, so that no change
    // falls between the answer and the first signal.
    auto installed = std::make_shared<int>(0);
    auto onInstalled = guarded([installed](BlueZRadio& r, const DBusError& error) {
        if (error.isSet())
            platformDiagnostic("bluez: a subscription was refused: %s", error.message.c_str());
        if (++*installed == 3) r.load();
    });
    std::vector<std::shared_ptr<DBusSlot>> slots;
    slots.push_back(connection_->subscribe(
        DBusMatch{.sender = kService, .interface = kObjectManager},
        guarded([](BlueZRadio& r, const DBusSignal& s) { r.onObjectManager(s); }), onInstalled));
    slots.push_back(connection_->subscribe(
        DBusMatch{.sender = kService,
                  .pathNamespace = "/org/bluez",
                  .interface = kProperties,
                  .member = "PropertiesChanged"},
        guarded([](BlueZRadio& r, const DBusSignal& s) { r.onPropertiesChanged(s); }),
        onInstalled));
    slots.push_back(connection_->subscribe(
        DBusMatch{.sender = kBus, .interface = kBus, .member = "NameOwnerChanged"},
        guarded([](BlueZRadio& r, const DBusSignal& s) { r.onOwnerChanged(s); }), onInstalled));
    std::lock_guard lock(mutex_);
    slots_ = std::move(slots);
}

void BlueZRadio::callBlueZ(std::string path, std::string interface, std::string member,
                           std::string signature, std::vector<DBusValue> args, Reply done,
                           double timeout) {
    connection_->call(DBusCall{kService, std::move(path), std::move(interface), std::move(member),
                               std::move(signature), std::move(args), timeout},
                      guarded([done = std::move(done)](BlueZRadio& r, const DBusReply& reply) {
                          if (done) done(r, reply);
                      }));
}

// --- BlueZ's objects ---------------------------------------------------------------------------

void BlueZRadio::load() {
    const uint64_t generation = ++loadGeneration_;
    callBlueZ("/", kObjectManager, "GetManagedObjects", "", {},
              [generation](BlueZRadio& r, const DBusReply& reply) {
                  if (generation != r.loadGeneration_) return;
                  r.loaded_ = true;
                  r.unauthorized_ = reply.error.is(DBusError::kAccessDenied);
                  if (!reply.ok() || !r.tree_.load(reply.values)) r.tree_.clear();
                  if (reply.ok() && r.tree_.size() == 0 && !reply.values.empty())
                      platformDiagnostic("bluez: the object list could not be read");
                  r.chooseAdapter();
                  r.updateState();
              });
}

void BlueZRadio::onObjectManager(const DBusSignal& signal) {
    if (!loaded_) return;
    if (signal.member == "InterfacesAdded") {
        auto path = tree_.interfacesAdded(signal.values);
        if (!path) return;
        if (tree_.has(*path, kAdapter) && (adapter_.empty() || *path == adapter_)) {
            chooseAdapter();
            updateState();
        }
        if (tree_.has(*path, kDevice)) reportDevice(*path, std::nullopt);
        return;
    }
    if (signal.member != "InterfacesRemoved") return;
    auto removed = tree_.interfacesRemoved(signal.values);
    if (!removed) return;
    for (const auto& interface : removed->interfaces) {
        if (interface == kDevice) {
            endLinks(removed->path, makeCBError(CBError::PeripheralDisconnected));
            for (auto& [id, c] : clients_) c.reported.erase(removed->path);
        } else if (interface == kAdapter && removed->path == adapter_) {
            chooseAdapter();
            updateState();
        } else if (interface == kGattService) {
            serviceRemoved(removed->path);
        } else if (interface == kGattCharacteristic) {
            notify_.erase(removed->path);
        }
    }
}

void BlueZRadio::onPropertiesChanged(const DBusSignal& signal) {
    if (!loaded_) return;
    auto changed = tree_.propertiesChanged(signal.path, signal.values);
    if (!changed) return;
    const auto& names = changed->names;
    if (changed->interface == kAdapter) {
        if (signal.path != adapter_) return;
        if (contains(names, "Address")) chooseAdapter();
        if (contains(names, "Powered")) updateState();
    } else if (changed->interface == kDevice) {
        deviceChanged(signal.path, names);
        if (std::any_of(std::begin(kAdvertised), std::end(kAdvertised),
                        [&](const char* name) { return contains(names, name); }))
            reportDevice(signal.path, std::nullopt);
    } else if (changed->interface == kGattCharacteristic && contains(names, "Value")) {
        valueChanged(signal.path);
    }
}

void BlueZRadio::onOwnerChanged(const DBusSignal& signal) {
    if (signal.values.size() < 3 || signal.values[0].asString() != std::string(kService)) return;
    auto owner = signal.values[2].asString();
    if (!owner) return;
    if (owner->empty()) {
        vanish();
    } else {
        load();
    }
}

void BlueZRadio::vanish() {
    // bluetoothd went away with everything it held for us.
    tree_.clear();
    unauthorized_ = false;
    for (auto& [id, c] : clients_) dropLocal(id, c);
    chooseAdapter();
    updateState();
    for (auto& [path, device] : devices_) device.connecting = device.ours = false;
    discovering_ = false;
    discoveryFilter_.reset();
}

void BlueZRadio::chooseAdapter() {
    if (adapter_.empty() || !tree_.has(adapter_, kAdapter)) {
        auto adapters = tree_.paths(kAdapter);
        adapter_ = adapters.empty() ? std::string() : adapters.front();
    }
    adapterAddress_ = {};
    auto address = stringField(tree_.find(adapter_, kAdapter), "Address");
    if (address.ok())
        if (auto parsed = parseAddress(address.value)) adapterAddress_ = *parsed;
}

void BlueZRadio::updateState() {
    CBManagerState state = CBManagerState::Unknown;
    if (unauthorized_) {
        state = CBManagerState::Unauthorized;
    } else if (adapter_.empty()) {
        state = loaded_ ? CBManagerState::Unsupported : CBManagerState::Unknown;
    } else {
        auto powered = boolField(tree_.find(adapter_, kAdapter), "Powered");
        if (powered.ok())
            state = powered.value ? CBManagerState::PoweredOn : CBManagerState::PoweredOff;
    }
    if (state == state_) return;
    const bool wasOn = state_ == CBManagerState::PoweredOn;
    state_ = state;
    for (auto& [id, c] : clients_) emit(id, RadioEvent{.state = state});
    if (!wasOn) return;
    // Off: scans, links and advertising end (BlueZ ends them too).
    for (auto& [id, c] : clients_) {
        c.scanning = false;
        c.reported.clear();
        dropAdvertisement(c);
    }
    discovering_ = false;
    discoveryFilter_.reset();
    std::set<std::string> linked;
    for (const auto& [key, link] : links_) linked.insert(key.second);
    for (const auto& path : linked) endLinks(path, makeCBError(CBError::PeripheralDisconnected));
    notify_.clear();
}

void BlueZRadio::emit(ClientId client, const RadioEvent& event) {
    auto it = clients_.find(client);
    if (it != clients_.end() && it->second.sink) it->second.sink(event);
}

std::optional<DeviceView> BlueZRadio::device(const std::string& path) const {
    const Properties* p = tree_.find(path, kDevice);
    if (!p) return std::nullopt;
    return readDevice(path, *p);
}

std::string BlueZRadio::identifierOf(const DeviceView& device) const {
    return peripheralIdentifier(adapterAddress_, device.address);
}

std::string BlueZRadio::devicePathOf(const std::string& identifier) const {
    auto addresses = addressesOfIdentifier(identifier);
    if (!addresses || adapter_.empty() || addresses->adapter != adapterAddress_) return {};
    for (const auto& path : tree_.paths(kDevice)) {
        auto d = device(path);
        if (d && d->adapter == adapter_ && d->address == addresses->device) return path;
    }
    return {};
}

std::string BlueZRadio::deviceOf(const std::string& object) const {
    std::string path = object;
    while (!path.empty()) {
        path.resize(path.rfind('/'));
        if (tree_.has(path, kDevice)) return path;
    }
    return {};
}

// --- clients -----------------------------------------------------------------------------------

BluetoothRadio::ClientId BlueZRadio::attach(EventSink sink) {
    std::lock_guard lock(mutex_);
    ClientId id = ++nextClient_;
    clients_[id].sink = std::move(sink);
    emit(id, RadioEvent{.state = state_});
    return id;
}

void BlueZRadio::detach(ClientId client) {
    std::lock_guard lock(mutex_);
    auto it = clients_.find(client);
    if (it == clients_.end()) return;
    it->second.sink = nullptr;
    for (auto link = links_.begin(); link != links_.end();)
        link = link->first.first == client ? dropLink(link) : std::next(link);
    dropLocal(client, it->second);
    clients_.erase(it);
    updateDiscovery();
}

CBManagerState BlueZRadio::state() {
    std::lock_guard lock(mutex_);
    return state_;
}

std::optional<std::optional<std::string>> BlueZRadio::knownPeripheral(
    const std::string& peripheral) {
    std::lock_guard lock(mutex_);
    const std::string path = devicePathOf(peripheral);
    if (path.empty()) return std::nullopt;
    return device(path)->name;
}

std::vector<std::pair<std::string, std::optional<std::string>>> BlueZRadio::connectedPeripherals(
    const std::vector<CBUUID>& services) {
    std::lock_guard lock(mutex_);
    std::vector<std::pair<std::string, std::optional<std::string>>> out;
    const auto gatt = tree_.paths(kGattService);
    for (const auto& path : tree_.paths(kDevice)) {
        auto d = device(path);
        if (!d || d->adapter != adapter_ || !d->connected.valueOr(false)) continue;
        bool offers = std::any_of(gatt.begin(), gatt.end(), [&](const std::string& s) {
            auto uuid = uuidField(tree_.find(s, kGattService), "UUID");
            return isBelow(s, path) && uuid.ok() &&
                   std::find(services.begin(), services.end(), uuid.value) != services.end();
        });
        if (offers) out.emplace_back(identifierOf(*d), d->name);
    }
    return out;
}

// --- scanning ----------------------------------------------------------------------------------

void BlueZRadio::startScan(ClientId client, const std::optional<std::vector<CBUUID>>& services,
                           bool allowDuplicates) {
    std::lock_guard lock(mutex_);
    auto it = clients_.find(client);
    if (it == clients_.end() || state_ != CBManagerState::PoweredOn) return;
    Client& c = it->second;
    c.scanning = true;
    c.services = services;
    c.allowDuplicates = allowDuplicates;
    c.reported.clear();
    ++scanGeneration_;
    updateDiscovery();
    // Devices heard lately (BlueZ keeps their RSSI) count as heard by this scan.
    for (const auto& path : tree_.paths(kDevice)) reportDevice(path, client);
}

void BlueZRadio::stopScan(ClientId client) {
    std::lock_guard lock(mutex_);
    auto it = clients_.find(client);
    if (it == clients_.end()) return;
    it->second.scanning = false;
    it->second.reported.clear();
    ++scanGeneration_;
    updateDiscovery();
}

void BlueZRadio::reportDevice(const std::string& path, std::optional<ClientId> only) {
    auto d = device(path);
    if (!d || d->adapter != adapter_ || state_ != CBManagerState::PoweredOn) return;
    if (only && d->rssi == 127) return;
    const std::string identifier = identifierOf(*d);
    for (auto& [id, c] : clients_) {
        if (!c.scanning || (only && id != *only)) continue;
        if (c.services && !advertisesOneOf(d->advertisement, *c.services)) continue;
        auto reported = c.reported.find(path);
        if (!c.allowDuplicates && reported != c.reported.end() &&
            reported->second == d->advertisement)
            continue;
        c.reported[path] = d->advertisement;
        emit(id, RadioEvent{.kind = RadioEvent::Kind::Discovered,
                            .peripheral = identifier,
                            .name = d->name,
                            .advertisement = d->advertisement,
                            .rssi = d->rssi});
    }
}

void BlueZRadio::updateDiscovery() {
    if (discoveryCalling_) return;
    bool wanted = false, everything = false, duplicates = false;
    std::set<std::string> uuids;
    for (const auto& [id, c] : clients_) {
        if (!c.scanning) continue;
        wanted = true;
        duplicates = duplicates || c.allowDuplicates;
        if (!c.services) everything = true;
        for (const auto& uuid : c.services.value_or(std::vector<CBUUID>{}))
            uuids.insert(uuidText(uuid));
    }
    wanted = wanted && state_ == CBManagerState::PoweredOn && !adapter_.empty();
    if (!wanted) {
        if (!discovering_) return;
        discoveryCalling_ = true;
        callBlueZ(adapter_, kAdapter, "StopDiscovery", "", {}, [](BlueZRadio& r, const DBusReply&) {
            r.discoveryCalling_ = false;
            r.discovering_ = false;
            r.discoveryFilter_.reset();
            r.updateDiscovery();
        });
        return;
    }
    std::vector<std::pair<std::string, DBusValue>> entries{
        {"Transport", DBusValue::ofString("le")}, {"DuplicateData", DBusValue::ofBool(duplicates)}};
    if (!everything && !uuids.empty())
        entries.emplace_back("UUIDs", DBusValue::stringArray({uuids.begin(), uuids.end()}));
    DBusValue filter = DBusValue::propertyMap(std::move(entries));
    if (discovering_ && discoveryFilter_ == filter) return;
    if (!discovering_ && failedGeneration_ == scanGeneration_) return;
    discoveryCalling_ = true;
    const uint64_t generation = scanGeneration_;
    const bool starting = !discovering_;
    callBlueZ(adapter_, kAdapter, "SetDiscoveryFilter", "a{sv}", {filter},
              [filter, starting, generation](BlueZRadio& r, const DBusReply& reply) {
                  // Without the filter BlueZ reports more; the clients' own filters still apply.
                  if (!reply.ok())
                      platformDiagnostic("bluez: SetDiscoveryFilter failed: %s %s",
                                         reply.error.name.c_str(), reply.error.message.c_str());
                  r.discoveryFilter_ = filter;
                  if (!starting || r.adapter_.empty()) {
                      r.discoveryCalling_ = false;
                      r.updateDiscovery();
                      return;
                  }
                  r.callBlueZ(r.adapter_, kAdapter, "StartDiscovery", "", {},
                              [generation](BlueZRadio& r, const DBusReply& reply) {
                                  r.discoveryCalling_ = false;
                                  if (reply.ok() || reply.error.is("org.bluez.Error.InProgress")) {
                                      r.discovering_ = true;
                                  } else {
                                      platformDiagnostic("bluez: StartDiscovery failed: %s %s",
                                                         reply.error.name.c_str(),
                                                         reply.error.message.c_str());
                                      r.failedGeneration_ = generation;
                                      r.discoveryFilter_.reset();
                                  }
                                  r.updateDiscovery();
                              });
              });
}

}  // namespace telvo
