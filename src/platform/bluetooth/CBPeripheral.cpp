#include "telvosdk/CBPeripheral.h"

#include <algorithm>

#include "platform/bluetooth/BluetoothFields.h"
#include "platform/bluetooth/BluetoothRadio.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Diagnostics.h"
#include "telvosdk/CBCentralManager.h"

namespace telvo {

namespace {

// Adds the attributes of the list that are not there yet (by handle), keeping handle order.
template <class Object, class Record, class HandleOf, class Make>
void merge(std::vector<std::shared_ptr<Object>>& into, const std::vector<Record>& records,
           HandleOf handleOf, Make make) {
    for (const auto& record : records) {
        auto same = [&](const std::shared_ptr<Object>& o) { return handleOf(*o) == record.handle; };
        if (std::none_of(into.begin(), into.end(), same)) into.push_back(make(record));
    }
    std::sort(into.begin(), into.end(),
              [&](const auto& a, const auto& b) { return handleOf(*a) < handleOf(*b); });
}

}  // namespace

CBPeripheral::CBPeripheral(NSUUID identifier, std::optional<std::string> name,
                           std::weak_ptr<CBCentralManager> manager)
    : key_(identifier.UUIDString()),
      manager_(std::move(manager)),
      identifier_(identifier),
      name_(std::move(name)) {}

CBPeripheralPtr CBPeripheral::make(NSUUID identifier, std::optional<std::string> name,
                                   std::weak_ptr<CBCentralManager> manager) {
    return CBPeripheralPtr(
        new CBPeripheral(std::move(identifier), std::move(name), std::move(manager)));
}

std::optional<std::string> CBPeripheral::name() const {
    std::lock_guard lock(mutex_);
    return name_;
}

void CBPeripheral::setName(std::optional<std::string> name) {
    std::lock_guard lock(mutex_);
    if (name) name_ = std::move(name);
}

CBPeripheralState CBPeripheral::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

void CBPeripheral::setState(CBPeripheralState state) {
    std::lock_guard lock(mutex_);
    state_ = state;
}

std::vector<CBServicePtr> CBPeripheral::services() const {
    std::lock_guard lock(mutex_);
    return services_;
}

void CBPeripheral::setDelegate(std::weak_ptr<CBPeripheralDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

std::shared_ptr<CBPeripheralDelegate> CBPeripheral::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

std::optional<CBPeripheral::Link> CBPeripheral::connectedLink(const char* operation) const {
    auto manager = manager_.lock();
    if (!manager || state() != CBPeripheralState::Connected) {
        platformDiagnostic("API MISUSE: %s needs a connected peripheral", operation);
        return std::nullopt;
    }
    return Link{bt::Access::radio(*manager), bt::Access::client(*manager)};
}

bool CBPeripheral::owns(const CBAttribute* attribute) const {
    if (auto d = dynamic_cast<const CBDescriptor*>(attribute)) {
        auto c = d->characteristic();
        return c && owns(c.get());
    }
    if (auto c = dynamic_cast<const CBCharacteristic*>(attribute)) {
        auto s = c->service();
        return s && owns(s.get());
    }
    if (auto s = dynamic_cast<const CBService*>(attribute)) return s->peripheral().get() == this;
    return false;
}

void CBPeripheral::discoverServices(const std::optional<std::vector<CBUUID>>& uuids) {
    if (auto link = connectedLink("discoverServices"))
        link->radio->discoverServices(link->client, key_, uuids);
}

void CBPeripheral::discoverIncludedServices(const std::optional<std::vector<CBUUID>>& uuids,
                                            const CBServicePtr& service) {
    if (!service || !owns(service.get())) return;
    if (auto link = connectedLink("discoverIncludedServices"))
        link->radio->discoverIncludedServices(link->client, key_, bt::Access::handle(*service),
                                              uuids);
}

void CBPeripheral::discoverCharacteristics(const std::optional<std::vector<CBUUID>>& uuids,
                                           const CBServicePtr& service) {
    if (!service || !owns(service.get())) return;
    if (auto link = connectedLink("discoverCharacteristics"))
        link->radio->discoverCharacteristics(link->client, key_, bt::Access::handle(*service),
                                             uuids);
}

void CBPeripheral::discoverDescriptorsForCharacteristic(const CBCharacteristicPtr& characteristic) {
    if (!characteristic || !owns(characteristic.get())) return;
    if (auto link = connectedLink("discoverDescriptorsForCharacteristic"))
        link->radio->discoverDescriptors(link->client, key_, bt::Access::handle(*characteristic));
}

void CBPeripheral::readValueForCharacteristic(const CBCharacteristicPtr& characteristic) {
    if (!characteristic || !owns(characteristic.get())) return;
    if (auto link = connectedLink("readValueForCharacteristic"))
        link->radio->read(link->client, key_, bt::Access::handle(*characteristic));
}

void CBPeripheral::readValueForDescriptor(const CBDescriptorPtr& descriptor) {
    if (!descriptor || !owns(descriptor.get())) return;
    if (auto link = connectedLink("readValueForDescriptor"))
        link->radio->read(link->client, key_, bt::Access::handle(*descriptor));
}

void CBPeripheral::writeValue(const Bytes& data, const CBCharacteristicPtr& characteristic,
                              CBCharacteristicWriteType type) {
    if (!characteristic || !owns(characteristic.get())) return;
    if (auto link = connectedLink("writeValue"))
        link->radio->write(link->client, key_, bt::Access::handle(*characteristic), data,
                           type == CBCharacteristicWriteType::WithResponse);
}

void CBPeripheral::writeValueForDescriptor(const Bytes& data, const CBDescriptorPtr& descriptor) {
    if (!descriptor || !owns(descriptor.get())) return;
    if (descriptor->UUID() ==
        CBUUID::UUIDWithString(CBUUIDClientCharacteristicConfigurationString)) {
        platformDiagnostic("API MISUSE: use setNotifyValue for the client configuration");
        return;
    }
    if (auto link = connectedLink("writeValueForDescriptor"))
        link->radio->write(link->client, key_, bt::Access::handle(*descriptor), data, true);
}

void CBPeripheral::setNotifyValue(bool enabled, const CBCharacteristicPtr& characteristic) {
    if (!characteristic || !owns(characteristic.get())) return;
    if (auto link = connectedLink("setNotifyValue"))
        link->radio->setNotify(link->client, key_, bt::Access::handle(*characteristic), enabled);
}

void CBPeripheral::readRSSI() {
    if (auto link = connectedLink("readRSSI")) link->radio->readRSSI(link->client, key_);
}

size_t CBPeripheral::maximumWriteValueLengthForType(CBCharacteristicWriteType type) const {
    auto manager = manager_.lock();
    if (!manager || state() != CBPeripheralState::Connected) return 20;
    return bt::Access::radio(*manager)->maximumWriteLength(
        bt::Access::client(*manager), key_, type == CBCharacteristicWriteType::WithResponse);
}

void CBPeripheral::resetNotifying() {
    for (const auto& service : services())
        for (const auto& c : service->characteristics()) bt::Access::notifying(*c) = false;
}

CBServicePtr CBPeripheral::serviceForHandle(uint16_t handle) const {
    for (const auto& s : services())
        if (bt::Access::handle(*s) == handle) return s;
    return nullptr;
}

CBCharacteristicPtr CBPeripheral::characteristicForHandle(uint16_t handle) const {
    for (const auto& s : services())
        for (const auto& c : s->characteristics())
            if (bt::Access::handle(*c) == handle) return c;
    return nullptr;
}

CBDescriptorPtr CBPeripheral::descriptorForHandle(uint16_t handle) const {
    for (const auto& s : services())
        for (const auto& c : s->characteristics())
            for (const auto& d : c->descriptors())
                if (bt::Access::handle(*d) == handle) return d;
    return nullptr;
}

// Discovery merges what the radio found into the attributes already known, keeping those
// objects, then tells the delegate.
void CBPeripheral::handleDiscovery(const RadioEvent& event, const CBPeripheralPtr& self,
                                   const std::shared_ptr<CBPeripheralDelegate>& delegate) {
    using Kind = RadioEvent::Kind;
    const ErrorPtr& error = event.error;

    auto handleOf = [](const CBAttribute& a) { return bt::Access::handle(a); };
    auto makeService = [&](const RadioService& r) {
        CBServicePtr s = bt::Access::makeService(r.uuid, r.primary);
        bt::Access::handle(*s) = r.handle;
        bt::Access::peripheral(*s) = self;
        return s;
    };

    switch (event.kind) {
        case Kind::ServicesDiscovered:
            if (!error) {
                std::lock_guard lock(mutex_);
                merge(services_, event.services, handleOf, makeService);
            }
            if (delegate) delegate->peripheralDidDiscoverServices(self, error);
            return;
        case Kind::IncludedServicesDiscovered: {
            auto service = serviceForHandle(event.handle);
            if (!service) return;
            if (!error)
                merge(bt::Access::included(*service), event.services, handleOf, makeService);
            if (delegate)
                delegate->peripheralDidDiscoverIncludedServicesForService(self, service, error);
            return;
        }
        case Kind::CharacteristicsDiscovered: {
            auto service = serviceForHandle(event.handle);
            if (!service) return;
            if (!error)
                merge(bt::Access::characteristics(*service), event.characteristics, handleOf,
                      [&](const RadioCharacteristic& r) {
                          CBCharacteristicPtr c =
                              bt::Access::makeCharacteristic(r.uuid, r.properties);
                          bt::Access::handle(*c) = r.handle;
                          bt::Access::service(*c) = service;
                          return c;
                      });
            if (delegate)
                delegate->peripheralDidDiscoverCharacteristicsForService(self, service, error);
            return;
        }
        case Kind::DescriptorsDiscovered: {
            auto characteristic = characteristicForHandle(event.handle);
            if (!characteristic) return;
            if (!error)
                merge(bt::Access::descriptors(*characteristic), event.descriptors, handleOf,
                      [&](const RadioDescriptor& r) {
                          CBDescriptorPtr d = bt::Access::makeDescriptor(r.uuid);
                          bt::Access::handle(*d) = r.handle;
                          bt::Access::characteristic(*d) = characteristic;
                          return d;
                      });
            if (delegate)
                delegate->peripheralDidDiscoverDescriptorsForCharacteristic(self, characteristic,
                                                                            error);
            return;
        }
        default:
            return;
    }
}

// Services the radio reports gone leave the list; the delegate hears which did.
void CBPeripheral::invalidateServices(const RadioEvent& event, const CBPeripheralPtr& self,
                                      const std::shared_ptr<CBPeripheralDelegate>& delegate) {
    std::vector<CBServicePtr> invalidated;
    {
        std::lock_guard lock(mutex_);
        for (const auto& r : event.services) {
            auto it = std::find_if(services_.begin(), services_.end(), [&](const auto& s) {
                return bt::Access::handle(*s) == r.handle;
            });
            if (it == services_.end()) continue;
            invalidated.push_back(*it);
            services_.erase(it);
        }
    }
    if (delegate) delegate->peripheralDidModifyServices(self, invalidated);
}

void CBPeripheral::handleEvent(const RadioEvent& event) {
    using Kind = RadioEvent::Kind;
    auto self = shared_from_this();
    auto delegate = this->delegate();
    const ErrorPtr& error = event.error;

    switch (event.kind) {
        case Kind::ServicesDiscovered:
        case Kind::IncludedServicesDiscovered:
        case Kind::CharacteristicsDiscovered:
        case Kind::DescriptorsDiscovered:
            handleDiscovery(event, self, delegate);
            return;
        case Kind::ServicesInvalidated:
            invalidateServices(event, self, delegate);
            return;
        case Kind::ValueUpdated:
            if (auto c = characteristicForHandle(event.handle)) {
                if (!error) bt::Access::value(*c) = event.value;
                if (delegate) delegate->peripheralDidUpdateValueForCharacteristic(self, c, error);
            } else if (auto d = descriptorForHandle(event.handle)) {
                if (!error)
                    bt::Access::value(*d) = CBDescriptor::valueFromBytes(d->UUID(), event.value);
                if (delegate) delegate->peripheralDidUpdateValueForDescriptor(self, d, error);
            }
            return;
        case Kind::ValueWritten:
            if (auto c = characteristicForHandle(event.handle)) {
                if (delegate) delegate->peripheralDidWriteValueForCharacteristic(self, c, error);
            } else if (auto d = descriptorForHandle(event.handle)) {
                if (delegate) delegate->peripheralDidWriteValueForDescriptor(self, d, error);
            }
            return;
        case Kind::NotifyStateChanged:
            if (auto c = characteristicForHandle(event.handle)) {
                if (!error) bt::Access::notifying(*c) = event.notifying;
                if (delegate)
                    delegate->peripheralDidUpdateNotificationStateForCharacteristic(self, c, error);
            }
            return;
        case Kind::RSSIRead:
            if (delegate)
                delegate->peripheralDidReadRSSI(
                    self, error ? std::nullopt : std::optional<int>(event.rssi), error);
            return;
        case Kind::NameUpdated:
            setName(event.name);
            if (delegate) delegate->peripheralDidUpdateName(self);
            return;
        default:
            return;
    }
}

}  // namespace telvo
