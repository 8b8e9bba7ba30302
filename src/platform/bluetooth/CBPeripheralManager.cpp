#include <algorithm>

#include "platform/bluetooth/BluetoothFields.h"
#include "platform/bluetooth/BluetoothManagers.h"
#include "platform/foundation/Diagnostics.h"

namespace telvo {

CBPeripheralManagerPtr createPeripheralManager(std::weak_ptr<CBPeripheralManagerDelegate> delegate,
                                               DispatchQueuePtr queue, Dictionary options,
                                               std::shared_ptr<BluetoothRadio> radio) {
    return bt::Access::makePeripheralManager(std::move(delegate), std::move(queue),
                                             std::move(options), std::move(radio));
}

CBPeripheralManagerPtr CBPeripheralManager::create(
    std::weak_ptr<CBPeripheralManagerDelegate> delegate, Dictionary options) {
    return make(std::move(delegate), nullptr, std::move(options), nullptr);
}

CBPeripheralManagerPtr CBPeripheralManager::make(
    std::weak_ptr<CBPeripheralManagerDelegate> delegate, DispatchQueuePtr queue, Dictionary options,
    std::shared_ptr<BluetoothRadio> radio) {
    CBPeripheralManagerPtr manager(new CBPeripheralManager(std::move(delegate), std::move(queue),
                                                           std::move(options), std::move(radio)));
    manager->attach();
    return manager;
}

void CBPeripheralManager::attach() {
    std::weak_ptr<CBPeripheralManager> weak = weak_from_this();
    client_ = radio_->attach([weak, queue = queue_](const RadioEvent& event) {
        queue->async([weak, event] {
            if (auto self = weak.lock()) self->deliver(event);
        });
    });
}

CBPeripheralManager::CBPeripheralManager(std::weak_ptr<CBPeripheralManagerDelegate> delegate,
                                         DispatchQueuePtr queue, Dictionary options,
                                         std::shared_ptr<BluetoothRadio> radio)
    : queue_(queue ? std::move(queue) : DispatchQueue::main()),
      options_(std::move(options)),
      radio_(radio ? std::move(radio) : BluetoothRadio::shared()),
      delegate_(std::move(delegate)) {}

CBPeripheralManager::~CBPeripheralManager() {
    radio_->detach(client_);
}

CBManagerState CBPeripheralManager::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

bool CBPeripheralManager::isAdvertising() const {
    std::lock_guard lock(mutex_);
    return advertising_;
}

void CBPeripheralManager::setDelegate(std::weak_ptr<CBPeripheralManagerDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

std::shared_ptr<CBPeripheralManagerDelegate> CBPeripheralManager::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

bool CBPeripheralManager::poweredOn(const char* operation) const {
    if (state() == CBManagerState::PoweredOn) return true;
    platformDiagnostic("API MISUSE: CBPeripheralManager can only %s while powered on", operation);
    return false;
}

void CBPeripheralManager::addService(const std::shared_ptr<CBMutableService>& service) {
    if (!service || !poweredOn("add a service")) return;
    RadioLocalService local;
    {
        std::lock_guard lock(mutex_);
        if (std::find(services_.begin(), services_.end(), service) != services_.end()) return;
        bt::Access::handle(*service) = nextHandle_++;
        local.service = {bt::Access::handle(*service), service->UUID(), service->isPrimary()};
        for (const auto& c : service->characteristics()) {
            bt::Access::handle(*c) = nextHandle_++;
            RadioLocalAttribute attribute{
                bt::Access::handle(*c), c->UUID(), c->properties(), 0, c->value(), {}};
            if (auto m = std::dynamic_pointer_cast<CBMutableCharacteristic>(c))
                attribute.permissions = m->permissions();
            for (const auto& d : c->descriptors()) {
                bt::Access::handle(*d) = nextHandle_++;
                attribute.descriptors.push_back(
                    RadioLocalAttribute{bt::Access::handle(*d),
                                        d->UUID(),
                                        0,
                                        0,
                                        CBDescriptor::bytesFromValue(d->UUID(), d->value()),
                                        {}});
            }
            local.characteristics.push_back(std::move(attribute));
        }
        services_.push_back(service);
    }
    radio_->addService(client_, local);
}

void CBPeripheralManager::removeService(const std::shared_ptr<CBMutableService>& service) {
    if (!service) return;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find(services_.begin(), services_.end(), service);
        if (it == services_.end()) return;
        services_.erase(it);
    }
    radio_->removeService(client_, bt::Access::handle(*service));
}

void CBPeripheralManager::removeAllServices() {
    std::vector<std::shared_ptr<CBMutableService>> removed;
    {
        std::lock_guard lock(mutex_);
        removed.swap(services_);
    }
    for (const auto& s : removed) radio_->removeService(client_, bt::Access::handle(*s));
}

void CBPeripheralManager::startAdvertising(const Dictionary& advertisement) {
    if (!poweredOn("advertise")) return;
    radio_->startAdvertising(client_, advertisement);
}

void CBPeripheralManager::stopAdvertising() {
    {
        std::lock_guard lock(mutex_);
        advertising_ = false;
    }
    radio_->stopAdvertising(client_);
}

void CBPeripheralManager::respondToRequest(const CBATTRequestPtr& request, CBATTError result) {
    if (!request) return;
    radio_->respond(client_, request->id, result, request->value.value_or(Bytes{}));
}

bool CBPeripheralManager::updateValue(const Bytes& value,
                                      const std::shared_ptr<CBMutableCharacteristic>& on,
                                      const std::vector<std::shared_ptr<CBCentral>>& centrals) {
    if (!on || !poweredOn("update a value")) return false;
    std::vector<std::string> ids;
    for (const auto& c : centrals)
        if (c) ids.push_back(c->identifier());
    return radio_->updateValue(client_, bt::Access::handle(*on), value, ids);
}

CBServicePtr CBPeripheralManager::serviceForHandle(uint16_t handle) const {
    std::lock_guard lock(mutex_);
    for (const auto& s : services_)
        if (bt::Access::handle(*s) == handle) return s;
    return nullptr;
}

std::shared_ptr<CBMutableCharacteristic> CBPeripheralManager::characteristicForHandle(
    uint16_t handle) const {
    std::lock_guard lock(mutex_);
    for (const auto& s : services_)
        for (const auto& c : s->characteristics())
            if (bt::Access::handle(*c) == handle)
                return std::dynamic_pointer_cast<CBMutableCharacteristic>(c);
    return nullptr;
}

void CBPeripheralManager::deliver(const RadioEvent& event) {
    using Kind = RadioEvent::Kind;
    auto self = shared_from_this();
    auto delegate = this->delegate();
    switch (event.kind) {
        case Kind::StateChanged: {
            std::lock_guard lock(mutex_);
            state_ = event.state;
            if (state_ != CBManagerState::PoweredOn) advertising_ = false;
            break;
        }
        case Kind::AdvertisingStarted:
            if (!event.error) {
                std::lock_guard lock(mutex_);
                advertising_ = true;
            }
            break;
        case Kind::Subscribed:
        case Kind::Unsubscribed:
            if (auto characteristic = characteristicForHandle(event.handle)) {
                std::lock_guard lock(mutex_);
                auto& subscribed = bt::Access::subscribed(*characteristic);
                std::erase(subscribed, event.central);
                if (event.kind == Kind::Subscribed) subscribed.push_back(event.central);
            }
            break;
        default:
            break;
    }
    if (!delegate) return;
    switch (event.kind) {
        case Kind::StateChanged:
            delegate->peripheralManagerDidUpdateState(self);
            return;
        case Kind::ServiceAdded:
            if (auto service = serviceForHandle(event.handle))
                delegate->peripheralManagerDidAddService(self, service, event.error);
            return;
        case Kind::AdvertisingStarted:
            delegate->peripheralManagerDidStartAdvertising(self, event.error);
            return;
        case Kind::ReadRequest:
        case Kind::WriteRequests: {
            std::vector<CBATTRequestPtr> requests;
            for (const auto& r : event.requests) {
                auto characteristic = characteristicForHandle(r.handle);
                if (!characteristic) continue;
                auto request = std::make_shared<CBATTRequest>();
                request->central = std::make_shared<CBCentral>(r.central);
                request->characteristic = characteristic;
                request->offset = r.offset;
                if (event.kind == Kind::WriteRequests) request->value = r.value;
                request->id = r.id;
                requests.push_back(std::move(request));
            }
            if (requests.empty()) return;
            if (event.kind == Kind::ReadRequest)
                delegate->peripheralManagerDidReceiveReadRequest(self, requests.front());
            else
                delegate->peripheralManagerDidReceiveWriteRequests(self, requests);
            return;
        }
        case Kind::Subscribed:
        case Kind::Unsubscribed: {
            auto characteristic = characteristicForHandle(event.handle);
            if (!characteristic) return;
            auto central = std::make_shared<CBCentral>(event.central);
            if (event.kind == Kind::Subscribed)
                delegate->peripheralManagerCentralDidSubscribeToCharacteristic(self, central,
                                                                               characteristic);
            else
                delegate->peripheralManagerCentralDidUnsubscribeFromCharacteristic(self, central,
                                                                                   characteristic);
            return;
        }
        case Kind::ReadyToUpdateSubscribers:
            delegate->peripheralManagerIsReadyToUpdateSubscribers(self);
            return;
        default:
            return;
    }
}

}  // namespace telvo
