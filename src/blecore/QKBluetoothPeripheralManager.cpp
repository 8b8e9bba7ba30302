#include "blecore/QKBluetoothPeripheralManager.h"

#include "platform/foundation/Diagnostics.h"
#include "platform/foundation/NotificationCenter.h"

namespace telvo {

namespace {

constexpr int32_t kWaitsBeforeError = 5;

}  // namespace

std::shared_ptr<QKBluetoothPeripheralManager> QKBluetoothPeripheralManager::create(
    std::shared_ptr<QKBluetoothSpeaker> speaker) {
    std::shared_ptr<QKBluetoothPeripheralManager> manager(
        new QKBluetoothPeripheralManager(std::move(speaker)));
    manager->peripheralManager_ = CBPeripheralManager::create(manager);
    return manager;
}

std::shared_ptr<QKBluetoothCallback> QKBluetoothPeripheralManager::slots() const {
    return speaker_->callback();
}

QKBluetoothPeripheralManager::~QKBluetoothPeripheralManager() {
    if (addServiceTask_) addServiceTask_->cancel();
    if (advertisingRetry_) advertisingRetry_->cancel();
}

void QKBluetoothPeripheralManager::schedule(std::shared_ptr<DispatchTimer>& slot,
                                            void (QKBluetoothPeripheralManager::*step)()) {
    if (slot) slot->cancel();
    std::weak_ptr<QKBluetoothPeripheralManager> weak = weak_from_this();
    slot = DispatchTimer::create(DispatchQueue::main(), [weak, step] {
        if (auto self = weak.lock()) (self.get()->*step)();
    });
    slot->start(kRetryInterval);
}

QKBluetoothPeripheralManager& QKBluetoothPeripheralManager::addServices(
    std::vector<std::shared_ptr<CBMutableService>> services) {
    services_ = std::move(services);
    addServicesToPeripheral();
    return *this;
}

void QKBluetoothPeripheralManager::addServicesToPeripheral() {
    if (!isPoweredOn()) {
        schedule(addServiceTask_, &QKBluetoothPeripheralManager::addServicesToPeripheral);
        return;
    }
    if (addServiceTask_) addServiceTask_->cancel();
    addServiceTask_.reset();
    for (const auto& service : services_) peripheralManager_->addService(service);
}

QKBluetoothPeripheralManager& QKBluetoothPeripheralManager::removeAllServices() {
    didAddServices_ = 0;
    peripheralManager_->removeAllServices();
    return *this;
}

QKBluetoothPeripheralManager& QKBluetoothPeripheralManager::addManufacturerData(
    std::optional<Bytes> data) {
    manufacturerData_ = std::move(data);
    return *this;
}

QKBluetoothPeripheralManager& QKBluetoothPeripheralManager::startAdvertising() {
    if (!canStartAdvertising()) {
        ++waitTimes_;
        if (waitTimes_ > kWaitsBeforeError)
            plainLog(">>>error： 第%d次等待peripheralManager打开任然失败，请检查蓝牙设备是否可用",
                     waitTimes_);
        schedule(advertisingRetry_, &QKBluetoothPeripheralManager::retryAdvertising);
        plainLog(">>> 第%d次等待peripheralManager打开", waitTimes_);
        return *this;
    }
    waitTimes_ = 0;
    if (advertisingRetry_) advertisingRetry_->cancel();
    advertisingRetry_.reset();
    Value::Array uuids;
    for (const auto& service : services_) uuids.emplace_back(service->UUID().UUIDString());
    Dictionary advertisement;
    advertisement.set(CBAdvertisementDataServiceUUIDsKey, std::move(uuids));
    advertisement.set(CBAdvertisementDataLocalNameKey, localName_);
    if (manufacturerData_)
        advertisement.set(CBAdvertisementDataManufacturerDataKey, *manufacturerData_);
    peripheralManager_->startAdvertising(advertisement);
    return *this;
}

QKBluetoothPeripheralManager& QKBluetoothPeripheralManager::stopAdvertising() {
    if (advertisingRetry_) advertisingRetry_->cancel();
    advertisingRetry_.reset();
    peripheralManager_->stopAdvertising();
    return *this;
}

bool QKBluetoothPeripheralManager::isPoweredOn() const {
    return peripheralManager_->state() == CBManagerState::PoweredOn;
}

bool QKBluetoothPeripheralManager::canStartAdvertising() const {
    return isPoweredOn() && didAddServices_ >= 0 &&
           static_cast<size_t>(didAddServices_) == services_.size();
}

// ---- Platform events, to the default channel's peripheral-role blocks.

void QKBluetoothPeripheralManager::peripheralManagerDidUpdateState(
    const CBPeripheralManagerPtr& manager) {
    plainLog(">>>CBPeripheralManagerState%s", CBManagerStateName(manager->state()));
    if (manager->state() == CBManagerState::PoweredOn)
        NotificationCenter::defaultCenter()->postNotificationName(CBPeripheralManagerStatePoweredOn,
                                                                  nullptr);
    if (auto block = slots()->blockOnPeripheralModelDidUpdateState) block(manager);
}

void QKBluetoothPeripheralManager::peripheralManagerDidAddService(
    const CBPeripheralManagerPtr& manager, const CBServicePtr& service, const ErrorPtr& error) {
    ++didAddServices_;
    if (auto block = slots()->blockOnPeripheralModelDidAddService) block(manager, service, error);
}

void QKBluetoothPeripheralManager::peripheralManagerDidStartAdvertising(
    const CBPeripheralManagerPtr& manager, const ErrorPtr& error) {
    if (auto block = slots()->blockOnPeripheralModelDidStartAdvertising) block(manager, error);
}

void QKBluetoothPeripheralManager::peripheralManagerDidReceiveReadRequest(
    const CBPeripheralManagerPtr& manager, const CBATTRequestPtr& request) {
    if (auto block = slots()->blockOnPeripheralModelDidReceiveReadRequest) block(manager, request);
}

void QKBluetoothPeripheralManager::peripheralManagerDidReceiveWriteRequests(
    const CBPeripheralManagerPtr& manager, const std::vector<CBATTRequestPtr>& requests) {
    if (auto block = slots()->blockOnPeripheralModelDidReceiveWriteRequests)
        block(manager, requests);
}

void QKBluetoothPeripheralManager::peripheralManagerIsReadyToUpdateSubscribers(
    const CBPeripheralManagerPtr& manager) {
    if (auto block = slots()->blockOnPeripheralModelIsReadyToUpdateSubscribers) block(manager);
}

void QKBluetoothPeripheralManager::peripheralManagerCentralDidSubscribeToCharacteristic(
    const CBPeripheralManagerPtr& manager, const std::shared_ptr<CBCentral>& central,
    const CBCharacteristicPtr& characteristic) {
    if (auto block = slots()->blockOnPeripheralModelDidSubscribeToCharacteristic)
        block(manager, central, characteristic);
}

void QKBluetoothPeripheralManager::peripheralManagerCentralDidUnsubscribeFromCharacteristic(
    const CBPeripheralManagerPtr& manager, const std::shared_ptr<CBCentral>& central,
    const CBCharacteristicPtr& characteristic) {
    if (auto block = slots()->blockOnPeripheralModelDidUnSubscribeToCharacteristic)
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
