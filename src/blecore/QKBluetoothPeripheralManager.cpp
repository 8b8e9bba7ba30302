#include "blecore/QKBluetoothPeripheralManager.h"

#include "platform/foundation/Diagnostics.h"
#include "platform/foundation/NotificationCenter.h"

namespace telvo {

namespace {

constexpr int32_t kWaitsBeforeError = 5;

using Impl = QKBluetoothPeripheralManagerImpl;

Impl& roleImpl(QKBluetoothPeripheralManager& role) {
    return Impl::of(role);
}
const Impl& roleImpl(const QKBluetoothPeripheralManager& role) {
    return Impl::of(role);
}

// The default channel's callbacks, where the role's events go.
std::shared_ptr<QKBluetoothCallback> slots(QKBluetoothPeripheralManager& role) {
    return roleImpl(role).speaker_->callback();
}

}  // namespace

std::shared_ptr<Impl> Impl::create(std::shared_ptr<QKBluetoothSpeaker> speaker) {
    auto manager = std::make_shared<Impl>(std::move(speaker));
    manager->peripheralManager_ = CBPeripheralManager::create(manager);
    return manager;
}

Impl::~QKBluetoothPeripheralManagerImpl() {
    if (addServiceTask) addServiceTask->cancel();
    if (advertisingRetry) advertisingRetry->cancel();
}

void Impl::schedule(std::shared_ptr<DispatchTimer>& slot, void (Impl::*step)()) {
    if (slot) slot->cancel();
    std::weak_ptr<QKBluetoothPeripheralManager> weak = weak_from_this();
    slot = DispatchTimer::create(DispatchQueue::main(), [weak, step] {
        if (auto self = weak.lock()) (roleImpl(*self).*step)();
    });
    slot->start(kRetryInterval);
}

const CBPeripheralManagerPtr& QKBluetoothPeripheralManager::peripheralManager() const {
    return roleImpl(*this).peripheralManager_;
}

const std::string& QKBluetoothPeripheralManager::localName() const {
    return roleImpl(*this).localName_;
}

void QKBluetoothPeripheralManager::setLocalName(std::string name) {
    roleImpl(*this).localName_ = std::move(name);
}

const std::vector<std::shared_ptr<CBMutableService>>& QKBluetoothPeripheralManager::services()
    const {
    return roleImpl(*this).services_;
}

const std::optional<Bytes>& QKBluetoothPeripheralManager::manufacturerData() const {
    return roleImpl(*this).manufacturerData_;
}

QKBluetoothPeripheralManager& QKBluetoothPeripheralManager::addServices(
    std::vector<std::shared_ptr<CBMutableService>> services) {
    roleImpl(*this).services_ = std::move(services);
    addServicesToPeripheral();
    return *this;
}

void QKBluetoothPeripheralManager::addServicesToPeripheral() {
    auto& d = roleImpl(*this);
    if (!isPoweredOn()) {
        d.schedule(d.addServiceTask, &Impl::addServicesToPeripheral);
        return;
    }
    if (d.addServiceTask) d.addServiceTask->cancel();
    d.addServiceTask.reset();
    for (const auto& service : d.services_) d.peripheralManager_->addService(service);
}

QKBluetoothPeripheralManager& QKBluetoothPeripheralManager::removeAllServices() {
    auto& d = roleImpl(*this);
    d.didAddServices = 0;
    d.peripheralManager_->removeAllServices();
    return *this;
}

QKBluetoothPeripheralManager& QKBluetoothPeripheralManager::addManufacturerData(
    std::optional<Bytes> data) {
    roleImpl(*this).manufacturerData_ = std::move(data);
    return *this;
}

QKBluetoothPeripheralManager& QKBluetoothPeripheralManager::startAdvertising() {
    auto& d = roleImpl(*this);
    int32_t& waits = d.peripheralManagerInitWaitTimes;
    if (!canStartAdvertising()) {
        ++waits;
        if (waits > kWaitsBeforeError)
            plainLog(">>>error： 第%d次等待peripheralManager打开任然失败，请检查蓝牙设备是否可用",
                     waits);
        d.schedule(d.advertisingRetry, &Impl::retryAdvertising);
        plainLog(">>> 第%d次等待peripheralManager打开", waits);
        return *this;
    }
    waits = 0;
    if (d.advertisingRetry) d.advertisingRetry->cancel();
    d.advertisingRetry.reset();
    Value::Array uuids;
    for (const auto& service : d.services_) uuids.emplace_back(service->UUID().UUIDString());
    Dictionary advertisement;
    advertisement.set(CBAdvertisementDataServiceUUIDsKey, std::move(uuids));
    advertisement.set(CBAdvertisementDataLocalNameKey, d.localName_);
    if (d.manufacturerData_)
        advertisement.set(CBAdvertisementDataManufacturerDataKey, *d.manufacturerData_);
    d.peripheralManager_->startAdvertising(advertisement);
    return *this;
}

QKBluetoothPeripheralManager& QKBluetoothPeripheralManager::stopAdvertising() {
    auto& d = roleImpl(*this);
    if (d.advertisingRetry) d.advertisingRetry->cancel();
    d.advertisingRetry.reset();
    d.peripheralManager_->stopAdvertising();
    return *this;
}

bool QKBluetoothPeripheralManager::isPoweredOn() const {
    return roleImpl(*this).peripheralManager_->state() == CBManagerState::PoweredOn;
}

bool QKBluetoothPeripheralManager::canStartAdvertising() const {
    const auto& d = roleImpl(*this);
    return isPoweredOn() && d.didAddServices >= 0 &&
           static_cast<size_t>(d.didAddServices) == d.services_.size();
}

// ---- Platform events, to the default channel's peripheral-role blocks.

void QKBluetoothPeripheralManager::peripheralManagerDidUpdateState(
    const CBPeripheralManagerPtr& manager) {
    plainLog(">>>CBPeripheralManagerState%s", CBManagerStateName(manager->state()));
    if (manager->state() == CBManagerState::PoweredOn)
        NotificationCenter::defaultCenter()->postNotificationName(CBPeripheralManagerStatePoweredOn,
                                                                  nullptr);
    if (auto block = slots(*this)->blockOnPeripheralModelDidUpdateState) block(manager);
}

void QKBluetoothPeripheralManager::peripheralManagerDidAddService(
    const CBPeripheralManagerPtr& manager, const CBServicePtr& service, const ErrorPtr& error) {
    ++roleImpl(*this).didAddServices;
    if (auto block = slots(*this)->blockOnPeripheralModelDidAddService)
        block(manager, service, error);
}

void QKBluetoothPeripheralManager::peripheralManagerDidStartAdvertising(
    const CBPeripheralManagerPtr& manager, const ErrorPtr& error) {
    if (auto block = slots(*this)->blockOnPeripheralModelDidStartAdvertising) block(manager, error);
}

void QKBluetoothPeripheralManager::peripheralManagerDidReceiveReadRequest(
    const CBPeripheralManagerPtr& manager, const CBATTRequestPtr& request) {
    if (auto block = slots(*this)->blockOnPeripheralModelDidReceiveReadRequest)
        block(manager, request);
}

void QKBluetoothPeripheralManager::peripheralManagerDidReceiveWriteRequests(
    const CBPeripheralManagerPtr& manager, const std::vector<CBATTRequestPtr>& requests) {
    if (auto block = slots(*this)->blockOnPeripheralModelDidReceiveWriteRequests)
        block(manager, requests);
}

void QKBluetoothPeripheralManager::peripheralManagerIsReadyToUpdateSubscribers(
    const CBPeripheralManagerPtr& manager) {
    if (auto block = slots(*this)->blockOnPeripheralModelIsReadyToUpdateSubscribers) block(manager);
}

void QKBluetoothPeripheralManager::peripheralManagerCentralDidSubscribeToCharacteristic(
    const CBPeripheralManagerPtr& manager, const std::shared_ptr<CBCentral>& central,
    const CBCharacteristicPtr& characteristic) {
    if (auto block = slots(*this)->blockOnPeripheralModelDidSubscribeToCharacteristic)
        block(manager, central, characteristic);
}

void QKBluetoothPeripheralManager::peripheralManagerCentralDidUnsubscribeFromCharacteristic(
    const CBPeripheralManagerPtr& manager, const std::shared_ptr<CBCentral>& central,
    const CBCharacteristicPtr& characteristic) {
    if (auto block = slots(*this)->blockOnPeripheralModelDidUnSubscribeToCharacteristic)
        block(manager, central, characteristic);
}

// ---- Building services.

namespace {

void appendCharacteristic(const std::shared_ptr<CBMutableService>& service,
                          const std::shared_ptr<CBMutableCharacteristic>& characteristic,
                          const std::optional<std::string>& description) {
    if (description && !description->empty())
        characteristic->setDescriptors({CBMutableDescriptor::create(
            CBUUID::UUIDWithString(CBUUIDCharacteristicUserDescriptionString), *description)});
    auto characteristics = service->characteristics();
    characteristics.push_back(characteristic);
    service->setCharacteristics(std::move(characteristics));
}

}  // namespace

std::shared_ptr<CBMutableService> makeCBService(const std::string& uuid) {
    return CBMutableService::create(CBUUID::UUIDWithString(uuid), true);
}

void makeCharacteristicToService(const std::shared_ptr<CBMutableService>& service,
                                 const std::string& uuid,
                                 const std::optional<std::string>& properties,
                                 const std::optional<std::string>& description) {
    namespace P = CBCharacteristicProperty;
    uint32_t bits = 0;
    if (!properties || properties->empty()) {
        bits = P::Read | P::Write;
    } else {
        if (properties->find('r') != std::string::npos) bits |= P::Read;
        if (properties->find('w') != std::string::npos) bits |= P::Write;
        if (properties->find('n') != std::string::npos) bits |= P::Notify;
    }
    appendCharacteristic(service,
                         CBMutableCharacteristic::create(
                             CBUUID::UUIDWithString(uuid), bits, std::nullopt,
                             CBAttributePermission::Readable | CBAttributePermission::Writeable),
                         description);
}

void makeStaticCharacteristicToService(const std::shared_ptr<CBMutableService>& service,
                                       const std::string& uuid,
                                       const std::optional<std::string>& description,
                                       const Bytes& value) {
    appendCharacteristic(service,
                         CBMutableCharacteristic::create(CBUUID::UUIDWithString(uuid),
                                                         CBCharacteristicProperty::Read, value,
                                                         CBAttributePermission::Readable),
                         description);
}

std::string genUUID() {
    return NSUUID::random().UUIDString();
}

}  // namespace telvo
