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

bool containsName(const std::vector<std::string>& names, std::string_view name) {
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

std::shared_ptr<DBusConnection> connectTo(const std::string& address,
                                          const DispatchQueuePtr& queue) {
    DBusError error;
    return address.empty() ? DBusConnection::openSystemBus(&error, queue)
                           : DBusConnection::openAddress(address, &error, queue);
}

}  // namespace

std::shared_ptr<BlueZRadio> BlueZRadio::open(const std::string& address, BlueZRadioTiming timing) {
    auto queue = DispatchQueue::createSerial("telvo.bluez");
    auto connection = connectTo(address, queue);
    std::shared_ptr<BlueZRadio> radio(
        new BlueZRadio(std::move(connection), std::move(queue), address, timing));
    Locked locked(*radio);
    if (radio->connection_) {
        radio->start();
    } else {
        // No bus yet (an app started before D-Bus): Unsupported for now, and tried again.
        platformDiagnostic("bluez: no bus connection");
        radio->updateState();
        radio->retryConnect(radio->busRound_);
    }
    return radio;
}

BlueZRadio::BlueZRadio(std::shared_ptr<DBusConnection> connection, DispatchQueuePtr queue,
                       std::string address, BlueZRadioTiming timing)
    : queue_(std::move(queue)),
      address_(std::move(address)),
      timing_(timing),
      connection_(std::move(connection)) {}

BlueZRadio::~BlueZRadio() {
    // Nothing else can hold the radio now (handlers hold it while they run).
    for (auto& slot : slots_) slot->cancel();
}

uint64_t BlueZRadio::messagesSent() const {
    std::lock_guard lock(mutex_);
    return sentBefore_ + (connection_ ? connection_->messagesSent() : 0);
}

void BlueZRadio::deliverEvents(std::unique_lock<std::mutex>& lock) {
    if (delivering_) return;
    delivering_ = true;
    deliverer_ = std::this_thread::get_id();
    while (!outbox_.empty()) {
        Outgoing next = std::move(outbox_.front());
        outbox_.pop_front();
        inSink_ = next.client;
        lock.unlock();
        (*next.sink)(next.event);
        lock.lock();
        inSink_ = 0;
        sinkReturned_.notify_all();
    }
    delivering_ = false;
    deliverer_ = {};
}

void BlueZRadio::start() {
    // BlueZ's objects are read once the three subscriptions are in place, so that no change
    // falls between the answer and the first signal.
    const uint64_t round = busRound_;
    auto installed = std::make_shared<int>(0);
    auto onInstalled = guarded([installed, round](BlueZRadio& r, const DBusError& error) {
        if (round != r.busRound_) return;
        if (error.isSet() && !error.is(DBusError::kDisconnected))
            platformDiagnostic("bluez: a subscription was refused: %s", error.message.c_str());
        if (++*installed == 3) r.load();
    });
    std::weak_ptr<DBusConnection> current = connection_;
    connection_->setDisconnectHandler(
        guarded([current](BlueZRadio& r) { r.busLost(current.lock()); }));
    slots_.push_back(connection_->subscribe(
        DBusMatch{.sender = kService, .interface = kDBusObjectManagerInterface},
        guarded([](BlueZRadio& r, const DBusSignal& s) { r.onObjectManager(s); }), onInstalled));
    slots_.push_back(connection_->subscribe(
        DBusMatch{.sender = kService,
                  .pathNamespace = "/org/bluez",
                  .interface = kDBusPropertiesInterface,
                  .member = "PropertiesChanged"},
        guarded([](BlueZRadio& r, const DBusSignal& s) { r.onPropertiesChanged(s); }),
        onInstalled));
    slots_.push_back(connection_->subscribe(
        DBusMatch{.sender = kBus, .interface = kBus, .member = "NameOwnerChanged"},
        guarded([](BlueZRadio& r, const DBusSignal& s) { r.onOwnerChanged(s); }), onInstalled));
}

void BlueZRadio::callBlueZ(std::string path, std::string interface, std::string member,
                           std::string signature, std::vector<DBusValue> args, Reply done,
                           double timeout) {
    auto handler = guarded([done = std::move(done)](BlueZRadio& r, const DBusReply& reply) {
        if (done) done(r, reply);
    });
    if (!connection_) {
        queue_->async([handler = std::move(handler)] {
            handler(DBusReply{{DBusError::kDisconnected, "the bus connection is lost"}, {}});
        });
        return;
    }
    connection_->call(DBusCall{kService, std::move(path), std::move(interface), std::move(member),
                               std::move(signature), std::move(args), timeout},
                      std::move(handler));
}

double BlueZRadio::nextDelay(double& delay) const {
    delay = delay > 0 ? std::min(delay * 2, timing_.longestRetry) : timing_.firstRetry;
    return delay;
}

// --- BlueZ's objects ---------------------------------------------------------------------------

void BlueZRadio::load() {
    const uint64_t generation = ++loadGeneration_;
    callBlueZ(
        "/", kDBusObjectManagerInterface, "GetManagedObjects", "", {},
        [generation](BlueZRadio& r, const DBusReply& reply) {
            if (generation != r.loadGeneration_) return;
            // A lost bus is taken up by busLost; a silent BlueZ is asked again.
            if (reply.error.is(DBusError::kDisconnected)) return;
            if (reply.error.is(DBusError::kNoReply) || reply.error.is(DBusError::kTimeout)) {
                platformDiagnostic("bluez: GetManagedObjects was not answered: %s",
                                   reply.error.message.c_str());
                return r.loadAgainLater(generation);
            }
            r.loadDelay_ = r.busDelay_ = 0;
            r.loaded_ = true;
            r.unauthorized_ = reply.error.is(DBusError::kAccessDenied);
            if (!reply.ok() || !r.tree_.load(reply.values)) r.tree_.clear();
            if (reply.ok() && r.tree_.size() == 0 && !reply.values.empty())
                platformDiagnostic("bluez: the object list could not be read");
            r.chooseAdapter();
            r.updateState();
        },
        timing_.loadTimeout);
}

void BlueZRadio::loadAgainLater(uint64_t generation) {
    queue_->after(nextDelay(loadDelay_), guarded([generation](BlueZRadio& r) {
                      if (generation == r.loadGeneration_ && r.connection_) r.load();
                  }));
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
    // The device's identifier, while its properties are still known.
    std::string gone;
    if (auto path = signal.values.empty() ? std::nullopt : signal.values[0].asObjectPath())
        if (auto d = device(*path)) gone = identifierOf(*d);
    auto removed = tree_.interfacesRemoved(signal.values);
    if (!removed) return;
    for (const auto& interface : removed->interfaces) {
        if (interface == kDevice) {
            deviceRemoved(removed->path, gone);
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
        if (containsName(names, "Address")) chooseAdapter();
        if (containsName(names, "Powered")) updateState();
    } else if (changed->interface == kDevice) {
        deviceChanged(signal.path, names);
        if (std::any_of(std::begin(kAdvertised), std::end(kAdvertised),
                        [&](const char* name) { return containsName(names, name); }))
            reportDevice(signal.path, std::nullopt);
    } else if (changed->interface == kGattCharacteristic && containsName(names, "Value")) {
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
    // bluetoothd went away with everything it held for us; an answer it still sends is stale.
    ++loadGeneration_;
    loaded_ = true;
    tree_.clear();
    unauthorized_ = false;
    for (auto& [id, c] : clients_) dropLocal(id, c);
    chooseAdapter();
    updateState();
    for (auto& [path, device] : devices_) device.connecting = device.ours = false;
    discovering_ = false;
    discoveryFilter_.reset();
    reads_.clear();
}

void BlueZRadio::busLost(const std::shared_ptr<DBusConnection>& lost) {
    if (!lost || lost != connection_) return;
    platformDiagnostic("bluez: the bus connection was lost");
    sentBefore_ += connection_->messagesSent();
    connection_ = nullptr;
    ++busRound_;
    for (auto& slot : std::exchange(slots_, {})) slot->cancel();
    vanish();
    loaded_ = false;
    reconnect(busRound_);
}

void BlueZRadio::reconnect(uint64_t round) {
    if (round != busRound_ || connection_) return;
    connection_ = connectTo(address_, queue_);
    if (connection_) return start();
    retryConnect(round);
}

void BlueZRadio::retryConnect(uint64_t round) {
    queue_->after(nextDelay(busDelay_), guarded([round](BlueZRadio& r) { r.reconnect(round); }));
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
    if (!connection_) {
        state = busRound_ == 0 ? CBManagerState::Unsupported : CBManagerState::Resetting;
    } else if (unauthorized_) {
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
    if (it != clients_.end() && it->second.sink)
        outbox_.push_back(Outgoing{client, it->second.sink, event});
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
    Locked locked(*this);
    ClientId id = ++nextClient_;
    clients_[id].sink = std::make_shared<const EventSink>(std::move(sink));
    emit(id, RadioEvent{.state = state_});
    return id;
}

void BlueZRadio::detach(ClientId client) {
    Locked locked(*this);
    auto it = clients_.find(client);
    if (it == clients_.end()) return;
    it->second.sink = nullptr;
    for (auto link = links_.begin(); link != links_.end();)
        link = link->first.first == client ? dropLink(link) : std::next(link);
    dropLocal(client, it->second);
    clients_.erase(it);
    updateDiscovery();
    // Nothing reaches the client once detach returns: its queued events go, and a sink of it
    // running on another thread is waited for.
    std::erase_if(outbox_, [&](const Outgoing& o) { return o.client == client; });
    sinkReturned_.wait(locked.lock(), [&] {
        return inSink_ != client || deliverer_ == std::this_thread::get_id();
    });
}

CBManagerState BlueZRadio::state() {
    Locked locked(*this);
    return state_;
}

std::optional<std::optional<std::string>> BlueZRadio::knownPeripheral(
    const std::string& peripheral) {
    Locked locked(*this);
    const std::string path = devicePathOf(peripheral);
    if (path.empty()) return std::nullopt;
    return device(path)->name;
}

std::vector<std::pair<std::string, std::optional<std::string>>> BlueZRadio::connectedPeripherals(
    const std::vector<CBUUID>& services) {
    Locked locked(*this);
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
    Locked locked(*this);
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
    Locked locked(*this);
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

std::optional<DBusValue> BlueZRadio::wantedDiscovery() const {
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
    if (!wanted || state_ != CBManagerState::PoweredOn || adapter_.empty()) return std::nullopt;
    std::vector<std::pair<std::string, DBusValue>> entries{
        {"Transport", DBusValue::ofString("le")}, {"DuplicateData", DBusValue::ofBool(duplicates)}};
    if (!everything && !uuids.empty())
        entries.emplace_back("UUIDs", DBusValue::stringArray({uuids.begin(), uuids.end()}));
    return DBusValue::propertyMap(std::move(entries));
}

void BlueZRadio::updateDiscovery() {
    if (discoveryCalling_) return;
    std::optional<DBusValue> wanted = wantedDiscovery();
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
    const DBusValue& filter = *wanted;
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
                  // The scan may have stopped, or changed, while the filter was on its way.
                  if (!starting || r.wantedDiscovery() != filter) {
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
