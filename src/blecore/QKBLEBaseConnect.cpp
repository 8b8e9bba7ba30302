#include "blecore/QKBLEBaseConnect.h"

#include "blecore/CBPeripheralQKExtensions.h"
#include "blecore/QKBLEBaseConnectInternal.h"
#include "blecore/QKBLEDeviceManager.h"
#include "core/QKTool.h"
#include "logging/QKLog.h"
#include "platform/crypto/Crypto.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/AppLifecycle.h"
#include "security/QKEllipticCurveSecret.h"
#include "telvosdk/QKMiddleInterface.h"
#include "telvosdk/QKUserDefault.h"
#include "telvosdk/TelvoError.h"

namespace telvo {

using namespace blebase;

namespace {

constexpr const char* kConnectStep = "connect";
// Reconnects in one run, however often the link came back in between: an appliance that drops
// every link it takes must not keep the session alive for ever.
constexpr int64_t kMaxReconnectsPerRun = 9;

std::optional<std::string> textOrNil(const Value& v) {
    if (v.isText()) return v.text();
    return std::nullopt;
}

const char* yesNo(bool value) {
    return value ? "YES" : "NO";
}

}  // namespace

std::string QKBLEBaseConnect::sdkWorkMode() {
    return QKUserDefault::standardUserDefaults()->valueForKey("sdkWorkMode").stringValue();
}

QKBLEBaseConnect::~QKBLEBaseConnect() {
    QKBLEBaseConnect::disconnect();
    crypto::wipe(iConfigModel_.routerPwd);
    MainLoop::cancelPreviousPerformRequests(this);
    QKSDKLOG("[%s] 已释放\n", className().c_str());
}

void QKBLEBaseConnect::setUpWithParam(const QKDeviceBleConfigParams& params) {
    QKBLEDeviceManager::shareInstance()->stopScan();
    peripheral_ = params.peripheral;
    extras_ = params.extras;
    std::optional<Dictionary> dict = QKBLEProtocol::bleDeviceModelForAdvertisementData(peripheral_);
    auto record = qkExtensions(peripheral_);
    if (!dict && record) dict = record->qkSmartDictonary;
    QKSDKLOG(
        "【BLE】蓝牙类初始化 === %s,peripheral.dic == %s,peripheral == %s,peripheral.rssi == %d",
        className().c_str(), dict ? Value(*dict).toJSON().value_or("{...}").c_str() : "(null)",
        peripheral_ ? peripheral_->identifier().UUIDString().c_str() : "(null)",
        record ? record->qkAdvertisementRSSI.value_or(0) : 0);
    if (dict) {
        const Dictionary& d = *dict;
        isAfterSales_ = d["isAfterSales"].boolValue();
        auto device = std::make_shared<QKDevice>();
        device->protocolType = d["bleProtcolVersion"].int64Value();
        device->deviceType = textOrNil(d["deviceType"]).value_or("");
        device->deviceName = textOrNil(d["deviceName"]).value_or("");
        device->btMac = textOrNil(d["deviceMac"]).value_or("");
        device->deviceSn8 = textOrNil(d["deviceSN8"]).value_or("");
        device->deviceSsid = textOrNil(d["deviceSSID"]).value_or("");
        device->deviceSubType = textOrNil(d["deviceSubType"]).value_or("");
        if (d["referenceRSSI"].isNumber()) device->referenceRSSI = d["referenceRSSI"];
        device->functionSetEnable = d["functionSetEnable"].boolValue();
        device->regionIdEnable = d["regionIDEnable"].boolValue();
        device->supportBind = d["supportBind"].boolValue();
        device->transportEnable = d["transportEnable"].boolValue();
        device->functionExtension = d["functionExtension"].boolValue();
        device->supportAIError = d["supportAIError"].boolValue();
        device->qkSmartDict = d;
        std::weak_ptr<QKBLEBaseConnect> weak = weak_from_this();
        observers_.addNotifiCenterObserverName(UIApplicationWillEnterForegroundNotification,
                                               [weak](const Notification&) {
                                                   if (auto self = weak.lock())
                                                       self->willEnterForeground();
                                               });
        bleDevice_ = std::move(device);
    }
    isBleForceValidRandom_ = true;
    bledisConnectingCount_ = 0;
    resetRetryState();
}

void QKBLEBaseConnect::beginRun() {
    isReConnectBleDevice_ = false;
    reconnects_ = 0;
    moduleErrorCode_ = 0;
    checkApFailedResultCode_ = 0;
    isFindDeviceInLAN_ = false;
    findDevice_ = false;
}

QKDevice& QKBLEBaseConnect::deviceRecord() {
    if (!bleDevice_) bleDevice_ = std::make_shared<QKDevice>();
    return *bleDevice_;
}

void QKBLEBaseConnect::setRouterBSSID(const std::optional<std::string>& bssid) {
    iConfigModel_.routerBSSID = QKTool::safeSetBssid(bssid);
}

const Bytes& QKBLEBaseConnect::rootKey() {
    if (!rootKey_) {
        std::string text =
            QKMiddleInterface::shareInstance()->middleConfig()->bleCommonDefaultKey();
        if (text.size() != 16) text = "7305918264407153";
        rootKey_ = Bytes(text.begin(), text.end());
    }
    return *rootKey_;
}

const std::shared_ptr<QKEllipticCurveSecret>& QKBLEBaseConnect::secret() {
    if (!secret_) secret_ = QKEllipticCurveSecret::createECCSecret();
    return secret_;
}

void QKBLEBaseConnect::removeNotifiCenterObserver() {
    observers_.removeNotifiCenterObserverName(UIApplicationWillEnterForegroundNotification);
    cuCheckApTask_ = nullptr;
}

// ---- Lifecycle.

void QKBLEBaseConnect::resetRetryState() {
    tlsLastCntId_ = 0;
    if (auto record = qkExtensions(peripheral_)) {
        record->curReConnectCount = 0;
        record->manualDisconnectTag = false;
        qkSessionRecord(peripheral_)->writeWithResponseDict =
            std::make_shared<QKWriteWithResponseDict>();
    }
}

void QKBLEBaseConnect::connect() {
    QKSDKLOG("【BLE】 step1:start connect!");
    useRootKey();
    if (!peripheral_) {
        // Nothing to connect: the run ends at once rather than leave its caller waiting.
        QKSDKLOG("【BLE】step1:peripheral为nil");
        finalResultWithError(bleErrorWithCode(4085), nullptr, true);
        return;
    }
    const CBPeripheralState state = peripheral_->state();
    auto manager = QKBLEDeviceManager::shareInstance();
    if (state == CBPeripheralState::Disconnected) {
        isConfigProcessIng_ = true;
        auto record = qkExtensions(peripheral_);
        const QKBLEDeviceManager::Channel channel = record->mas_mac;
        const bool three = bleDevice_ && bleDevice_->protocolType == 3;
        serviceUUID_ = CBUUID::UUIDWithString(three ? "FD24" : "FF80");
        writeUUID_ = CBUUID::UUIDWithString(three ? "FF31" : "FF81");
        notifyUUID_ = CBUUID::UUIDWithString(three ? "FF32" : "FF82");
        qkSessionRecord(peripheral_)->boundSession = this;
        std::weak_ptr<QKBLEBaseConnect> weak = weak_from_this();
        manager->connect(
            peripheral_, channel,
            [weak](const CBCentralManagerPtr&, const CBPeripheralPtr& p, const ErrorPtr& error) {
                if (auto self = weak.lock()) self->connectionBlock(p, error);
            });
        manager->disconnectConnectChannel(
            channel, [weak](const CBCentralManagerPtr&, const CBPeripheralPtr&, const ErrorPtr& e) {
                auto self = weak.lock();
                if (!self) return;
                QKSDKLOG("ble disconnected !error: %s",
                         e ? e->localizedDescription().c_str() : "(null)");
                self->handleReConnectBLEStrategy();
            });
        manager->discoverServicesChannel(channel,
                                         [weak](const CBPeripheralPtr& p, const ErrorPtr& error) {
                                             if (auto self = weak.lock())
                                                 self->servicesBlock(p, error);
                                         });
        auto once = std::make_shared<bool>(false);
        manager->discoverCharacteristics(
            channel, [weak, once](const CBPeripheralPtr& p, const CBServicePtr& service,
                                  const ErrorPtr& error) {
                if (auto self = weak.lock()) self->characteristicsBlock(p, service, error, once);
            });
        return;
    }
    QKSDKLOG("【BLE】peripheral.state=%d,外设当前不可连接", static_cast<int>(state));
    if (bledisConnectingCount_ > 2) {
        // Still busy after three releases: give up rather than leave the caller waiting.
        blueDisconnect();
        return;
    }
    if (state == CBPeripheralState::Connecting || state == CBPeripheralState::Disconnecting) {
        ++bledisConnectingCount_;
        isConnecting_ = true;
        manager->disconnectPeriphera(peripheral_);
        QKSDKLOG("【BLE】peripheral.state=%d,外设当前不可连接延时0.5s重连",
                 static_cast<int>(state));
        MainLoop::performAfterDelay(this, kConnectStep, 0.5,
                                    [self = shared_from_this()] { self->connect(); });
    }
}

void QKBLEBaseConnect::connectionBlock(const CBPeripheralPtr& p, const ErrorPtr& error) {
    if (error) {
        QKSDKLOG("ble disconnected !error: %s", error->localizedDescription().c_str());
        handleReConnectBLEStrategy();
    } else if (p && p->state() == CBPeripheralState::Connected) {
        QKSDKLOG("ble step1:connect suc!");
        resetRetryState();
        assembler_.reset();  // a piece of a frame from the lost link never completes
        isConnecting_ = false;
        updateBlockWithState(1);
        QKSDKLOG("ble step2:start discoverServices!");
    } else {
        QKSDKLOG("ble step1:connect fail !");
        handleReConnectBLEStrategy();
    }
}

bool QKBLEBaseConnect::ignoresDiscoveryFailure() const {
    return isReConnectBleDevice_ && cuCheckApTask_;
}

void QKBLEBaseConnect::discoveryFailed(int64_t code) {
    // During a reconnect the running cloud confirmation decides the outcome.
    if (ignoresDiscoveryFailure()) return;
    finalResultWithError(bleErrorWithCode(code), nullptr, true);
}

void QKBLEBaseConnect::servicesBlock(const CBPeripheralPtr& p, const ErrorPtr& error) {
    if (error) {
        QKSDKLOG("ble step2:discoverServices fail,error=%s, isReConnect:%d, task:%p",
                 error->localizedDescription().c_str(), isReConnectBleDevice_,
                 static_cast<void*>(cuCheckApTask_.get()));
        discoveryFailed(4086);
        return;
    }
    std::string names;
    for (const auto& s : p->services()) names += s->UUID().UUIDString() + " ";
    QKSDKLOG("ble step2.1:discoverServices Services----%s", names.c_str());
    for (const auto& s : p->services()) {
        if (s->UUID() == serviceUUID_) {
            QKSDKLOG("ble step2.2:discoverServices suc");
            updateBlockWithState(2);
            return;
        }
    }
    QKSDKLOG(
        "ble step2.3:discoverServices fail not found service uuid=ff80, isReConnect:%d, task:%p",
        isReConnectBleDevice_, static_cast<void*>(cuCheckApTask_.get()));
    discoveryFailed(4086);
}

void QKBLEBaseConnect::characteristicsBlock(const CBPeripheralPtr& p, const CBServicePtr& service,
                                            const ErrorPtr& error,
                                            const std::shared_ptr<bool>& once) {
    if (error) {
        QKSDKLOG("ble step3:discoverCharacteristics fail error=%s, isReConnect:%d, task:%p",
                 error->localizedDescription().c_str(), isReConnectBleDevice_,
                 static_cast<void*>(cuCheckApTask_.get()));
        discoveryFailed(4087);
        return;
    }
    if (!service || service->UUID() != serviceUUID_ || *once) return;
    bool writeFound = false, notifyFound = false;
    auto manager = QKBLEDeviceManager::shareInstance();
    const QKBLEDeviceManager::Channel channel = qkExtensions(peripheral_)->mas_mac;
    std::weak_ptr<QKBLEBaseConnect> weak = weak_from_this();
    for (const auto& c : service->characteristics()) {
        if (c->UUID() == writeUUID_) {
            writeCharacteristic_ = c;
            writeFound = true;
            QKSDKLOG("发现时候的外设与特征值：%s---%s", p->identifier().UUIDString().c_str(),
                     c->UUID().UUIDString().c_str());
        } else if (c->UUID() == notifyUUID_) {
            manager->notify(
                p, c,
                [weak](const CBPeripheralPtr&, const CBCharacteristicPtr& ch, const ErrorPtr& e) {
                    auto self = weak.lock();
                    if (!self) return;
                    if (e) {
                        QKSDKLOG("ble step3.2:set notifyCharacteristic fail error=%s",
                                 e->localizedDescription().c_str());
                        return;
                    }
                    self->receiveBleData(ch->value());
                });
            manager->characteristicDetails(channel, p, c);
            notifyFound = true;
        }
        if (writeFound && notifyFound) break;
    }
    if (writeFound && notifyFound) {
        *once = true;
        QKSDKLOG("ble step3:discoverCharacteristics suc");
        const uint64_t run = disconnects_;
        updateBlockWithState(3);
        if (run == disconnects_) startExchangeKey();  // not when the progress block stopped us
        return;
    }
    QKSDKLOG(
        "ble step3:discoverCharacteristics setWrite or notifyValue fail! FF81：%d FF82：%d, "
        "isReConnect:%d, task:%p",
        writeFound, notifyFound, isReConnectBleDevice_, static_cast<void*>(cuCheckApTask_.get()));
    discoveryFailed(4087);
}

void QKBLEBaseConnect::handleReConnectBLEStrategy() {
    auto record = qkExtensions(peripheral_);
    const bool manual = record && record->manualDisconnectTag;
    const int64_t count = record ? record->curReConnectCount : 0;
    const bool due =
        !manual && count <= 2 && isConfigProcessIng_ && reconnects_ < kMaxReconnectsPerRun;
    QKSDKLOG(
        "【BLE】:重连蓝牙策略：%s -manualDisconnectTag:%s--curReConnectCount:%ld--cuCheckApTask:"
        "%p isConfigProcessIng:%d",
        due ? "需要重连" : "不符合重连条件", yesNo(manual), long(count),
        static_cast<void*>(cuCheckApTask_.get()), isConfigProcessIng_);
    // What was still to be written belongs to the lost link.
    dropPendingChunks();
    if (due) {
        isReConnectBleDevice_ = true;
        ++reconnects_;
        if (record) ++record->curReConnectCount;
        connect();
        cancelAllSendDataStrategySelector();
    } else if (!manual && !cuCheckApTask_) {
        useRootKey();
        blueDisconnect();
    } else {
        useRootKey();
        cancelAllSendDataStrategySelector();
    }
}

void QKBLEBaseConnect::blueDisconnect() {
    finalResultWithError(bleErrorWithCode(4085), nullptr, true);
}

void QKBLEBaseConnect::stopConfig() {
    cancelAllSendDataStrategySelector();
    disconnect();
    crypto::wipe(iConfigModel_.routerPwd);
}

void QKBLEBaseConnect::cancelDelayedSteps() {
    MainLoop::cancelPreviousPerformRequests(this, kConnectStep);
    MainLoop::cancelPreviousPerformRequests(this, kExchangeStep);
    dropPendingChunks();
}

bool QKBLEBaseConnect::ownsPeripheral() const {
    auto record = qkSessionRecord(peripheral_);
    return record && (record->boundSession == nullptr || record->boundSession == this);
}

void QKBLEBaseConnect::disconnect() {
    ++disconnects_;
    stopClocks();
    cancelDelayedSteps();
    // The run's keys end with it; a new run exchanges fresh ones.
    crypto::wipe(aesKey_);
    useRootKey();
    reportFramesBeforeKey();
    crypto::wipe(tlsSessionKey_);
    crypto::wipe(tlsPrivateKeyData_);
    if (secret_) secret_->wipe();
    secret_.reset();
    QKSDKLOG("【BLE】base 断开连接 当前的外设:%s",
             peripheral_ ? peripheral_->identifier().UUIDString().c_str() : "(null)");
    // A newer session may have taken the peripheral over; its link is not ours to cancel.
    if (peripheral_ && ownsPeripheral()) {
        qkSessionRecord(peripheral_)->boundSession = nullptr;
        QKBLEDeviceManager::shareInstance()->disconnectPeriphera(peripheral_);
    }
    bledisConnectingCount_ = 0;
    reconnects_ = 0;
}

void QKBLEBaseConnect::updateBlockWithState(int64_t state) {
    if (state == 9) isFindDeviceInLAN_ = true;
    if (updateCallBack_) updateCallBack_(state);
}

void QKBLEBaseConnect::finalResultWithError(const ErrorPtr& error, std::shared_ptr<QKDevice> device,
                                            bool needDisConnect) {
    auto keep = shared_from_this();
    isConfigProcessIng_ = false;
    isConfigEnded_ = true;
    if (needDisConnect) {
        disconnect();
    } else {
        stopClocks();
    }
    if (!device) device = getDeviceInfo(Dictionary{});
    device->isSupportAuthtrue = bleDevice_ && bleDevice_->isSupportAuthtrue;
    removeNotifiCenterObserver();
    cancelAllSendDataStrategySelector();
    if (configCompletion_) configCompletion_(error, device);
}

std::shared_ptr<QKDevice> QKBLEBaseConnect::getDeviceInfo(const Dictionary& dict) const {
    auto device = std::make_shared<QKDevice>();
    device->verificationCode = textOrNil(dict["verificationCode"]).value_or("");
    device->applianceCode = textOrNil(dict["applianceCode"]).value_or("");
    if (bleDevice_) {
        const QKDevice& b = *bleDevice_;
        device->deviceType = b.deviceType;
        device->deviceSubType = b.deviceSubType;
        device->deviceName = b.deviceName;
        device->transportEnable = b.transportEnable;
        device->moduleVersion = b.moduleVersion;
        device->bleVersion = b.bleVersion;
        device->checkRandom = b.checkRandom;
        device->isSupportCancelConfig = b.isSupportCancelConfig;
        device->btMac = b.btMac;
        device->softwareVersion = b.softwareVersion;
        device->bleToken = b.bleToken;
        device->supportBind = b.supportBind;
        device->deviceId = b.deviceId;
        device->productInfoData = b.productInfoData;
    }
    device->randomCode = randomNum_;
    const std::string mode = sdkWorkMode();
    if (bleDevice_ && (mode == "10001" || mode == "10003")) device->deviceSn = bleDevice_->deviceSn;
    return device;
}

ErrorPtr QKBLEBaseConnect::bleErrorWithCode(int64_t code) const {
    return TelvoError::sdkErrorWithType(1, code);
}

ErrorPtr QKBLEBaseConnect::errWithCode(int64_t code, const std::string& des) const {
    return TelvoError::errorWithType(1, 1, code, des);
}

void QKBLEBaseConnect::endWithError(const ErrorPtr& error) {
    finalResultWithError(error, nullptr, true);
}

}  // namespace telvo
