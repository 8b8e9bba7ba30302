#include "blecore/QKBLEBaseConnect.h"

#include <string_view>

#include "blecore/CBPeripheralQKExtensions.h"
#include "blecore/QKBLEDeviceManager.h"
#include "core/QKStringFormat.h"
#include "core/QKTool.h"
#include "logging/QKLog.h"
#include "platform/crypto/KeyStore.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/AppLifecycle.h"
#include "protocol/QKCommonProtocol.h"
#include "security/QKDataSecurity.h"
#include "security/QKEllipticCurveSecret.h"
#include "security/QKSigECCEncryptHelper.h"
#include "telvosdk/QKMiddleInterface.h"
#include "telvosdk/QKUserDefault.h"
#include "telvosdk/TelvoError.h"

namespace telvo {

namespace {

constexpr const char* kConnectStep = "connect";
constexpr const char* kExchangeStep = "startExchangeKey";
constexpr const char* kChunkStep = "sendDataChunk";
constexpr double kChunkSpacing = 0.02;
constexpr double kResendDelay = 5.0;
constexpr int64_t kMaxResends = 3;
// Reconnects in one run, however often the link came back in between: an appliance that drops
// every link it takes must not keep the session alive for ever.
constexpr int64_t kMaxReconnectsPerRun = 9;
constexpr uint32_t kWriteWithoutResponseOnly = CBCharacteristicProperty::WriteWithoutResponse;

std::string resendStep(int64_t msgType) {
    return "reSendDataStrategy:" + std::to_string(msgType);
}

std::string hex(ByteView data) {
    return QKStringFormat::hexStringForData(Bytes(data.begin(), data.end())).value_or("");
}

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
    MainLoop::cancelPreviousPerformRequests(this);
    QKSDKLOG("[%s] 已释放\n", className().c_str());
}

void QKBLEBaseConnect::setUpWithParam(const QKDeviceBleConfigParams& params) {
    QKBLEDeviceManager::shareInstance()->stopScan();
    peripheral = params.peripheral;
    extras = params.extras;
    std::optional<Dictionary> dict = QKBLEProtocol::bleDeviceModelForAdvertisementData(peripheral);
    auto record = qkExtensions(peripheral);
    if (!dict && record) dict = record->qkSmartDictonary;
    QKSDKLOG(
        "【BLE】蓝牙类初始化 === %s,peripheral.dic == %s,peripheral == %s,peripheral.rssi == %d",
        className().c_str(), dict ? Value(*dict).toJSON().value_or("{...}").c_str() : "(null)",
        peripheral ? peripheral->identifier().UUIDString().c_str() : "(null)",
        record ? record->qkAdvertisementRSSI.value_or(0) : 0);
    if (dict) {
        const Dictionary& d = *dict;
        isAfterSales = d["isAfterSales"].boolValue();
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
        bleDevice = std::move(device);
    }
    isBleForceValidRandom = true;
    bledisConnectingCount = 0;
    resetRetryState();
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
    cuCheckApTask = nullptr;
}

// ---- Lifecycle.

void QKBLEBaseConnect::resetRetryState() {
    tlsLastCntId = 0;
    if (auto record = qkExtensions(peripheral)) {
        record->curReConnectCount = 0;
        record->manualDisconnectTag = false;
        record->writeWithResponseDict = std::make_shared<QKWriteWithResponseDict>();
    }
}

void QKBLEBaseConnect::connect() {
    QKSDKLOG("【BLE】 step1:start connect!");
    aesKey = rootKey();
    if (!peripheral) {
        QKSDKLOG("【BLE】step1:peripheral为nil");
        return;
    }
    const CBPeripheralState state = peripheral->state();
    auto manager = QKBLEDeviceManager::shareInstance();
    if (state == CBPeripheralState::Disconnected) {
        isConfigProcessIng = true;
        auto record = qkExtensions(peripheral);
        const QKBLEDeviceManager::Channel channel = record->mas_mac;
        const bool three = bleDevice && bleDevice->protocolType == 3;
        serviceUUID_ = CBUUID::UUIDWithString(three ? "FD24" : "FF80");
        writeUUID_ = CBUUID::UUIDWithString(three ? "FF31" : "FF81");
        notifyUUID_ = CBUUID::UUIDWithString(three ? "FF32" : "FF82");
        record->boundSession = this;
        std::weak_ptr<QKBLEBaseConnect> weak = weak_from_this();
        manager->connect(
            peripheral, channel,
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
    if (bledisConnectingCount > 2) {
        // Still busy after three releases: give up rather than leave the caller waiting.
        blueDisconnect();
        return;
    }
    if (state == CBPeripheralState::Connecting || state == CBPeripheralState::Disconnecting) {
        ++bledisConnectingCount;
        isConnecting = true;
        manager->disconnectPeriphera(peripheral);
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
        isConnecting = false;
        updateBlockWithState(1);
        QKSDKLOG("ble step2:start discoverServices!");
    } else {
        QKSDKLOG("ble step1:connect fail !");
        handleReConnectBLEStrategy();
    }
}

bool QKBLEBaseConnect::ignoresDiscoveryFailure() const {
    return isReConnectBleDevice && cuCheckApTask;
}

void QKBLEBaseConnect::discoveryFailed(int64_t code) {
    // During a reconnect the running cloud confirmation decides the outcome.
    if (ignoresDiscoveryFailure()) return;
    finalResultWithError(bleErrorWithCode(code), nullptr, true);
}

void QKBLEBaseConnect::servicesBlock(const CBPeripheralPtr& p, const ErrorPtr& error) {
    if (error) {
        QKSDKLOG("ble step2:discoverServices fail,error=%s, isReConnect:%d, task:%p",
                 error->localizedDescription().c_str(), isReConnectBleDevice,
                 static_cast<void*>(cuCheckApTask.get()));
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
        isReConnectBleDevice, static_cast<void*>(cuCheckApTask.get()));
    discoveryFailed(4086);
}

void QKBLEBaseConnect::characteristicsBlock(const CBPeripheralPtr& p, const CBServicePtr& service,
                                            const ErrorPtr& error,
                                            const std::shared_ptr<bool>& once) {
    if (error) {
        QKSDKLOG("ble step3:discoverCharacteristics fail error=%s, isReConnect:%d, task:%p",
                 error->localizedDescription().c_str(), isReConnectBleDevice,
                 static_cast<void*>(cuCheckApTask.get()));
        discoveryFailed(4087);
        return;
    }
    if (!service || service->UUID() != serviceUUID_ || *once) return;
    bool writeFound = false, notifyFound = false;
    auto manager = QKBLEDeviceManager::shareInstance();
    const QKBLEDeviceManager::Channel channel = qkExtensions(peripheral)->mas_mac;
    std::weak_ptr<QKBLEBaseConnect> weak = weak_from_this();
    for (const auto& c : service->characteristics()) {
        if (c->UUID() == writeUUID_) {
            writeCharacteristic = c;
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
        writeFound, notifyFound, isReConnectBleDevice, static_cast<void*>(cuCheckApTask.get()));
    discoveryFailed(4087);
}

void QKBLEBaseConnect::handleReConnectBLEStrategy() {
    auto record = qkExtensions(peripheral);
    const bool manual = record && record->manualDisconnectTag;
    const int64_t count = record ? record->curReConnectCount : 0;
    const bool due =
        !manual && count <= 2 && isConfigProcessIng && reconnects_ < kMaxReconnectsPerRun;
    QKSDKLOG(
        "【BLE】:重连蓝牙策略：%s -manualDisconnectTag:%s--curReConnectCount:%ld--cuCheckApTask:"
        "%p isConfigProcessIng:%d",
        due ? "需要重连" : "不符合重连条件", yesNo(manual), long(count),
        static_cast<void*>(cuCheckApTask.get()), isConfigProcessIng);
    // What was still to be written belongs to the lost link.
    dropPendingChunks();
    if (due) {
        isReConnectBleDevice = true;
        ++reconnects_;
        if (record) ++record->curReConnectCount;
        connect();
        cancelAllSendDataStrategySelector();
    } else if (!manual && !cuCheckApTask) {
        aesKey = rootKey();
        blueDisconnect();
    } else {
        aesKey = rootKey();
        cancelAllSendDataStrategySelector();
    }
}

void QKBLEBaseConnect::blueDisconnect() {
    finalResultWithError(bleErrorWithCode(4085), nullptr, true);
}

void QKBLEBaseConnect::stopConfig() {
    cancelAllSendDataStrategySelector();
    disconnect();
}

void QKBLEBaseConnect::cancelDelayedSteps() {
    MainLoop::cancelPreviousPerformRequests(this, kConnectStep);
    MainLoop::cancelPreviousPerformRequests(this, kExchangeStep);
    dropPendingChunks();
}

bool QKBLEBaseConnect::ownsPeripheral() const {
    auto record = qkExtensions(peripheral);
    return record && (record->boundSession == nullptr || record->boundSession == this);
}

void QKBLEBaseConnect::disconnect() {
    ++disconnects_;
    stopClocks();
    cancelDelayedSteps();
    aesKey = rootKey();
    QKSDKLOG("【BLE】base 断开连接 当前的外设:%s",
             peripheral ? peripheral->identifier().UUIDString().c_str() : "(null)");
    // A newer session may have taken the peripheral over; its link is not ours to cancel.
    if (peripheral && ownsPeripheral()) {
        qkExtensions(peripheral)->boundSession = nullptr;
        QKBLEDeviceManager::shareInstance()->disconnectPeriphera(peripheral);
    }
    bledisConnectingCount = 0;
    reconnects_ = 0;
}

void QKBLEBaseConnect::updateBlockWithState(int64_t state) {
    if (state == 9) isFindDeviceInLAN = true;
    if (updateCallBack) updateCallBack(state);
}

void QKBLEBaseConnect::finalResultWithError(const ErrorPtr& error, std::shared_ptr<QKDevice> device,
                                            bool needDisConnect) {
    auto keep = shared_from_this();
    isConfigProcessIng = false;
    isConfigEnded = true;
    if (needDisConnect) {
        disconnect();
    } else {
        stopClocks();
    }
    if (!device) device = getDeviceInfo(Dictionary{});
    device->isSupportAuthtrue = bleDevice && bleDevice->isSupportAuthtrue;
    removeNotifiCenterObserver();
    cancelAllSendDataStrategySelector();
    if (configCompletion) configCompletion(error, device);
}

std::shared_ptr<QKDevice> QKBLEBaseConnect::getDeviceInfo(const Dictionary& dict) const {
    auto device = std::make_shared<QKDevice>();
    device->verificationCode = textOrNil(dict["verificationCode"]).value_or("");
    device->applianceCode = textOrNil(dict["applianceCode"]).value_or("");
    if (bleDevice) {
        const QKDevice& b = *bleDevice;
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
    device->randomCode = randomNum;
    const std::string mode = sdkWorkMode();
    if (bleDevice && (mode == "10001" || mode == "10003")) device->deviceSn = bleDevice->deviceSn;
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

// ---- Key exchange.

void QKBLEBaseConnect::startExchangeKey() {
    QKSDKLOG("ble step4::发起密钥协商");
    MainLoop::performAfterDelay(this, kExchangeStep, 0.1, [self = shared_from_this()] {
        if (!self->bleDevice || self->bleDevice->protocolType != 3)
            self->sendBody(QKBLEProtocol::msgBodyForGetDevicePublicKey(), 0x01);
        else if (self->isAfterSales)
            self->startExchangeKeyThreeOneWayTLS();
        else
            self->startExchangeKeyThreeTLS();
    });
}

void QKBLEBaseConnect::startExchangeKeyThreeTLS() {
    auto config = QKMiddleInterface::shareInstance()->middleConfig();
    const Bytes appCer = config->tlsAppCer(), twoCer = config->tlsTwoCer(),
                privateKey = config->tlsPrivateKey();
    if (appCer.empty() || twoCer.empty() || privateKey.empty()) {
        QKSDKLOG("ble step4:发起密钥协商, app证书数据为空，配网失败 %ld, %ld, %ld",
                 long(appCer.size()), long(twoCer.size()), long(privateKey.size()));
        endWithError(errWithCode(4185, "当前没有app证书"));
        return;
    }
    tlsRandomN1 = QKCommonProtocol::randomToken();
    tlsDataM1 = QKCommonProtocol::msgBodyM1WithAppCert(appCer, twoCer, tlsRandomN1);
    sendBody(tlsDataM1, 0x10);
}

void QKBLEBaseConnect::startExchangeKeyThreeOneWayTLS() {
    SecKeyRef publicKey, privateKey;
    if (!QKSigECCEncryptHelper::generateTempP256SecKeyPairWithPublicKeyRef(&publicKey,
                                                                           &privateKey)) {
        QKSDKLOG("生成密钥对失败");
        endWithError(bleErrorWithCode(-1));
        return;
    }
    const Bytes publicBits =
        QKSigECCEncryptHelper::getPublicKeyBitsFromKey(publicKey).value_or(Bytes{});
    Bytes privateBits =
        QKSigECCEncryptHelper::getPublicKeyBitsFromKey(privateKey).value_or(Bytes{});
    if (privateBits.size() > 32) privateBits.erase(privateBits.begin(), privateBits.end() - 32);
    tlsPrivateKeyData = privateBits;
    if (publicBits.size() != 65) return;
    tlsRandomN1 = QKCommonProtocol::randomToken();
    tlsDataM1 =
        QKCommonProtocol::msgBodyM1WithAppPublicKey(ByteView(publicBits).subspan(1), tlsRandomN1);
    sendBody(tlsDataM1, 0x10);
}

namespace {
const char* tlsErrorText(int64_t errCode, bool m4) {
    static const char* const m2Texts[] = {"校验二级证书失败", "校验设备证书失败", "校验fins失败"};
    static const char* const m4Texts[] = {"M4数据长度不对", "模组协商结果失败", "验证随机数n2失败"};
    if (errCode < 1 || errCode > 3) return nullptr;
    return (m4 ? m4Texts : m2Texts)[errCode - 1];
}
}  // namespace

void QKBLEBaseConnect::receiveTLSAesKeyCommondWithData(ByteView body, const Dictionary& dict) {
    QKSDKLOG("ble step4:发起密钥协商应答TLS data=%s, dict:%s", hex(body).c_str(),
             Value(dict).toJSON().value_or("{...}").c_str());
    Dictionary checked = dict;
    checked.set("tlsRandomN1", tlsRandomN1);
    checked.set("tlsDataM1", tlsDataM1);
    tlsRandomN2 = dict["randomData"].isBytes() ? dict["randomData"].bytes() : Bytes{};
    Dictionary result = QKCommonProtocol::checkTLSKeyAgreementBackDict(checked, tlsPrivateKeyData);
    const int64_t errCode = result["errCode"].int64Value();
    if (errCode > 0) {
        const char* text = tlsErrorText(errCode, false);
        endWithError(text ? errWithCode(4184, text) : errWithCode(errCode, "校验秘密协商失败1"));
        return;
    }
    tlsSessionKey = result["tlsSessionKey"].isBytes() ? result["tlsSessionKey"].bytes() : Bytes{};
    const Bytes finsc = result["finscData"].isBytes() ? result["finscData"].bytes() : Bytes{};
    const Bytes m3 = QKCommonProtocol::msgBodyTLSAuthSecretKey(finsc);
    QKSDKLOG("ble ecdh final send to device: %s", hex(m3).c_str());
    sendBody(m3, 0x10);
}

void QKBLEBaseConnect::receiveTLSAesKeyAuthWithData(ByteView, const Dictionary& dict) {
    Dictionary checked = dict;
    checked.set("tlsSessionKey", tlsSessionKey);
    checked.set("tlsRandomN2", tlsRandomN2);
    Dictionary result = QKCommonProtocol::checkTLSAuthSecretReply(checked);
    const int64_t errCode = result["errCode"].int64Value();
    if (errCode < 1) {
        aesKey = tlsSessionKey;
        exchangeKeySuccess();
        return;
    }
    const char* text = tlsErrorText(errCode, true);
    endWithError(text ? errWithCode(4185, text) : errWithCode(errCode, "校验秘密协商失败2"));
}

void QKBLEBaseConnect::receiveAesKeyCommondWithData(ByteView body) {
    QKSDKLOG("ble step4:发起密钥协商应答data=%s", hex(body).c_str());
    auto dict = QKBLEProtocol::dicForAesKeyReplyWithData(body);
    if (!dict) return;
    const int64_t subCmd = (*dict)["subCmd"].int64Value();
    const auto& ecc = secret();
    if (subCmd == 1) {
        const Value& key = (*dict)["devicePublicKey"];
        if (!key.isBytes()) {
            QKSDKLOG("ble step4:密钥协商失败:获取公钥异常");
            endWithError(bleErrorWithCode(4051));
            return;
        }
        ecc->setDevPublicKey(key.bytes());
        if (!ecc->sessionKey() || ecc->sessionKey()->size() < 16) {
            QKSDKLOG("ble 密钥sessionKey异常");
            endWithError(bleErrorWithCode(4051));
            return;
        }
        static constexpr std::string_view kAuthText = "pelna_quirvos";
        const auto authKey = QKDataSecurity::aesEncryptData(
            ByteView(reinterpret_cast<const uint8_t*>(kAuthText.data()), kAuthText.size()),
            ByteView(*ecc->sessionKey()).first(16));
        const auto authBody = QKBLEProtocol::msgBodyForAuthSecretKey(ecc->specialPublicKeyData(),
                                                                     authKey.value_or(Bytes{}));
        if (!authKey || !authBody) {
            QKSDKLOG("ble 密钥sessionKey异常");
            endWithError(bleErrorWithCode(4051));
            return;
        }
        QKSDKLOG("ble ecdh final send to device: %s", hex(*authBody).c_str());
        sendBody(*authBody, 0x01);
    } else if (subCmd == 2) {
        if ((*dict)["encodeType"].int64Value() != 2) {
            QKSDKLOG("ble step4:密钥协商失败,数据异常，返回加密方式不合法");
            endWithError(bleErrorWithCode(4052));
            return;
        }
        if (!(*dict)["result"].boolValue()) {
            QKSDKLOG("ble step4:密钥协商失败:校验密码失败");
            endWithError(bleErrorWithCode(4052));
            return;
        }
        if (!ecc->sessionKey() || ecc->sessionKey()->size() < 16) {
            QKSDKLOG("ble 密钥sessionKey异常");
            endWithError(bleErrorWithCode(4051));
            return;
        }
        QKSDKLOG("ble step4:密钥协商成功");
        aesKey = Bytes(ecc->sessionKey()->begin(), ecc->sessionKey()->begin() + 16);
        exchangeKeySuccess();
    }
}

void QKBLEBaseConnect::exchangeKeySuccess() {
    QKSDKLOG("ble step4:密钥协商成功");
    const uint64_t run = disconnects_;
    updateBlockWithState(4);
    if (run == disconnects_) isReady();  // not when the progress block stopped us
}

void QKBLEBaseConnect::isReady() {
    QKSDKLOG("【BLE】:isReady");
}

// ---- Messaging.

int64_t QKBLEBaseConnect::getApAntiReplayCount() {
    if (++tlsAntiReplayCnt >= 0x10000) tlsAntiReplayCnt = 1;
    return tlsAntiReplayCnt;
}

void QKBLEBaseConnect::sendBody(ByteView body, int64_t msgType,
                                const CBCharacteristicPtr& characteristic) {
    sendStoredBody(std::make_shared<Bytes>(body.begin(), body.end()), msgType, characteristic);
}

void QKBLEBaseConnect::sendStoredBody(const std::shared_ptr<Bytes>& body, int64_t msgType,
                                      const CBCharacteristicPtr& characteristic) {
    const int64_t counter = getApAntiReplayCount();
    const auto frame = QKBLEProtocol::getProtocolDataWithMsgBody(
        *body, aesKey, msgType, bleDevice ? bleDevice->protocolType : 0, counter);
    if (frame)
        sendData(*frame, characteristic);
    else
        QKSDKLOG("ble sendData frame not built, msgType=%ld", long(msgType));
    if (!(writeCharacteristic && writeCharacteristic->properties() == kWriteWithoutResponseOnly))
        handleReSendDataStrategy(body, msgType, characteristic);
}

void QKBLEBaseConnect::sendData(ByteView frame, const CBCharacteristicPtr& characteristic) {
    const size_t size = size_t(QKTool::getBleMTUWithPeripheral(peripheral));
    const CBCharacteristicPtr target = characteristic ? characteristic : writeCharacteristic;
    const bool withoutResponse = target && target->properties() == kWriteWithoutResponseOnly;
    QKSDKLOG("ble sendData BLE_SEND_MAX_LEN is %ld, msgData=%s", long(size), hex(frame).c_str());
    if (withoutResponse)
        QKSDKLOG("ble sendData 特征属性 CBCharacteristicPropertyWriteWithoutResponse");
    for (size_t offset = 0; offset < frame.size(); offset += size) {
        const bool cut = offset + size < frame.size();
        const ByteView piece = frame.subspan(offset, cut ? size : frame.size() - offset);
        QKSDKLOG("写数据时候的外设与特征值 base：%s---%s, cut:%d, package: %s",
                 peripheral ? peripheral->identifier().UUIDString().c_str() : "(null)",
                 target ? target->UUID().UUIDString().c_str() : "(null)", cut, hex(piece).c_str());
        chunks_.push_back({Bytes(piece.begin(), piece.end()), target, withoutResponse});
    }
    if (!chunkTimerArmed_) writeNextChunk();
}

void QKBLEBaseConnect::writeNextChunk() {
    chunkTimerArmed_ = false;
    while (!chunks_.empty()) {
        Chunk chunk = std::move(chunks_.front());
        chunks_.pop_front();
        // Without a link to write to, the piece is dropped and takes no turn.
        if (!writeCharacteristic || !peripheral) continue;
        peripheral->writeValue(chunk.data, chunk.target,
                               chunk.withoutResponse ? CBCharacteristicWriteType::WithoutResponse
                                                     : CBCharacteristicWriteType::WithResponse);
        // The next write, of this frame or a later one, waits its turn.
        chunkTimerArmed_ = true;
        MainLoop::performAfterDelay(this, kChunkStep, kChunkSpacing,
                                    [self = shared_from_this()] { self->writeNextChunk(); });
        return;
    }
}

void QKBLEBaseConnect::dropPendingChunks() {
    chunks_.clear();
    chunkTimerArmed_ = false;
    MainLoop::cancelPreviousPerformRequests(this, kChunkStep);
}

void QKBLEBaseConnect::handleReSendDataStrategy(const std::shared_ptr<Bytes>& body, int64_t msgType,
                                                const CBCharacteristicPtr& characteristic) {
    auto record = qkExtensions(peripheral);
    if (body->empty() || !record || !record->writeWithResponseDict) return;
    auto& pending = *record->writeWithResponseDict;
    const Dictionary entry = pending.objectForKey(msgType).value_or(Dictionary{});
    const int64_t count = entry["writeCount"].int64Value();
    // A resend hands the stored body back: the same object, not merely equal bytes.
    const bool resend = entry["msgBody"].objectAs<Bytes>() == body;
    const int64_t writeCount = resend ? count + 1 : count == 0 ? 1 : count;
    Dictionary next;
    next.set("writeCount", writeCount);
    next.set("msgBody", Value::object(body));
    if (characteristic) next.set("CBCharacteristic", Value::object(characteristic));
    pending.setObject(next, msgType);
    QKSDKLOG("【BLE】:sendData--msgDict:writeCount=%ld body=%s--msgType:%ld", long(writeCount),
             hex(*body).c_str(), long(msgType));
    MainLoop::performAfterDelay(this, resendStep(msgType), kResendDelay,
                                [self = shared_from_this(), body, msgType] {
                                    self->reSendDataStrategySelector(body, msgType);
                                });
}

void QKBLEBaseConnect::reSendDataStrategySelector(const std::shared_ptr<Bytes>& body,
                                                  int64_t msgType) {
    auto record = qkExtensions(peripheral);
    if (!body || !record || !record->writeWithResponseDict) return;
    const Dictionary entry =
        record->writeWithResponseDict->objectForKey(msgType).value_or(Dictionary{});
    const int64_t count = entry["writeCount"].int64Value();
    QKSDKLOG("【BLE】:delayReSendData--delayMsgDict:writeCount=%ld--msgType:%ld", long(count),
             long(msgType));
    if (count < 1 || entry["msgBody"].objectAs<Bytes>() != body) return;
    if (count <= kMaxResends)
        sendStoredBody(body, msgType, entry["CBCharacteristic"].objectAs<CBCharacteristic>());
    else
        finalResultWithError(bleErrorWithCode(4179), nullptr, true);
}

void QKBLEBaseConnect::cancelSendDataStrategySelector(int64_t msgType) {
    auto record = qkExtensions(peripheral);
    if (!record || !record->writeWithResponseDict) return;
    if (!record->writeWithResponseDict->takeObjectForKey(msgType)) return;
    QKSDKLOG("【BLE】:cancelDelaySendData--msgType:%ld", long(msgType));
    MainLoop::cancelPreviousPerformRequests(this, resendStep(msgType));
}

void QKBLEBaseConnect::cancelAllSendDataStrategySelector() {
    auto record = qkExtensions(peripheral);
    if (!record || !record->writeWithResponseDict) return;
    for (int64_t msgType : record->writeWithResponseDict->allKeys())
        cancelSendDataStrategySelector(msgType);
}

void QKBLEBaseConnect::receiveBleData(const std::optional<Bytes>& data) {
    if (!data) return;
    QKSDKLOG("接收蓝牙，原始数据:%s", hex(*data).c_str());
    if (isPauseConfig) {
        QKSDKLOG("总配网已暂停--忽略蓝牙解析包数据");
        return;
    }
    std::vector<Bytes> frames;
    assembler_.receive(*data, bleDevice ? bleDevice->protocolType : 0,
                       [&frames](Bytes frame) { frames.push_back(std::move(frame)); });
    auto keep = shared_from_this();
    for (const Bytes& frame : frames) {
        if (isPauseConfig) {
            QKSDKLOG("总配网已暂停--忽略蓝牙解析包数据");
            return;
        }
        baseReceiveData(frame);
    }
}

void QKBLEBaseConnect::baseReceiveData(ByteView bytes) {
    QKSDKLOG("接收蓝牙，已完整做分发处理finalData: %s", hex(bytes).c_str());
    const int64_t protocolType = bleDevice ? bleDevice->protocolType : 0;
    auto frame = QKBLEProtocol::initProtocolData(bytes, aesKey, protocolType);
    if (!frame) {
        QKSDKLOG("接收蓝牙，帧无法解析，丢弃");
        return;
    }
    // A frame that does not decrypt is not the appliance's answer: it must not cancel a
    // resend, move the counter or reach a flow.
    if (!frame->decrptMsgBody()) {
        QKSDKLOG("接收蓝牙，解密失败，丢弃 msgType=%ld", long(frame->msgType()));
        return;
    }
    auto keep = shared_from_this();
    cancelSendDataStrategySelector(frame->msgType());
    const Bytes& body = *frame->decrptMsgBody();
    QKSDKLOG("接收蓝牙，解密后的消息提数据: %s", hex(body).c_str());
    if (protocolType == 3) {
        if (frame->cntId() - tlsLastCntId >= 100) {
            QKSDKLOG("校验cnt失败，tlsLastCntId：%ld, cntId:%ld", long(tlsLastCntId),
                     long(frame->cntId()));
            finalResultWithError(TelvoError::sdkErrorWithType(1, 9999), nullptr, true);
            return;
        }
        tlsLastCntId = frame->cntId();
    }
    if (frame->msgType() == 0x10) {
        if (auto dict = QKCommonProtocol::dicForAesKeyTLSReplyWithData(body)) {
            const int64_t subCmd = (*dict)["subCmd"].int64Value();
            if (subCmd == 1 || subCmd == 3)
                receiveTLSAesKeyCommondWithData(body, *dict);
            else if (subCmd == 2)
                receiveTLSAesKeyAuthWithData(body, *dict);
        }
    } else if (frame->msgType() == 0x01) {
        receiveAesKeyCommondWithData(body);
    }
    receiveProtocol(frame);
}

void QKBLEBaseConnect::receiveProtocol(const std::shared_ptr<QKBLEProtocol>&) {}

int64_t QKBLEBaseConnect::getSmartErrorCodeWithData(int32_t moduleCode) {
    static const int64_t table[] = {4056, 4094, 4058, 4059, 4060, 4061, 4062, 4063, 4064,
                                    4065, 4066, 4098, 4099, 4100, 4101, 4115, 4116, 4117,
                                    4118, 4119, 4120, 4121, 4165, 4166, 4173, 4082, 4082,
                                    4082, 4082, 4082, 4082, 4174, 4175, 4176};
    if (moduleCode < 1 || moduleCode > 34) return 4082;
    return table[moduleCode - 1];
}

void QKBLEBaseConnect::receiveErrorFromModuleWithData(ByteView data) {
    // Shorter reports carry no module code.
    if (data.size() < 3) return;
    if (data.size() >= 10 && (data[8] | data[9] << 8) == 0x0011) {
        QKSDKLOG("step6.1:路由连接阶段 status code =%d", 0x11);
        finalResultWithError(bleErrorWithCode(4192), nullptr, true);
        return;
    }
    const int64_t sdk = getSmartErrorCodeWithData(data[2]);
    const ErrorPtr error = bleErrorWithCode(sdk);
    moduleErrorCode = error->code();
    if (sdk == 4176) return;
    if (sdk == 4175) {
        QKSDKLOG("蓝牙配网路由器信号弱=%d", int(data[2]));
        updateBlockWithState(17);
        return;
    }
    if (sdk == 4094) {
        if (iConfigModel.bleType == 0 || isPauseConfig) return;
        pauseTotalTimer();
        releaseTimer();
        QKSDKLOG("【BLE】pwd wrong");
        if (configCompletion) configCompletion(error, getDeviceInfo(Dictionary{}));
        return;
    }
    QKSDKLOG("step6.1:模块状态上报 终极错误信息=%d", int(data[2]));
    finalResultWithError(error, nullptr, true);
}

}  // namespace telvo
