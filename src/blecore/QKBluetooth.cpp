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

SharedInstance<QKBluetooth>& sharedBluetooth() {
    return processWide([] { return new SharedInstance<QKBluetooth>(); });
}

QKBluetoothImpl& impl(QKBluetooth& facade) {
    return QKBluetoothImpl::of(facade);
}
const QKBluetoothImpl& impl(const QKBluetooth& facade) {
    return QKBluetoothImpl::of(facade);
}

}  // namespace

QKBluetoothImpl::QKBluetoothImpl()
    : speaker(std::make_shared<QKBluetoothSpeaker>()),
      central(QKBluetoothCentralManager::create(speaker)),
      peripheral(QKBluetoothPeripheralManagerImpl::create(speaker)) {}

QKBluetoothImpl::~QKBluetoothImpl() {
    dropTimedStop();
}

std::shared_ptr<QKBluetooth> QKBluetooth::shareQKBluetooth() {
    return sharedBluetooth().get(
        [] { return std::shared_ptr<QKBluetooth>(new QKBluetoothImpl()); });
}

template <>
void resetForTesting<QKBluetooth>() {
    sharedBluetooth().exchange();
    QKBluetooth::shareQKBluetooth();
}

std::shared_ptr<QKBluetoothCallback> QKBluetoothImpl::at(const std::string& channel) {
    return speaker->callbackOnChnnel(channel, true);
}

// ---- Block setters.

#define QK_BLOCK_SETTER(Setter, Type, slot)                                       \
    void QKBluetooth::Setter(Type block) {                                        \
        impl(*this).speaker->callback()->slot = std::move(block);                 \
    }                                                                             \
    void QKBluetooth::Setter##AtChannel(const std::string& channel, Type block) { \
        impl(*this).at(channel)->slot = std::move(block);                         \
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
    impl(*this).at(channel)->bluetoothOptions = std::make_shared<QKBluetoothOptions>(
        std::move(scanForPeripheralsWithOptions), std::move(connectPeripheralWithOptions),
        std::move(scanForPeripheralsWithServices), std::move(discoverWithServices),
        std::move(discoverWithCharacteristics));
}

// ---- The chain.

QKBluetooth& QKBluetoothImpl::mark(const char* step) {
    central->pocket.set(step, "YES");
    return *this;
}

QKBluetooth& QKBluetooth::scanForPeripherals() {
    return impl(*this).mark(kSteps[0]);
}
QKBluetooth& QKBluetooth::connectToPeripherals() {
    return impl(*this).mark(kSteps[1]);
}
QKBluetooth& QKBluetooth::discoverServices() {
    return impl(*this).mark(kSteps[2]);
}
QKBluetooth& QKBluetooth::discoverCharacteristics() {
    return impl(*this).mark(kSteps[3]);
}
QKBluetooth& QKBluetooth::readValueForCharacteristic() {
    return impl(*this).mark(kSteps[4]);
}
QKBluetooth& QKBluetooth::discoverDescriptorsForCharacteristic() {
    return impl(*this).mark(kSteps[5]);
}
QKBluetooth& QKBluetooth::readValueForDescriptors() {
    return impl(*this).mark(kSteps[6]);
}

QKBluetooth& QKBluetooth::having(const CBPeripheralPtr& peripheral) {
    impl(*this).central->pocket.set(kPeripheralKey, Value::object(peripheral));
    return *this;
}

QKBluetooth& QKBluetooth::channel(const std::string& channel) {
    impl(*this).central->pocket.set(kChannelKey, channel);
    return *this;
}

void QKBluetoothImpl::dropTimedStop() {
    if (timerForStop) timerForStop->cancel();
    timerForStop.reset();
}

void QKBluetooth::resetSeriseParmeter() {
    impl(*this).central->resetSeriseParmeter();
}

QKBluetooth& QKBluetooth::begin() {
    impl(*this).dropTimedStop();
    auto& c = *impl(*this).central;
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
    const auto& c = *impl(*this).central;
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
    auto& d = impl(*this);
    if (d.central->centralManager()->state() != CBManagerState::PoweredOn) {
        const int32_t before = d.centralManagerInitWaitTimes++;
        if (before < kPowerOnWaits) {
            // The retry runs on the main queue, where the flags and channels it reads live.
            std::weak_ptr<QKBluetooth> weak = weak_from_this();
            DispatchQueue::main()->after(kPowerOnWait, [weak, peripheral] {
                if (auto self = weak.lock()) self->start(peripheral);
            });
            plainLog(">>> 第%d次等待CBCentralManager打开", d.centralManagerInitWaitTimes);
        } else {
            plainLog(
                ">>> 第%d次等待CBCentralManager "
                "打开任然失败，请检查你蓝牙使用权限或检查设备问题。",
                d.centralManagerInitWaitTimes);
            if (!d.central->needScanForPeripherals && peripheral) d.failWithoutPower(peripheral);
        }
        return;
    }
    d.centralManagerInitWaitTimes = 0;
    if (d.central->needScanForPeripherals) {
        d.central->scanPeripherals();
    } else if (peripheral) {
        d.central->connectToPeripheral(peripheral);
    }
}

void QKBluetoothImpl::failWithoutPower(const CBPeripheralPtr& target) {
    // Its blocks hear so rather than waiting for an event that never comes.
    std::weak_ptr<QKBluetooth> weak = weak_from_this();
    DispatchQueue::main()->async([weak, target] {
        auto self = weak.lock();
        if (!self) return;
        const auto& central = impl(*self).central;
        central->centralManagerDidFailToConnectPeripheral(central->centralManager(), target,
                                                          makeCBError(CBError::ConnectionFailed));
    });
}

QKBluetooth& QKBluetooth::stop(int32_t seconds) {
    plainLog(">>> stop in %d sec", seconds);
    impl(*this).dropTimedStop();
    std::weak_ptr<QKBluetooth> weak = weak_from_this();
    auto& timer = impl(*this).timerForStop;
    timer = DispatchTimer::create(DispatchQueue::main(), [weak] {
        if (auto self = weak.lock()) self->babyStop();
    });
    timer->start(seconds);
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
    auto& d = impl(*this);
    d.dropTimedStop();
    resetSeriseParmeter();
    d.central->pocket = Dictionary{};
    d.central->cancelScan();
    d.central->cancelAllPeripheralsConnection();
}

// ---- Direct actions and lookups.

void QKBluetooth::connectToPeripheral(const CBPeripheralPtr& peripheral) {
    impl(*this).central->connectToPeripheral(peripheral);
}

void QKBluetooth::cancelPeripheralConnection(const CBPeripheralPtr& peripheral) {
    impl(*this).central->cancelPeripheralConnection(peripheral);
}

void QKBluetooth::cancelAllPeripheralsConnection() {
    impl(*this).central->cancelAllPeripheralsConnection();
}

void QKBluetooth::cancelScan() {
    impl(*this).central->cancelScan();
}

void QKBluetooth::switchChannel(const std::optional<std::string>& channel) {
    impl(*this).speaker->switchChannel(channel);
}

void QKBluetooth::notify(const CBPeripheralPtr& peripheral,
                         const CBCharacteristicPtr& characteristic, QKCharacteristicBlock block) {
    if (!peripheral) return;
    peripheral->setNotifyValue(true, characteristic);
    impl(*this).speaker->addNotifyCallback(characteristic, peripheral, std::move(block));
}

void QKBluetooth::cancelNotify(const CBPeripheralPtr& peripheral,
                               const CBCharacteristicPtr& characteristic) {
    if (!peripheral) return;
    peripheral->setNotifyValue(false, characteristic);
    impl(*this).speaker->removeNotifyCallback(characteristic, peripheral);
}

QKBluetooth& QKBluetooth::characteristicDetails(const CBPeripheralPtr& peripheral,
                                                const CBCharacteristicPtr& characteristic) {
    auto& central = *impl(*this).central;
    switchChannel(central.pocket[kChannelKey].optionalText());
    central.pocket = Dictionary{};
    if (peripheral && peripheral->state() == CBPeripheralState::Connected) {
        central.oneReadValueForDescriptors = true;
        peripheral->discoverDescriptorsForCharacteristic(characteristic);
    } else {
        plainLog("!!!设备当前处于非连接状态");
    }
    return *this;
}

const std::vector<CBPeripheralPtr>& QKBluetooth::findConnectedPeripherals() const {
    return impl(*this).central->findConnectedPeripherals();
}

CBPeripheralPtr QKBluetooth::findConnectedPeripheral(const std::string& name) const {
    return impl(*this).central->findConnectedPeripheral(name);
}

CBCentralManagerPtr QKBluetooth::centralManager() const {
    return impl(*this).central->centralManager();
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
    impl(*this).central->sometimes_ever(peripheral);
}

void QKBluetooth::AutoReconnectCancel(const CBPeripheralPtr& peripheral) {
    impl(*this).central->sometimes_never(peripheral);
}

void QKBluetooth::resetCentralManager() {
    impl(*this).central = QKBluetoothCentralManager::create(impl(*this).speaker);
}

// ---- Peripheral role.

CBPeripheralManagerPtr QKBluetooth::peripheralManager() const {
    return impl(*this).peripheral->peripheralManager();
}

QKBluetoothPeripheralManager& QKBluetooth::bePeripheral() {
    return *impl(*this).peripheral;
}

QKBluetoothPeripheralManager& QKBluetooth::bePeripheralWithName(std::string name) {
    auto& role = *impl(*this).peripheral;
    role.setLocalName(std::move(name));
    return role;
}

#define QK_PERIPHERAL_SETTER(Setter, Type, slot)                  \
    void QKBluetooth::Setter(Type block) {                        \
        impl(*this).speaker->callback()->slot = std::move(block); \
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
