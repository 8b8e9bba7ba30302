#include "sim/SimRadio.h"

#include <algorithm>
#include <cstdio>

#include "platform/dispatch/Clock.h"

// Events name only the fields they carry; the rest keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace telvo::sim {

namespace {

const CBUUID kCccd = CBUUID::UUIDWithString(CBUUIDClientCharacteristicConfigurationString);
constexpr const char* kCentral = "5E1AC000-0000-4000-8000-000000000001";

bool listed(const std::optional<std::vector<CBUUID>>& filter, const CBUUID& uuid) {
    return !filter || std::find(filter->begin(), filter->end(), uuid) != filter->end();
}

bool hasCccd(const SimGattCharacteristic& c) {
    return std::any_of(c.descriptors.begin(), c.descriptors.end(),
                       [](const SimGattDescriptor& d) { return d.uuid == kCccd; });
}

bool wantsCccd(const SimGattCharacteristic& c) {
    return (c.properties &
            (CBCharacteristicProperty::Notify | CBCharacteristicProperty::Indicate)) &&
           !hasCccd(c);
}

}  // namespace

// SimBleAppliance

void SimBleAppliance::addConfigService(const std::string& service, const std::string& write,
                                       const std::string& notify) {
    using namespace CBCharacteristicProperty;
    gatt.push_back(SimGattService{
        CBUUID::UUIDWithString(service),
        true,
        {SimGattCharacteristic{CBUUID::UUIDWithString(write), Write | WriteWithoutResponse, {}, {}},
         SimGattCharacteristic{CBUUID::UUIDWithString(notify), Notify, {}, {}}}});
}

SimGattCharacteristic* SimBleAppliance::characteristic(const CBUUID& uuid) {
    for (auto& s : gatt)
        for (auto& c : s.characteristics)
            if (c.uuid == uuid) return &c;
    return nullptr;
}

void SimBleAppliance::setBehaviour(std::shared_ptr<SimBleBehaviour> behaviour) {
    auto radio = radio_.lock();
    if (!radio) {
        behaviour_ = std::move(behaviour);
        return;
    }
    std::lock_guard lock(radio->mutex_);
    behaviour_ = std::move(behaviour);
}

bool SimBleAppliance::notify(const CBUUID& characteristic, const Bytes& value) {
    auto radio = radio_.lock();
    if (!radio) return false;
    std::lock_guard lock(radio->mutex_);
    return radio->notifyLocked(*this, characteristic, value);
}

void SimBleAppliance::loseLink(CBError reason) {
    auto radio = radio_.lock();
    if (!radio) return;
    std::lock_guard lock(radio->mutex_);
    radio->record("link-lost", identifier_, "");
    radio->endLinksLocked(identifier_, reason);
}

bool SimBleAppliance::isConnected() const {
    auto radio = radio_.lock();
    if (!radio) return false;
    std::lock_guard lock(radio->mutex_);
    for (const auto& [key, link] : radio->links_)
        if (key.second == identifier_ && link.established) return true;
    return false;
}

bool SimBleAppliance::isNotifying(const CBUUID& characteristic) const {
    auto radio = radio_.lock();
    if (!radio) return false;
    std::lock_guard lock(radio->mutex_);
    for (const auto& e : SimRadio::table(*this)) {
        if (e.kind != SimRadio::Entry::Kind::Characteristic ||
            gatt[e.service].characteristics[e.characteristic].uuid != characteristic)
            continue;
        for (const auto& [key, link] : radio->links_)
            if (key.second == identifier_ && link.notifying.count(e.handle)) return true;
    }
    return false;
}

// SimRadio

std::shared_ptr<SimRadio> SimRadio::create(CBManagerState state) {
    return std::shared_ptr<SimRadio>(new SimRadio(state));
}

SimRadio::SimRadio(CBManagerState state)
    : queue_(DispatchQueue::createSerial("telvo.sim.radio")), state_(state) {}

SimRadio::~SimRadio() {
    for (auto& [id, c] : clients_)
        for (auto& t : c.timers) t->cancel();
}

void SimRadio::record(std::string op, std::string appliance, std::string target, Bytes data) {
    log_.push_back(
        Op{Clock::now(), std::move(op), std::move(appliance), std::move(target), std::move(data)});
}

std::vector<SimRadio::Op> SimRadio::log() const {
    std::lock_guard lock(mutex_);
    return log_;
}

std::vector<SimRadio::Op> SimRadio::log(const std::string& op) const {
    std::lock_guard lock(mutex_);
    std::vector<Op> out;
    for (const auto& o : log_)
        if (o.op == op) out.push_back(o);
    return out;
}

void SimRadio::clearLog() {
    std::lock_guard lock(mutex_);
    log_.clear();
}

void SimRadio::emit(ClientId client, const RadioEvent& event) {
    auto it = clients_.find(client);
    if (it != clients_.end() && it->second.sink) it->second.sink(event);
}

void SimRadio::emitLater(ClientId client, RadioEvent event) {
    std::weak_ptr<SimRadio> weak = weak_from_this();
    queue_->async([weak, client, event = std::move(event)] {
        auto self = weak.lock();
        if (!self) return;
        std::lock_guard lock(self->mutex_);
        self->emit(client, event);
    });
}

std::shared_ptr<SimBleAppliance> SimRadio::applianceLocked(const std::string& identifier) const {
    for (const auto& a : appliances_)
        if (a->identifier_ == identifier) return a;
    return nullptr;
}

std::vector<SimRadio::Entry> SimRadio::table(const SimBleAppliance& appliance) {
    std::vector<Entry> out;
    uint16_t handle = 1;
    for (size_t s = 0; s < appliance.gatt.size(); ++s) {
        out.push_back({Entry::Kind::Service, handle++, s, 0, 0});
        const auto& chars = appliance.gatt[s].characteristics;
        for (size_t c = 0; c < chars.size(); ++c) {
            out.push_back({Entry::Kind::Characteristic, handle++, s, c, 0});
            size_t count = chars[c].descriptors.size() + (wantsCccd(chars[c]) ? 1 : 0);
            for (size_t d = 0; d < count; ++d)
                out.push_back({Entry::Kind::Descriptor, handle++, s, c, d});
        }
    }
    return out;
}

const SimRadio::Entry* SimRadio::entry(const std::vector<Entry>& table, uint16_t handle) {
    for (const auto& e : table)
        if (e.handle == handle) return &e;
    return nullptr;
}

SimRadio::Link* SimRadio::linkLocked(ClientId client, const std::string& peripheral) {
    auto it = links_.find({client, peripheral});
    return it != links_.end() && it->second.established ? &it->second : nullptr;
}

void SimRadio::onLink(ClientId client, const std::string& peripheral, double delay,
                      std::function<void(SimBleAppliance&, Link&)> action) {
    Link* link = linkLocked(client, peripheral);
    if (!link) return;
    uint64_t generation = link->generation;
    std::weak_ptr<SimRadio> weak = weak_from_this();
    queue_->after(delay, [weak, client, peripheral, generation, action = std::move(action)] {
        auto self = weak.lock();
        if (!self) return;
        std::lock_guard lock(self->mutex_);
        Link* link = self->linkLocked(client, peripheral);
        auto appliance = self->applianceLocked(peripheral);
        if (!link || link->generation != generation || !appliance) return;
        action(*appliance, *link);
    });
}

void SimRadio::setState(CBManagerState state) {
    std::lock_guard lock(mutex_);
    state_ = state;
    record("power", "", std::to_string(static_cast<int>(state)));
    for (auto& [id, c] : clients_) emit(id, RadioEvent{.state = state});
    if (state == CBManagerState::PoweredOn) return;
    for (auto& [id, c] : clients_) {
        stopScanLocked(c);
        c.advertisement.reset();
    }
    for (const auto& a : appliances_)
        endLinksLocked(a->identifier_, CBError::PeripheralDisconnected);
}

std::shared_ptr<SimBleAppliance> SimRadio::addAppliance(std::optional<std::string> name) {
    std::lock_guard lock(mutex_);
    char id[40];
    std::snprintf(id, sizeof id, "5E1A0000-0000-4000-8000-%012X", ++nextAppliance_);
    std::shared_ptr<SimBleAppliance> appliance(new SimBleAppliance(id, weak_from_this()));
    appliance->name = std::move(name);
    appliances_.push_back(appliance);
    for (auto& [client, c] : clients_) {
        if (!c.scanning) continue;
        stopScanLocked(c);
        c.scanning = true;
        startAdvertisersLocked(client, c);
    }
    return appliance;
}

void SimRadio::removeAppliance(const std::shared_ptr<SimBleAppliance>& appliance) {
    std::lock_guard lock(mutex_);
    endLinksLocked(appliance->identifier_, CBError::PeripheralDisconnected);
    std::erase(appliances_, appliance);
}

BluetoothRadio::ClientId SimRadio::attach(EventSink sink) {
    std::lock_guard lock(mutex_);
    ClientId id = ++nextClient_;
    clients_[id].sink = std::move(sink);
    record("attach", "", std::to_string(id));
    emit(id, RadioEvent{.state = state_});
    return id;
}

void SimRadio::detach(ClientId client) {
    std::lock_guard lock(mutex_);
    auto it = clients_.find(client);
    if (it == clients_.end()) return;
    record("detach", "", std::to_string(client));
    stopScanLocked(it->second);
    for (auto l = links_.begin(); l != links_.end();) {
        if (l->first.first != client) {
            ++l;
            continue;
        }
        auto appliance = applianceLocked(l->first.second);
        bool established = l->second.established;
        l = links_.erase(l);
        if (appliance && established && appliance->behaviour_)
            appliance->behaviour_->onDisconnected(*appliance);
    }
    clients_.erase(it);
}

CBManagerState SimRadio::state() {
    std::lock_guard lock(mutex_);
    return state_;
}

// Scanning

Dictionary SimRadio::advertisementOf(const SimBleAppliance& a) const {
    Dictionary adv;
    if (a.localName) adv.set(CBAdvertisementDataLocalNameKey, *a.localName);
    if (a.manufacturerData) adv.set(CBAdvertisementDataManufacturerDataKey, *a.manufacturerData);
    if (!a.advertisedServices.empty()) {
        Value::Array uuids;
        for (const auto& u : a.advertisedServices) uuids.push_back(u.UUIDString());
        adv.set(CBAdvertisementDataServiceUUIDsKey, std::move(uuids));
    }
    if (a.connectable) adv.set(CBAdvertisementDataIsConnectable, *a.connectable);
    return adv;
}

void SimRadio::startScan(ClientId client, const std::optional<std::vector<CBUUID>>& services,
                         bool allowDuplicates) {
    std::lock_guard lock(mutex_);
    auto it = clients_.find(client);
    if (it == clients_.end()) return;
    record("scan", "", allowDuplicates ? "duplicates" : "");
    if (state_ != CBManagerState::PoweredOn) return;
    Client& c = it->second;
    stopScanLocked(c);
    c.scanning = true;
    c.scanServices = services;
    c.allowDuplicates = allowDuplicates;
    c.reported.clear();
    c.advertisements.clear();
    startAdvertisersLocked(client, c);
}

void SimRadio::startAdvertisersLocked(ClientId client, Client& c) {
    uint64_t generation = ++c.scanGeneration;
    std::weak_ptr<SimRadio> weak = weak_from_this();
    for (const auto& a : appliances_) {
        std::string id = a->identifier_;
        auto timer = DispatchTimer::create(queue_, [weak, client, generation, id] {
            if (auto self = weak.lock()) self->advertise(client, generation, id);
        });
        timer->start(a->advertisingInterval, a->advertisingInterval);
        c.timers.push_back(timer);
    }
}

void SimRadio::stopScanLocked(Client& c) {
    c.scanning = false;
    ++c.scanGeneration;
    for (auto& t : c.timers) t->cancel();
    c.timers.clear();
}

void SimRadio::stopScan(ClientId client) {
    std::lock_guard lock(mutex_);
    auto it = clients_.find(client);
    if (it == clients_.end()) return;
    record("stop-scan", "", "");
    stopScanLocked(it->second);
}

void SimRadio::advertise(ClientId client, uint64_t generation, const std::string& identifier) {
    std::lock_guard lock(mutex_);
    auto it = clients_.find(client);
    auto appliance = applianceLocked(identifier);
    if (it == clients_.end() || !appliance || state_ != CBManagerState::PoweredOn) return;
    Client& c = it->second;
    if (!c.scanning || c.scanGeneration != generation || !appliance->advertising) return;
    if (c.scanServices) {
        bool match =
            std::any_of(appliance->advertisedServices.begin(), appliance->advertisedServices.end(),
                        [&](const CBUUID& u) { return listed(c.scanServices, u); });
        if (!match) return;
    }
    size_t n = c.advertisements[identifier]++;
    const auto& rssi = appliance->rssi;
    RadioEvent e{.kind = RadioEvent::Kind::Discovered,
                 .peripheral = identifier,
                 .name = appliance->name,
                 .advertisement = advertisementOf(*appliance),
                 .rssi = rssi.empty() ? 127 : rssi[std::min(n, rssi.size() - 1)]};
    auto reported = c.reported.find(identifier);
    if (!c.allowDuplicates && reported != c.reported.end() && reported->second == e.advertisement)
        return;
    c.reported[identifier] = e.advertisement;
    emit(client, e);
}

std::optional<std::optional<std::string>> SimRadio::knownPeripheral(const std::string& peripheral) {
    std::lock_guard lock(mutex_);
    if (auto a = applianceLocked(peripheral)) return a->name;
    return std::nullopt;
}

std::vector<std::pair<std::string, std::optional<std::string>>> SimRadio::connectedPeripherals(
    const std::vector<CBUUID>& services) {
    std::lock_guard lock(mutex_);
    std::vector<std::pair<std::string, std::optional<std::string>>> out;
    for (const auto& a : appliances_) {
        bool linked = std::any_of(links_.begin(), links_.end(), [&](const auto& l) {
            return l.first.second == a->identifier_ && l.second.established;
        });
        bool offers = std::any_of(a->gatt.begin(), a->gatt.end(), [&](const SimGattService& s) {
            return std::find(services.begin(), services.end(), s.uuid) != services.end();
        });
        if (linked && offers) out.emplace_back(a->identifier_, a->name);
    }
    return out;
}

// Links

void SimRadio::connect(ClientId client, const std::string& peripheral) {
    std::lock_guard lock(mutex_);
    record("connect", peripheral, "");
    auto appliance = applianceLocked(peripheral);
    if (!appliance || state_ != CBManagerState::PoweredOn || !clients_.count(client)) return;
    Link& link = links_[{client, peripheral}];
    link = Link{++nextGeneration_, false, {}};
    if (appliance->connectOutcome == SimBleAppliance::ConnectOutcome::Hang) return;
    uint64_t generation = link.generation;
    std::weak_ptr<SimRadio> weak = weak_from_this();
    queue_->after(appliance->connectDelay, [weak, client, peripheral, generation] {
        auto self = weak.lock();
        if (!self) return;
        std::lock_guard lock(self->mutex_);
        auto it = self->links_.find({client, peripheral});
        auto appliance = self->applianceLocked(peripheral);
        if (it == self->links_.end() || it->second.generation != generation || !appliance) return;
        RadioEvent e{.peripheral = peripheral};
        if (appliance->connectOutcome == SimBleAppliance::ConnectOutcome::Fail) {
            self->links_.erase(it);
            self->record("connect-failed", peripheral, "");
            e.kind = RadioEvent::Kind::ConnectFailed;
            e.error = makeCBError(CBError::ConnectionFailed);
            self->emit(client, e);
            return;
        }
        it->second.established = true;
        self->record("connected", peripheral, "");
        e.kind = RadioEvent::Kind::Connected;
        self->emit(client, e);
        if (appliance->behaviour_) appliance->behaviour_->onConnected(*appliance);
    });
}

void SimRadio::cancelConnection(ClientId client, const std::string& peripheral) {
    std::lock_guard lock(mutex_);
    auto it = links_.find({client, peripheral});
    if (it == links_.end()) return;
    record("cancel", peripheral, "");
    bool established = it->second.established;
    links_.erase(it);
    auto appliance = applianceLocked(peripheral);
    if (appliance && established && appliance->behaviour_)
        appliance->behaviour_->onDisconnected(*appliance);
}

void SimRadio::endLinksLocked(const std::string& appliance, CBError reason) {
    auto a = applianceLocked(appliance);
    for (auto it = links_.begin(); it != links_.end();) {
        if (it->first.second != appliance) {
            ++it;
            continue;
        }
        ClientId client = it->first.first;
        bool established = it->second.established;
        it = links_.erase(it);
        RadioEvent e{
            .kind = established ? RadioEvent::Kind::Disconnected : RadioEvent::Kind::ConnectFailed,
            .peripheral = appliance,
            .error = makeCBError(reason)};
        emit(client, e);
        if (a && established && a->behaviour_) a->behaviour_->onDisconnected(*a);
    }
}

// GATT

void SimRadio::discoverServices(ClientId client, const std::string& peripheral,
                                const std::optional<std::vector<CBUUID>>& uuids) {
    std::lock_guard lock(mutex_);
    record("discover-services", peripheral, "");
    auto appliance = applianceLocked(peripheral);
    if (!appliance) return;
    onLink(client, peripheral, appliance->responseDelay,
           [this, client, peripheral, uuids](SimBleAppliance& a, Link&) {
               RadioEvent e{.kind = RadioEvent::Kind::ServicesDiscovered, .peripheral = peripheral};
               if (a.serviceDiscoveryError) {
                   e.error = makeCBATTError(*a.serviceDiscoveryError);
                   return emit(client, e);
               }
               for (const auto& entry : table(a)) {
                   if (entry.kind != Entry::Kind::Service) continue;
                   const auto& s = a.gatt[entry.service];
                   if (listed(uuids, s.uuid))
                       e.services.push_back({entry.handle, s.uuid, s.primary});
               }
               emit(client, e);
           });
}

void SimRadio::discoverIncludedServices(ClientId client, const std::string& peripheral,
                                        uint16_t service,
                                        const std::optional<std::vector<CBUUID>>&) {
    std::lock_guard lock(mutex_);
    record("discover-included-services", peripheral, "");
    auto appliance = applianceLocked(peripheral);
    if (!appliance) return;
    onLink(client, peripheral, appliance->responseDelay,
           [this, client, peripheral, service](SimBleAppliance&, Link&) {
               RadioEvent e{.kind = RadioEvent::Kind::IncludedServicesDiscovered,
                            .peripheral = peripheral,
                            .handle = service};
               emit(client, e);
           });
}

std::vector<RadioCharacteristic> SimRadio::characteristicsOf(const SimBleAppliance& a,
                                                             size_t service,
                                                             const std::vector<Entry>& t) const {
    std::vector<RadioCharacteristic> out;
    for (const auto& entry : t) {
        if (entry.kind != Entry::Kind::Characteristic || entry.service != service) continue;
        const auto& c = a.gatt[service].characteristics[entry.characteristic];
        out.push_back({entry.handle, c.uuid, c.properties});
    }
    return out;
}

void SimRadio::discoverCharacteristics(ClientId client, const std::string& peripheral,
                                       uint16_t service,
                                       const std::optional<std::vector<CBUUID>>& uuids) {
    std::lock_guard lock(mutex_);
    record("discover-characteristics", peripheral, "");
    auto appliance = applianceLocked(peripheral);
    if (!appliance) return;
    onLink(client, peripheral, appliance->responseDelay,
           [this, client, peripheral, service, uuids](SimBleAppliance& a, Link&) {
               auto t = table(a);
               const Entry* s = entry(t, service);
               RadioEvent e{.kind = RadioEvent::Kind::CharacteristicsDiscovered,
                            .peripheral = peripheral,
                            .handle = service};
               if (!s || s->kind != Entry::Kind::Service) {
                   e.error = makeCBATTError(CBATTError::InvalidHandle);
               } else if (a.characteristicDiscoveryError) {
                   e.error = makeCBATTError(*a.characteristicDiscoveryError);
               } else {
                   for (const auto& c : characteristicsOf(a, s->service, t))
                       if (listed(uuids, c.uuid)) e.characteristics.push_back(c);
               }
               emit(client, e);
           });
}

void SimRadio::discoverDescriptors(ClientId client, const std::string& peripheral,
                                   uint16_t characteristic) {
    std::lock_guard lock(mutex_);
    record("discover-descriptors", peripheral, "");
    auto appliance = applianceLocked(peripheral);
    if (!appliance) return;
    onLink(client, peripheral, appliance->responseDelay,
           [this, client, peripheral, characteristic](SimBleAppliance& a, Link&) {
               auto t = table(a);
               const Entry* c = entry(t, characteristic);
               RadioEvent e{.kind = RadioEvent::Kind::DescriptorsDiscovered,
                            .peripheral = peripheral,
                            .handle = characteristic};
               if (!c || c->kind != Entry::Kind::Characteristic) {
                   e.error = makeCBATTError(CBATTError::InvalidHandle);
               } else {
                   const auto& ch = a.gatt[c->service].characteristics[c->characteristic];
                   for (const auto& d : t) {
                       if (d.kind != Entry::Kind::Descriptor || d.service != c->service ||
                           d.characteristic != c->characteristic)
                           continue;
                       bool extra = d.descriptor >= ch.descriptors.size();
                       e.descriptors.push_back(
                           {d.handle, extra ? kCccd : ch.descriptors[d.descriptor].uuid});
                   }
               }
               emit(client, e);
           });
}

void SimRadio::read(ClientId client, const std::string& peripheral, uint16_t handle) {
    std::lock_guard lock(mutex_);
    record("read", peripheral, std::to_string(handle));
    auto appliance = applianceLocked(peripheral);
    if (!appliance) return;
    onLink(client, peripheral, appliance->responseDelay,
           [this, client, peripheral, handle](SimBleAppliance& a, Link& link) {
               auto t = table(a);
               const Entry* en = entry(t, handle);
               RadioEvent e{.kind = RadioEvent::Kind::ValueUpdated,
                            .peripheral = peripheral,
                            .handle = handle};
               if (!en || en->kind == Entry::Kind::Service) {
                   e.error = makeCBATTError(CBATTError::InvalidHandle);
               } else if (en->kind == Entry::Kind::Characteristic) {
                   auto& c = a.gatt[en->service].characteristics[en->characteristic];
                   if (!(c.properties & CBCharacteristicProperty::Read)) {
                       e.error = makeCBATTError(CBATTError::ReadNotPermitted);
                   } else {
                       auto answer = a.behaviour_ ? a.behaviour_->onRead(a, c.uuid) : std::nullopt;
                       e.value = answer ? *answer : c.value;
                   }
               } else {
                   const auto& c = a.gatt[en->service].characteristics[en->characteristic];
                   bool extra = en->descriptor >= c.descriptors.size();
                   if (extra || c.descriptors[en->descriptor].uuid == kCccd) {
                       uint16_t owner = 0;
                       for (const auto& x : t)
                           if (x.kind == Entry::Kind::Characteristic && x.service == en->service &&
                               x.characteristic == en->characteristic)
                               owner = x.handle;
                       e.value = {static_cast<uint8_t>(link.notifying.count(owner) ? 1 : 0), 0};
                   } else {
                       e.value = c.descriptors[en->descriptor].value;
                   }
               }
               if (!linkLocked(client, peripheral)) return;
               emit(client, e);
           });
}

void SimRadio::write(ClientId client, const std::string& peripheral, uint16_t handle,
                     const Bytes& value, bool withResponse) {
    std::lock_guard lock(mutex_);
    auto appliance = applianceLocked(peripheral);
    if (!appliance || !linkLocked(client, peripheral)) return;
    auto t = table(*appliance);
    const Entry* en = entry(t, handle);
    std::string target = std::to_string(handle);
    if (en && en->kind != Entry::Kind::Service)
        target = appliance->gatt[en->service].characteristics[en->characteristic].uuid.UUIDString();
    if (!withResponse) {
        bool allowed =
            en && en->kind == Entry::Kind::Characteristic &&
            (appliance->gatt[en->service].characteristics[en->characteristic].properties &
             CBCharacteristicProperty::WriteWithoutResponse) &&
            value.size() + 3 <= appliance->attMtu;
        record(allowed ? "write-without-response" : "write-dropped", peripheral, target, value);
        if (!allowed) return;
        onLink(client, peripheral, appliance->responseDelay,
               [en = *en, value](SimBleAppliance& a, Link&) {
                   auto& c = a.gatt[en.service].characteristics[en.characteristic];
                   c.value = value;
                   if (a.behaviour_) a.behaviour_->onWrite(a, c.uuid, value, false);
               });
        return;
    }
    record("write", peripheral, target, value);
    onLink(client, peripheral, appliance->writeResponseDelay,
           [this, client, peripheral, handle, value](SimBleAppliance& a, Link&) {
               auto t = table(a);
               const Entry* en = entry(t, handle);
               CBATTError result = CBATTError::Success;
               if (!en || en->kind == Entry::Kind::Service) {
                   result = CBATTError::InvalidHandle;
               } else if (en->kind == Entry::Kind::Descriptor) {
                   auto& c = a.gatt[en->service].characteristics[en->characteristic];
                   if (en->descriptor >= c.descriptors.size() ||
                       c.descriptors[en->descriptor].uuid == kCccd)
                       result = CBATTError::WriteNotPermitted;
                   else
                       c.descriptors[en->descriptor].value = value;
               } else {
                   auto& c = a.gatt[en->service].characteristics[en->characteristic];
                   if (!(c.properties & CBCharacteristicProperty::Write)) {
                       result = CBATTError::WriteNotPermitted;
                   } else if (value.size() > a.maxWriteWithResponse) {
                       result = CBATTError::InvalidAttributeValueLength;
                   } else {
                       c.value = value;
                       if (a.behaviour_) result = a.behaviour_->onWrite(a, c.uuid, value, true);
                   }
               }
               // The behaviour may have dropped the link.
               if (!linkLocked(client, peripheral)) return;
               RadioEvent e{.kind = RadioEvent::Kind::ValueWritten,
                            .peripheral = peripheral,
                            .handle = handle,
                            .error = makeCBATTError(result)};
               emit(client, e);
           });
}

void SimRadio::setNotify(ClientId client, const std::string& peripheral, uint16_t characteristic,
                         bool enabled) {
    std::lock_guard lock(mutex_);
    auto appliance = applianceLocked(peripheral);
    if (!appliance) return;
    record(enabled ? "notify-on" : "notify-off", peripheral, std::to_string(characteristic));
    onLink(client, peripheral, appliance->responseDelay,
           [this, client, peripheral, characteristic, enabled](SimBleAppliance& a, Link& link) {
               auto t = table(a);
               const Entry* en = entry(t, characteristic);
               RadioEvent e{.kind = RadioEvent::Kind::NotifyStateChanged,
                            .peripheral = peripheral,
                            .handle = characteristic,
                            .notifying = enabled};
               const SimGattCharacteristic* c =
                   en && en->kind == Entry::Kind::Characteristic
                       ? &a.gatt[en->service].characteristics[en->characteristic]
                       : nullptr;
               if (!c) {
                   e.error = makeCBATTError(CBATTError::InvalidHandle);
               } else if (!(c->properties & (CBCharacteristicProperty::Notify |
                                             CBCharacteristicProperty::Indicate))) {
                   e.error = makeCBATTError(CBATTError::RequestNotSupported);
               } else if (enabled) {
                   link.notifying.insert(characteristic);
               } else {
                   link.notifying.erase(characteristic);
               }
               e.notifying = link.notifying.count(characteristic) > 0;
               emit(client, e);
               if (c && !e.error && a.behaviour_)
                   a.behaviour_->onNotifyChanged(a, c->uuid, enabled);
           });
}

bool SimRadio::notifyLocked(SimBleAppliance& appliance, const CBUUID& characteristic,
                            const Bytes& value) {
    uint16_t handle = 0;
    for (const auto& e : table(appliance))
        if (e.kind == Entry::Kind::Characteristic &&
            appliance.gatt[e.service].characteristics[e.characteristic].uuid == characteristic)
            handle = e.handle;
    bool sent = false;
    for (auto& [key, link] : links_) {
        if (key.second != appliance.identifier_ || !link.established ||
            !link.notifying.count(handle))
            continue;
        sent = true;
        ClientId client = key.first;
        std::string peripheral = key.second;
        onLink(client, peripheral, appliance.responseDelay,
               [this, client, peripheral, handle, value](SimBleAppliance&, Link& link) {
                   if (!link.notifying.count(handle)) return;
                   RadioEvent e{.kind = RadioEvent::Kind::ValueUpdated,
                                .peripheral = peripheral,
                                .handle = handle,
                                .value = value};
                   emit(client, e);
               });
    }
    record(sent ? "notify" : "notify-dropped", appliance.identifier_, characteristic.UUIDString(),
           value);
    return sent;
}

void SimRadio::readRSSI(ClientId client, const std::string& peripheral) {
    std::lock_guard lock(mutex_);
    auto appliance = applianceLocked(peripheral);
    if (!appliance) return;
    record("read-rssi", peripheral, "");
    onLink(client, peripheral, appliance->responseDelay,
           [this, client, peripheral](SimBleAppliance& a, Link&) {
               RadioEvent e{.kind = RadioEvent::Kind::RSSIRead,
                            .peripheral = peripheral,
                            .rssi = a.rssi.empty() ? 127 : a.rssi.back()};
               emit(client, e);
           });
}

size_t SimRadio::maximumWriteLength(ClientId client, const std::string& peripheral,
                                    bool withResponse) {
    std::lock_guard lock(mutex_);
    auto appliance = applianceLocked(peripheral);
    if (!appliance || !linkLocked(client, peripheral)) return 20;
    return withResponse ? appliance->maxWriteWithResponse : appliance->attMtu - 3u;
}

// Peripheral role

void SimRadio::addService(ClientId client, const RadioLocalService& service) {
    std::lock_guard lock(mutex_);
    auto it = clients_.find(client);
    if (it == clients_.end()) return;
    record("add-service", "", service.service.uuid.UUIDString());
    it->second.services.push_back(service);
    emitLater(client,
              RadioEvent{.kind = RadioEvent::Kind::ServiceAdded, .handle = service.service.handle});
}

void SimRadio::removeService(ClientId client, uint16_t service) {
    std::lock_guard lock(mutex_);
    auto it = clients_.find(client);
    if (it == clients_.end()) return;
    record("remove-service", "", std::to_string(service));
    std::erase_if(it->second.services,
                  [&](const RadioLocalService& s) { return s.service.handle == service; });
}

void SimRadio::startAdvertising(ClientId client, const Dictionary& advertisement) {
    std::lock_guard lock(mutex_);
    auto it = clients_.find(client);
    if (it == clients_.end()) return;
    record("advertise", "", advertisement[CBAdvertisementDataLocalNameKey].text());
    ErrorPtr error;
    if (it->second.advertisement)
        error = makeCBError(CBError::AlreadyAdvertising);
    else
        it->second.advertisement = advertisement;
    emitLater(client, RadioEvent{.kind = RadioEvent::Kind::AdvertisingStarted, .error = error});
}

void SimRadio::stopAdvertising(ClientId client) {
    std::lock_guard lock(mutex_);
    auto it = clients_.find(client);
    if (it == clients_.end()) return;
    record("stop-advertising", "", "");
    it->second.advertisement.reset();
}

Dictionary SimRadio::localAdvertisement() const {
    std::lock_guard lock(mutex_);
    for (const auto& [id, c] : clients_)
        if (c.advertisement) return *c.advertisement;
    return {};
}

std::vector<CBUUID> SimRadio::localServices() const {
    std::lock_guard lock(mutex_);
    std::vector<CBUUID> out;
    for (const auto& [id, c] : clients_)
        for (const auto& s : c.services) out.push_back(s.service.uuid);
    return out;
}

void SimRadio::localRequest(RadioEvent::Kind kind, const CBUUID& characteristic, const Bytes& value,
                            bool subscribed) {
    std::lock_guard lock(mutex_);
    for (auto& [id, c] : clients_) {
        for (const auto& s : c.services) {
            for (const auto& ch : s.characteristics) {
                if (ch.uuid != characteristic) continue;
                RadioEvent e{.kind = kind, .central = kCentral};
                e.handle = ch.handle;
                if (kind == RadioEvent::Kind::Subscribed && !subscribed)
                    e.kind = RadioEvent::Kind::Unsubscribed;
                if (kind == RadioEvent::Kind::ReadRequest ||
                    kind == RadioEvent::Kind::WriteRequests)
                    e.requests.push_back({++nextRequest_, kCentral, ch.handle, 0, value});
                record("central-request", "", characteristic.UUIDString(), value);
                emitLater(id, e);
                return;
            }
        }
    }
}

void SimRadio::centralWrite(const CBUUID& characteristic, const Bytes& value) {
    localRequest(RadioEvent::Kind::WriteRequests, characteristic, value, false);
}

void SimRadio::centralRead(const CBUUID& characteristic) {
    localRequest(RadioEvent::Kind::ReadRequest, characteristic, {}, false);
}

void SimRadio::centralSubscribe(const CBUUID& characteristic, bool subscribed) {
    localRequest(RadioEvent::Kind::Subscribed, characteristic, {}, subscribed);
}

void SimRadio::respond(ClientId, uint64_t request, CBATTError result, const Bytes& value) {
    std::lock_guard lock(mutex_);
    record("respond", "", std::to_string(request) + ":" + std::to_string(static_cast<int>(result)),
           value);
}

bool SimRadio::updateValue(ClientId, uint16_t characteristic, const Bytes& value,
                           const std::vector<std::string>&) {
    std::lock_guard lock(mutex_);
    record("update-value", "", std::to_string(characteristic), value);
    return true;
}

}  // namespace telvo::sim
