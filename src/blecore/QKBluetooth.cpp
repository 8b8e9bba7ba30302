#include "blecore/QKBluetooth.h"

#include "platform/base/Singleton.h"
#include "platform/foundation/Diagnostics.h"
#include "telvosdk/NamedException.h"

namespace telvo {

namespace {

constexpr double kPowerOnWait = 2.0;
constexpr int32_t kPowerOnWaits = 4;
constexpr const char* kChannelKey = "channel";
constexpr const char* kPeripheralKey = "CBPeripheral";
constexpr const char* kSteps[] = {
    "needScanForPeripherals",         "needConnectPeripheral",
    "needDiscoverServices",           "needDiscoverCharacteristics",
    "needReadValueForCharacteristic", "needDiscoverDescriptorsForCharacteristic",
    "needReadValueForDescriptors"};

SharedInstance<QKBluetooth>& sharedSlot() {
    return processWide([] { return new SharedInstance<QKBluetooth>(); });
}

}  // namespace

QKBluetooth::QKBluetooth()
    : speaker_(std::make_shared<QKBluetoothSpeaker>()),
      central_(QKBluetoothCentralManager::create(speaker_)),
      peripheral_(QKBluetoothPeripheralManager::create(speaker_)) {}

QKBluetooth::~QKBluetooth() {
    dropTimedStop();
}

std::shared_ptr<QKBluetooth> QKBluetooth::shareQKBluetooth() {
    return sharedSlot().get([] { return std::shared_ptr<QKBluetooth>(new QKBluetooth()); });
}

template <>
void resetForTesting<QKBluetooth>() {
    sharedSlot().exchange();
    QKBluetooth::shareQKBluetooth();
}

std::shared_ptr<QKBluetoothCallback> QKBluetooth::at(const std::string& channel) {
    return speaker_->callbackOnChnnel(channel, true);
}

// ---- Block setters.

#define QK_BLOCK_SETTER(Setter, Type, slot)                                       \
    void QKBluetooth::Setter(Type block) {                                        \
        speaker_->callback()->slot = std::move(block);                            \
    }                                                                             \
    void QKBluetooth::Setter##AtChannel(const std::string& channel, Type block) { \
        at(channel)->slot = std::move(block);                                     \
    }

QK_BLOCK_SETTER(setBlockOnCentralManagerDidUpdateState, QKCentralBlock,
                blockOnCentralManagerDidUpdateState)
QK_BLOCK_SETTER(setBlockOnDiscoverToPeripherals, QKDiscoverPeripheralsBlock,
                blockOnDiscoverPeripherals)
QK_BLOCK_SETTER(setBlockOnConnected, QKCentralPeripheralBlock, blockOnConnectedPeripheral)
QK_BLOCK_SETTER(setBlockOnFailToConnect, QKCentralPeripheralErrorBlock, blockOnFailToConnect)
QK_BLOCK_SETTER(setBlockOnDisconnect, QKCentralPeripheralErrorBlock, blockOnDisconnect)
QK_BLOCK_SETTER(setBlockOnDiscoverServices, QKPeripheralErrorBlock, blockOnDiscoverServices)
QK_BLOCK_SETTER(setBlockOnDiscoverCharacteristics, QKServiceBlock, blockOnDiscoverCharacteristics)
QK_BLOCK_SETTER(setBlockOnReadValueForCharacteristic, QKCharacteristicBlock,
                blockOnReadValueForCharacteristic)
QK_BLOCK_SETTER(setBlockOnDiscoverDescriptorsForCharacteristic, QKCharacteristicBlock,
                blockOnDiscoverDescriptorsForCharacteristic)
QK_BLOCK_SETTER(setBlockOnReadValueForDescriptors, QKDescriptorBlock,
                blockOnReadValueForDescriptors)
QK_BLOCK_SETTER(setBlockOnDidWriteValueForCharacteristic, QKCharacteristicErrorBlock,
                blockOnDidWriteValueForCharacteristic)
QK_BLOCK_SETTER(setBlockOnDidWriteValueForDescriptor, QKDescriptorErrorBlock,
                blockOnDidWriteValueForDescriptor)
QK_BLOCK_SETTER(setBlockOnDidUpdateNotificationStateForCharacteristic, QKCharacteristicErrorBlock,
                blockOnDidUpdateNotificationStateForCharacteristic)
QK_BLOCK_SETTER(setBlockOnDidReadRSSI, QKRSSIBlock, blockOnDidReadRSSI)
QK_BLOCK_SETTER(setBlockOnDidDiscoverIncludedServicesForService, QKServiceErrorBlock,
                blockOnDidDiscoverIncludedServicesForService)
QK_BLOCK_SETTER(setBlockOnDidUpdateName, QKPeripheralBlock, blockOnDidUpdateName)
QK_BLOCK_SETTER(setBlockOnDidModifyServices, QKModifyServicesBlock, blockOnDidModifyServices)
QK_BLOCK_SETTER(setBlockOnCancelScanBlock, QKCentralBlock, blockOnCancelScan)
QK_BLOCK_SETTER(setBlockOnCancelAllPeripheralsConnectionBlock, QKCentralBlock,
                blockOnCancelAllPeripheralsConnection)
QK_BLOCK_SETTER(setFilterOnDiscoverPeripherals, QKPeripheralFilter, filterOnDiscoverPeripherals)
QK_BLOCK_SETTER(setFilterOnConnectToPeripherals, QKPeripheralFilter, filterOnconnectToPeripherals)

#undef QK_BLOCK_SETTER

void QKBluetooth::setQKBluetoothOptionsWithScanForPeripheralsWithOptions(
    std::optional<Dictionary> scanForPeripheralsWithOptions,
    std::optional<Dictionary> connectPeripheralWithOptions,
    std::optional<std::vector<CBUUID>> scanForPeripheralsWithServices,
    std::optional<std::vector<CBUUID>> discoverWithServices,
    std::optional<std::vector<CBUUID>> discoverWithCharacteristics) {
    setQKBluetoothOptionsAtChannel(
        QKBluetoothSpeaker::kDefaultChannel, std::move(scanForPeripheralsWithOptions),
        std::move(connectPeripheralWithOptions), std::move(scanForPeripheralsWithServices),
        std::move(discoverWithServices), std::move(discoverWithCharacteristics));
}

void QKBluetooth::setQKBluetoothOptionsAtChannel(
    const std::string& channel, std::optional<Dictionary> scanForPeripheralsWithOptions,
    std::optional<Dictionary> connectPeripheralWithOptions,
    std::optional<std::vector<CBUUID>> scanForPeripheralsWithServices,
    std::optional<std::vector<CBUUID>> discoverWithServices,
    std::optional<std::vector<CBUUID>> discoverWithCharacteristics) {
    at(channel)->bluetoothOptions = std::make_shared<QKBluetoothOptions>(
        std::move(scanForPeripheralsWithOptions), std::move(connectPeripheralWithOptions),
        std::move(scanForPeripheralsWithServices), std::move(discoverWithServices),
        std::move(discoverWithCharacteristics));
}

// ---- The chain.

QKBluetooth& QKBluetooth::mark(const char* step) {
    central_->pocket.set(step, "YES");
    return *this;
}

QKBluetooth& QKBluetooth::scanForPeripherals() {
    return mark(kSteps[0]);
}
QKBluetooth& QKBluetooth::connectToPeripherals() {
    return mark(kSteps[1]);
}
QKBluetooth& QKBluetooth::discoverServices() {
    return mark(kSteps[2]);
}
QKBluetooth& QKBluetooth::discoverCharacteristics() {
    return mark(kSteps[3]);
}
QKBluetooth& QKBluetooth::readValueForCharacteristic() {
    return mark(kSteps[4]);
}
QKBluetooth& QKBluetooth::discoverDescriptorsForCharacteristic() {
    return mark(kSteps[5]);
}
QKBluetooth& QKBluetooth::readValueForDescriptors() {
    return mark(kSteps[6]);
}

QKBluetooth& QKBluetooth::having(const CBPeripheralPtr& peripheral) {
    central_->pocket.set(kPeripheralKey, Value::object(peripheral));
    return *this;
}

QKBluetooth& QKBluetooth::channel(const std::string& channel) {
    central_->pocket.set(kChannelKey, channel);
    return *this;
}

void QKBluetooth::dropTimedStop() {
    if (timerForStop_) timerForStop_->cancel();
    timerForStop_.reset();
}

void QKBluetooth::resetSeriseParmeter() {
    central_->resetSeriseParmeter();
}

QKBluetooth& QKBluetooth::begin() {
    dropTimedStop();
    auto& c = *central_;
    resetSeriseParmeter();
    bool* flags[] = {&c.needScanForPeripherals,         &c.needConnectPeripheral,
                     &c.needDiscoverServices,           &c.needDiscoverCharacteristics,
                     &c.needReadValueForCharacteristic, &c.needDiscoverDescriptorsForCharacteristic,
                     &c.needReadValueForDescriptors};
    for (size_t i = 0; i < std::size(kSteps); ++i) *flags[i] = c.pocket[kSteps[i]].text() == "YES";
    switchChannel(c.pocket[kChannelKey].optionalText());
    auto peripheral = c.pocket[kPeripheralKey].objectAs<CBPeripheral>();
    validateProcess();
    c.pocket = Dictionary{};
    start(peripheral);
    return *this;
}

void QKBluetooth::validateProcess() {
    const auto& c = *central_;
    std::vector<const char*> broken;
    if (c.needReadValueForDescriptors && !c.needDiscoverDescriptorsForCharacteristic)
        broken.push_back(
            "未执行discoverDescriptorsForCharacteristic()不能执行readValueForDescriptors()");
    if ((c.needReadValueForCharacteristic || c.needDiscoverDescriptorsForCharacteristic) &&
        !c.needDiscoverCharacteristics)
        broken.push_back(
            "未执行discoverCharacteristics()不能执行readValueForCharacteristic()或"
            "discoverDescriptorsForCharacteristic()");
    if ((c.needDiscoverCharacteristics || c.needDiscoverDescriptorsForCharacteristic ||
         c.needReadValueForCharacteristic || c.needReadValueForDescriptors) &&
        !c.needDiscoverServices)
        broken.push_back(
            "未执行discoverServices()不能执行discoverCharacteristics()、"
            "readValueForCharacteristic()、discoverDescriptorsForCharacteristic()、"
            "readValueForDescriptors()");
    if (c.needDiscoverServices && !c.needConnectPeripheral)
        broken.push_back("未执行connectToPeripherals()不能执行discoverServices()");
    if (!c.needScanForPeripherals && !c.pocket[kPeripheralKey].objectAs<CBPeripheral>())
        broken.push_back(
            "若不执行scanForPeripherals()方法，则必须执行connectToPeripheral方法并且需要传入参数"
            "(CBPeripheral *)peripheral");
    if (!broken.empty()) throw NamedException(kQKBluetoothUsageException, broken.back());
}

void QKBluetooth::start(const CBPeripheralPtr& peripheral) {
    if (central_->centralManager()->state() != CBManagerState::PoweredOn) {
        const int32_t before = waitTimes_++;
        if (before < kPowerOnWaits) {
            // The retry runs on the main queue, where the flags and channels it reads live.
            std::weak_ptr<QKBluetooth> weak = weak_from_this();
            DispatchQueue::main()->after(kPowerOnWait,
                                         [weak, peripheral, generation = generation_] {
                                             auto self = weak.lock();
                                             if (self && self->generation_ == generation)
                                                 self->start(peripheral);
                                         });
            plainLog(">>> 第%d次等待CBCentralManager打开", waitTimes_);
        } else {
            plainLog(
                ">>> 第%d次等待CBCentralManager "
                "打开任然失败，请检查你蓝牙使用权限或检查设备问题。",
                waitTimes_);
            if (!central_->needScanForPeripherals && peripheral) failWithoutPower(peripheral);
        }
        return;
    }
    waitTimes_ = 0;
    if (central_->needScanForPeripherals) {
        central_->scanPeripherals();
    } else if (peripheral) {
        central_->connectToPeripheral(peripheral);
    }
}

void QKBluetooth::failWithoutPower(const CBPeripheralPtr& peripheral) {
    // A connect that gives up on the power is a failed attempt: its blocks hear so, on the main
    // queue as a platform failure would come, rather than waiting for an event that never comes.
    std::weak_ptr<QKBluetooth> weak = weak_from_this();
    DispatchQueue::main()->async([weak, peripheral, generation = generation_] {
        auto self = weak.lock();
        if (!self || self->generation_ != generation) return;
        self->central_->centralManagerDidFailToConnectPeripheral(
            self->central_->centralManager(), peripheral, makeCBError(CBError::ConnectionFailed));
    });
}

QKBluetooth& QKBluetooth::stop(int32_t seconds) {
    plainLog(">>> stop in %d sec", seconds);
    dropTimedStop();
    std::weak_ptr<QKBluetooth> weak = weak_from_this();
    timerForStop_ = DispatchTimer::create(DispatchQueue::main(), [weak] {
        if (auto self = weak.lock()) self->babyStop();
    });
    timerForStop_->start(seconds);
    return *this;
}

QKBluetooth& QKBluetooth::enjoy() {
    return connectToPeripherals()
        .discoverServices()
        .discoverCharacteristics()
        .readValueForCharacteristic()
        .discoverDescriptorsForCharacteristic()
        .readValueForDescriptors()
        .begin();
}

void QKBluetooth::babyStop() {
    plainLog(">>>did stop");
    dropTimedStop();
    resetSeriseParmeter();
    central_->pocket = Dictionary{};
    central_->cancelScan();
    central_->cancelAllPeripheralsConnection();
}

// ---- Direct actions and lookups.

void QKBluetooth::connectToPeripheral(const CBPeripheralPtr& peripheral) {
    central_->connectToPeripheral(peripheral);
}

void QKBluetooth::cancelPeripheralConnection(const CBPeripheralPtr& peripheral) {
    central_->cancelPeripheralConnection(peripheral);
}

void QKBluetooth::cancelAllPeripheralsConnection() {
    central_->cancelAllPeripheralsConnection();
}

void QKBluetooth::cancelScan() {
    central_->cancelScan();
}

void QKBluetooth::switchChannel(const std::optional<std::string>& channel) {
    speaker_->switchChannel(channel);
}

void QKBluetooth::notify(const CBPeripheralPtr& peripheral,
                         const CBCharacteristicPtr& characteristic, QKCharacteristicBlock block) {
    if (!peripheral) return;
    peripheral->setNotifyValue(true, characteristic);
    speaker_->addNotifyCallback(characteristic, peripheral, std::move(block));
}

void QKBluetooth::cancelNotify(const CBPeripheralPtr& peripheral,
                               const CBCharacteristicPtr& characteristic) {
    if (!peripheral) return;
    peripheral->setNotifyValue(false, characteristic);
    speaker_->removeNotifyCallback(characteristic, peripheral);
}

QKBluetooth& QKBluetooth::characteristicDetails(const CBPeripheralPtr& peripheral,
                                                const CBCharacteristicPtr& characteristic) {
    switchChannel(central_->pocket[kChannelKey].optionalText());
    central_->pocket = Dictionary{};
    if (peripheral && peripheral->state() == CBPeripheralState::Connected) {
        central_->oneReadValueForDescriptors = true;
        peripheral->discoverDescriptorsForCharacteristic(characteristic);
    } else {
        plainLog("!!!设备当前处于非连接状态");
    }
    return *this;
}

const std::vector<CBPeripheralPtr>& QKBluetooth::findConnectedPeripherals() const {
    return central_->findConnectedPeripherals();
}

CBPeripheralPtr QKBluetooth::findConnectedPeripheral(const std::string& name) const {
    return central_->findConnectedPeripheral(name);
}

CBCentralManagerPtr QKBluetooth::centralManager() const {
    return central_->centralManager();
}

CBPeripheralPtr QKBluetooth::retrievePeripheralWithUUIDString(const std::string& uuid) {
    auto identifier = NSUUID::fromString(uuid);
    if (!identifier) {
        plainLog(">>> retrievePeripheralWithUUIDString error:invalid UUID string %s", uuid.c_str());
        return nullptr;
    }
    auto found = centralManager()->retrievePeripheralsWithIdentifiers({*identifier});
    if (found.empty()) {
        plainLog(">>> retrievePeripheralWithUUIDString error:no peripheral %s", uuid.c_str());
        return nullptr;
    }
    return found.front();
}

void QKBluetooth::AutoReconnect(const CBPeripheralPtr& peripheral) {
    central_->sometimes_ever(peripheral);
}

void QKBluetooth::AutoReconnectCancel(const CBPeripheralPtr& peripheral) {
    central_->sometimes_never(peripheral);
}

void QKBluetooth::resetCentralManager() {
    central_ = QKBluetoothCentralManager::create(speaker_);
}

// ---- Peripheral role.

CBPeripheralManagerPtr QKBluetooth::peripheralManager() const {
    return peripheral_->peripheralManager();
}

QKBluetoothPeripheralManager& QKBluetooth::bePeripheral() {
    return *peripheral_;
}

QKBluetoothPeripheralManager& QKBluetooth::bePeripheralWithName(std::string name) {
    peripheral_->setLocalName(std::move(name));
    return *peripheral_;
}

#define QK_PERIPHERAL_SETTER(Setter, Type, slot)       \
    void QKBluetooth::Setter(Type block) {             \
        speaker_->callback()->slot = std::move(block); \
    }

QK_PERIPHERAL_SETTER(peripheralModelBlockOnPeripheralManagerDidUpdateState,
                     QKPeripheralManagerBlock, blockOnPeripheralModelDidUpdateState)
QK_PERIPHERAL_SETTER(peripheralModelBlockOnDidAddService, QKPeripheralManagerServiceBlock,
                     blockOnPeripheralModelDidAddService)
QK_PERIPHERAL_SETTER(peripheralModelBlockOnDidStartAdvertising, QKPeripheralManagerErrorBlock,
                     blockOnPeripheralModelDidStartAdvertising)
QK_PERIPHERAL_SETTER(peripheralModelBlockOnDidReceiveReadRequest, QKPeripheralManagerRequestBlock,
                     blockOnPeripheralModelDidReceiveReadRequest)
QK_PERIPHERAL_SETTER(peripheralModelBlockOnDidReceiveWriteRequests,
                     QKPeripheralManagerRequestsBlock,
                     blockOnPeripheralModelDidReceiveWriteRequests)
QK_PERIPHERAL_SETTER(peripheralModelBlockOnIsReadyToUpdateSubscribers, QKPeripheralManagerBlock,
                     blockOnPeripheralModelIsReadyToUpdateSubscribers)
QK_PERIPHERAL_SETTER(peripheralModelBlockOnDidSubscribeToCharacteristic,
                     QKPeripheralManagerSubscriptionBlock,
                     blockOnPeripheralModelDidSubscribeToCharacteristic)
QK_PERIPHERAL_SETTER(peripheralModelBlockOnDidUnSubscribeToCharacteristic,
                     QKPeripheralManagerSubscriptionBlock,
                     blockOnPeripheralModelDidUnSubscribeToCharacteristic)

#undef QK_PERIPHERAL_SETTER

}  // namespace telvo
