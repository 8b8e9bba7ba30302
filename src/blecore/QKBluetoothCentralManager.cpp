#include "blecore/QKBluetoothCentralManager.h"

#include <algorithm>

#include "platform/foundation/AppLifecycle.h"
#include "platform/foundation/Diagnostics.h"
#include "platform/foundation/FoundationErrors.h"
#include "platform/foundation/NotificationCenter.h"
#include "telvosdk/CBPeripheralQKExtensions.h"

namespace telvo {

namespace {

constexpr double kLinkTimeout = 5.0;

template <class T>
Value object(const std::shared_ptr<T>& pointer) {
    return Value::object(pointer);
}
// The error, or the empty string when there is none.
Value errorOrEmpty(const ErrorPtr& error) {
    return error ? Value::object(std::const_pointer_cast<Error>(error)) : Value("");
}

void post(const char* name, Dictionary info) {
    auto object = std::make_shared<Dictionary>(info);
    NotificationCenter::defaultCenter()->postNotificationName(name, object, std::move(info));
}

std::string describeLink(const CBPeripheralPtr& peripheral) {
    return peripheral ? peripheral->name().value_or(peripheral->identifier().UUIDString()) : "";
}

void addOnce(std::vector<CBPeripheralPtr>& list, const CBPeripheralPtr& peripheral) {
    if (peripheral && std::find(list.begin(), list.end(), peripheral) == list.end())
        list.push_back(peripheral);
}
void remove(std::vector<CBPeripheralPtr>& list, const CBPeripheralPtr& peripheral) {
    list.erase(std::remove(list.begin(), list.end(), peripheral), list.end());
}

}  // namespace

std::shared_ptr<QKBluetoothCentralManager> QKBluetoothCentralManager::create(
    std::shared_ptr<QKBluetoothSpeaker> speaker) {
    std::shared_ptr<QKBluetoothCentralManager> manager(
        new QKBluetoothCentralManager(std::move(speaker)));
    Dictionary options;
    options.set(CBCentralManagerOptionShowPowerAlertKey, false);
    const auto modes = DeviceInfo::current().backgroundModes;
    if (std::find(modes.begin(), modes.end(), "bluetooth-central") != modes.end())
        options.set(CBCentralManagerOptionRestoreIdentifierKey, kRestoreIdentifier);
    manager->centralManager_ = CBCentralManager::create(manager, std::move(options));
    return manager;
}

std::shared_ptr<QKBluetoothOptions> QKBluetoothCentralManager::currentOptions() const {
    auto holder = current();
    return holder && holder->bluetoothOptions ? holder->bluetoothOptions
                                              : std::make_shared<QKBluetoothOptions>();
}

void QKBluetoothCentralManager::resetSeriseParmeter() {
    needScanForPeripherals = needConnectPeripheral = needDiscoverServices = false;
    needDiscoverCharacteristics = needReadValueForCharacteristic = false;
    needDiscoverDescriptorsForCharacteristic = needReadValueForDescriptors = false;
}

void QKBluetoothCentralManager::scanPeripherals() {
    auto options = currentOptions();
    centralManager_->scanForPeripheralsWithServices(
        options->scanForPeripheralsWithServices,
        options->scanForPeripheralsWithOptions.value_or(Dictionary{}));
}

void QKBluetoothCentralManager::connectToPeripheral(const CBPeripheralPtr& peripheral) {
    centralManager_->connectPeripheral(
        peripheral, currentOptions()->connectPeripheralWithOptions.value_or(Dictionary{}));
}

void QKBluetoothCentralManager::cancelPeripheralConnection(const CBPeripheralPtr& peripheral) {
    if (!peripheral) return;
    qkExtensions(peripheral)->manualDisconnectTag = true;
    centralManager_->cancelPeripheralConnection(peripheral);
}

void QKBluetoothCentralManager::cancelAllPeripheralsConnection() {
    for (const auto& peripheral : std::vector<CBPeripheralPtr>(connected_))
        centralManager_->cancelPeripheralConnection(peripheral);
}

void QKBluetoothCentralManager::cancelScan() {
    // A scan still waiting for the radio's power-on does not start when the wait ends.
    needScanForPeripherals = false;
    centralManager_->stopScan();
    if (auto holder = current(); holder && holder->blockOnCancelScan)
        holder->blockOnCancelScan(centralManager_);
}

void QKBluetoothCentralManager::disconnect() {
    centralManager_->stopScan();
}

void QKBluetoothCentralManager::sometimes_ever(const CBPeripheralPtr& peripheral) {
    addOnce(reconnect_, peripheral);
}

void QKBluetoothCentralManager::sometimes_never(const CBPeripheralPtr& peripheral) {
    remove(reconnect_, peripheral);
}

void QKBluetoothCentralManager::addDiscoverPeripheral(const CBPeripheralPtr& peripheral) {
    addOnce(discovered_, peripheral);
}

void QKBluetoothCentralManager::addPeripheral(const CBPeripheralPtr& peripheral) {
    addOnce(connected_, peripheral);
}

void QKBluetoothCentralManager::deletePeripheral(const CBPeripheralPtr& peripheral) {
    remove(connected_, peripheral);
}

CBPeripheralPtr QKBluetoothCentralManager::findConnectedPeripheral(const std::string& name) const {
    for (const auto& peripheral : connected_)
        if (peripheral->name() == name) return peripheral;
    return nullptr;
}

// ---- Central events.

void QKBluetoothCentralManager::centralManagerDidUpdateState(const CBCentralManagerPtr& central) {
    post(KQKNotificationAtCentralManagerDidUpdateState, {{"central", object(central)}});
    if (central->state() == CBManagerState::PoweredOn)
        post(KQKNotificationAtCentralManagerEnable, {{"central", object(central)}});
    if (auto holder = current(); holder && holder->blockOnCentralManagerDidUpdateState)
        holder->blockOnCentralManagerDidUpdateState(central);
    plainLog(">>>CBCentralManagerState%s", CBManagerStateName(central->state()));
}

void QKBluetoothCentralManager::centralManagerDidDiscoverPeripheral(
    const CBCentralManagerPtr& central, const CBPeripheralPtr& peripheral,
    const Dictionary& advertisementData, int rssi) {
    post(KQKNotificationAtDidDiscoverPeripheral, {{"central", object(central)},
                                                  {"peripheral", object(peripheral)},
                                                  {"advertisementData", advertisementData},
                                                  {"RSSI", rssi}});
    addDiscoverPeripheral(peripheral);
    auto holder = current();
    if (!holder) return;
    const auto name = peripheral->name();
    if (holder->filterOnDiscoverPeripherals &&
        holder->filterOnDiscoverPeripherals(name, advertisementData, rssi) &&
        holder->blockOnDiscoverPeripherals)
        holder->blockOnDiscoverPeripherals(central, peripheral, advertisementData, rssi);
    if (needConnectPeripheral && holder->filterOnconnectToPeripherals &&
        holder->filterOnconnectToPeripherals(name, advertisementData, rssi)) {
        connectToPeripheral(peripheral);
        std::weak_ptr<QKBluetoothCentralManager> weak = weak_from_this();
        // A replaced timer still fires, as the platform's scheduled timer would.
        connectTimer_ = DispatchTimer::create(DispatchQueue::main(), [weak] {
            if (auto self = weak.lock()) self->disconnect();
        });
        connectTimer_->start(kLinkTimeout);
    }
}

void QKBluetoothCentralManager::centralManagerDidForgetPeripheral(
    const CBCentralManagerPtr&, const CBPeripheralPtr& peripheral) {
    remove(discovered_, peripheral);
}

void QKBluetoothCentralManager::centralManagerDidConnectPeripheral(
    const CBCentralManagerPtr& central, const CBPeripheralPtr& peripheral) {
    post(KQKNotificationAtDidConnectPeripheral,
         {{"central", object(central)}, {"peripheral", object(peripheral)}});
    peripheral->setDelegate(weak_from_this());
    if (connectTimer_) connectTimer_->cancel();
    addPeripheral(peripheral);
    auto holder = current();
    if (holder && holder->blockOnConnectedPeripheral)
        holder->blockOnConnectedPeripheral(central, peripheral);
    if (needDiscoverServices) peripheral->discoverServices(currentOptions()->discoverWithServices);
}

void QKBluetoothCentralManager::centralManagerDidFailToConnectPeripheral(
    const CBCentralManagerPtr& central, const CBPeripheralPtr& peripheral, const ErrorPtr& error) {
    post(KQKNotificationAtDidFailToConnectPeripheral, {{"central", object(central)},
                                                       {"peripheral", object(peripheral)},
                                                       {"error", errorOrEmpty(error)}});
    if (auto holder = current(); holder && holder->blockOnFailToConnect)
        holder->blockOnFailToConnect(central, peripheral, error);
}

void QKBluetoothCentralManager::centralManagerDidDisconnectPeripheral(
    const CBCentralManagerPtr& central, const CBPeripheralPtr& peripheral, const ErrorPtr& error) {
    post(KQKNotificationAtDidDisconnectPeripheral, {{"central", object(central)},
                                                    {"peripheral", object(peripheral)},
                                                    {"error", errorOrEmpty(error)}});
    if (error)
        plainLog(">>> didDisconnectPeripheral for %s with error: %s",
                 describeLink(peripheral).c_str(), errorLogText(error).c_str());
    deletePeripheral(peripheral);
    auto holder = current();
    if (holder && holder->blockOnDisconnect) holder->blockOnDisconnect(central, peripheral, error);
    if (connected_.empty()) {
        holder = current();
        if (holder && holder->blockOnCancelAllPeripheralsConnection)
            holder->blockOnCancelAllPeripheralsConnection(central);
    }
    if (std::find(reconnect_.begin(), reconnect_.end(), peripheral) != reconnect_.end())
        connectToPeripheral(peripheral);
}

// ---- Peripheral events.

void QKBluetoothCentralManager::peripheralDidDiscoverServices(const CBPeripheralPtr& peripheral,
                                                              const ErrorPtr& error) {
    post(KQKNotificationAtDidDiscoverServices,
         {{"peripheral", object(peripheral)}, {"error", errorOrEmpty(error)}});
    if (error)
        plainLog(">>>didDiscoverServices for %s with error: %s", describeLink(peripheral).c_str(),
                 errorLogText(error).c_str());
    if (auto holder = current(); holder && holder->blockOnDiscoverServices)
        holder->blockOnDiscoverServices(peripheral, error);
    if (needDiscoverCharacteristics) {
        auto uuids = currentOptions()->discoverWithCharacteristics;
        for (const auto& service : peripheral->services())
            peripheral->discoverCharacteristics(uuids, service);
    }
}

void QKBluetoothCentralManager::peripheralDidDiscoverIncludedServicesForService(
    const CBPeripheralPtr&, const CBServicePtr& service, const ErrorPtr& error) {
    if (auto holder = current(); holder && holder->blockOnDidDiscoverIncludedServicesForService)
        holder->blockOnDidDiscoverIncludedServicesForService(service, error);
}

void QKBluetoothCentralManager::peripheralDidDiscoverCharacteristicsForService(
    const CBPeripheralPtr& peripheral, const CBServicePtr& service, const ErrorPtr& error) {
    post(KQKNotificationAtDidDiscoverCharacteristicsForService, {{"peripheral", object(peripheral)},
                                                                 {"service", object(service)},
                                                                 {"error", errorOrEmpty(error)}});
    if (error)
        plainLog("error didDiscoverCharacteristicsForService for %s with error: %s",
                 service->UUID().description().c_str(), errorLogText(error).c_str());
    if (auto holder = current(); holder && holder->blockOnDiscoverCharacteristics)
        holder->blockOnDiscoverCharacteristics(peripheral, service, error);
    // needReadValueForCharacteristic issues no reads.
    if (needDiscoverDescriptorsForCharacteristic)
        for (const auto& characteristic : service->characteristics())
            peripheral->discoverDescriptorsForCharacteristic(characteristic);
}

void QKBluetoothCentralManager::peripheralDidDiscoverDescriptorsForCharacteristic(
    const CBPeripheralPtr& peripheral, const CBCharacteristicPtr& characteristic,
    const ErrorPtr& error) {
    if (error)
        plainLog("error Discovered DescriptorsForCharacteristic for %s with error: %s",
                 characteristic->UUID().description().c_str(), errorLogText(error).c_str());
    if (auto holder = current(); holder && holder->blockOnDiscoverDescriptorsForCharacteristic)
        holder->blockOnDiscoverDescriptorsForCharacteristic(peripheral, characteristic, error);
    // Each descriptor is read once, also when the chain's step and a one-shot read meet.
    if (needReadValueForDescriptors || oneReadValueForDescriptors)
        for (const auto& descriptor : characteristic->descriptors())
            peripheral->readValueForDescriptor(descriptor);
    oneReadValueForDescriptors = false;
}

void QKBluetoothCentralManager::peripheralDidUpdateValueForCharacteristic(
    const CBPeripheralPtr& peripheral, const CBCharacteristicPtr& characteristic,
    const ErrorPtr& error) {
    post(KQKNotificationAtDidUpdateValueForCharacteristic,
         {{"peripheral", object(peripheral)},
          {"characteristic", object(characteristic)},
          {"error", errorOrEmpty(error)}});
    if (error)
        plainLog("error didUpdateValueForCharacteristic %s with error: %s",
                 characteristic->UUID().description().c_str(), errorLogText(error).c_str());
    if (auto notify = speaker_->notifyCallback(characteristic, peripheral)) {
        notify(peripheral, characteristic, error);
        return;
    }
    if (auto holder = current(); holder && holder->blockOnReadValueForCharacteristic)
        holder->blockOnReadValueForCharacteristic(peripheral, characteristic, error);
}

void QKBluetoothCentralManager::peripheralDidUpdateValueForDescriptor(
    const CBPeripheralPtr& peripheral, const CBDescriptorPtr& descriptor, const ErrorPtr& error) {
    if (error)
        plainLog("error didUpdateValueForDescriptor  for %s with error: %s",
                 descriptor->UUID().description().c_str(), errorLogText(error).c_str());
    if (auto holder = current(); holder && holder->blockOnReadValueForDescriptors)
        holder->blockOnReadValueForDescriptors(peripheral, descriptor, error);
}

void QKBluetoothCentralManager::peripheralDidWriteValueForCharacteristic(
    const CBPeripheralPtr&, const CBCharacteristicPtr& characteristic, const ErrorPtr& error) {
    Dictionary info{{"characteristic", object(characteristic)}};
    if (error) info.set("error", errorOrEmpty(error));
    post(KQKNotificationAtDidWriteValueForCharacteristic, std::move(info));
    plainLog("peripheral-didWriteValueForCharacteristic");
    if (auto holder = current(); holder && holder->blockOnDidWriteValueForCharacteristic)
        holder->blockOnDidWriteValueForCharacteristic(characteristic, error);
}

void QKBluetoothCentralManager::peripheralDidWriteValueForDescriptor(
    const CBPeripheralPtr&, const CBDescriptorPtr& descriptor, const ErrorPtr& error) {
    if (auto holder = current(); holder && holder->blockOnDidWriteValueForDescriptor)
        holder->blockOnDidWriteValueForDescriptor(descriptor, error);
}

void QKBluetoothCentralManager::peripheralDidUpdateNotificationStateForCharacteristic(
    const CBPeripheralPtr&, const CBCharacteristicPtr& characteristic, const ErrorPtr& error) {
    post(KQKNotificationAtDidUpdateNotificationStateForCharacteristic,
         {{"characteristic", object(characteristic)}, {"error", errorOrEmpty(error)}});
    plainLog(">>>uuid:%s,isNotifying:%s", characteristic->UUID().description().c_str(),
             characteristic->isNotifying() ? "isNotifying" : "Notifying");
    if (auto holder = current();
        holder && holder->blockOnDidUpdateNotificationStateForCharacteristic)
        holder->blockOnDidUpdateNotificationStateForCharacteristic(characteristic, error);
}

void QKBluetoothCentralManager::peripheralDidReadRSSI(const CBPeripheralPtr& peripheral,
                                                      std::optional<int> rssi,
                                                      const ErrorPtr& error) {
    post(KQKNotificationAtDidReadRSSI, {{"peripheral", object(peripheral)},
                                        {"RSSI", rssi.value_or(100)},
                                        {"error", errorOrEmpty(error)}});
    plainLog(">>>peripheralDidUpdateRSSI -> RSSI:%s",
             rssi ? std::to_string(*rssi).c_str() : "(null)");
    if (auto holder = speaker_->callback(); holder->blockOnDidReadRSSI)
        holder->blockOnDidReadRSSI(rssi, error);
}

void QKBluetoothCentralManager::peripheralDidUpdateName(const CBPeripheralPtr& peripheral) {
    if (auto holder = current(); holder && holder->blockOnDidUpdateName)
        holder->blockOnDidUpdateName(peripheral);
}

void QKBluetoothCentralManager::peripheralDidModifyServices(
    const CBPeripheralPtr& peripheral, const std::vector<CBServicePtr>& invalidated) {
    if (auto holder = current(); holder && holder->blockOnDidModifyServices)
        holder->blockOnDidModifyServices(peripheral, invalidated);
}

}  // namespace telvo
