#include "apconfig/QKSmartConnect.h"

#include <algorithm>
#include <atomic>

#include "apconfig/FlowResultError.h"
#include "apconfig/QKConfigWifiDevice.h"
#include "apconfig/QKSmartProtocol.h"
#include "apconfig/QKTimer.h"
#include "cloud/QKNetWorkApplianceOperation.h"
#include "cloud/QKRandomNumObject.h"
#include "core/HexText.h"
#include "core/QKTool.h"
#include "core/TelvoTool.h"
#include "core/TextSplit.h"
#include "discovery/QKBroadcastFilter.h"
#include "discovery/QKBroadcastManager.h"
#include "logging/LogMask.h"
#include "logging/QKLog.h"
#include "platform/base/AsciiText.h"
#include "platform/crypto/Crypto.h"
#include "platform/crypto/Random.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchTimer.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/net/NetworkConfiguration.h"
#include "protocol/QKProtocol.h"
#include "security/QKDataSecurity.h"
#include "telvosdk/QKMiddleInterface.h"
#include "telvosdk/QKSDKConstants.h"
#include "telvosdk/TelvoError.h"

namespace telvo {

namespace {

// Which side the next tick sends (true: multicast). Only the main thread touches it.
std::atomic<bool> gMulticastNext{false};

constexpr int64_t kBroadcastTag = 2000;
constexpr int64_t kMulticastTag = 4000;
constexpr double kTickSeconds = 0.01;
constexpr double kPollSeconds = 2.0;
constexpr double kFindBySSIDSeconds = 90.0;
constexpr double kFindByTypeSeconds = 120.0;
// The most the air encoding carries: 32 password pairs; an SSID as the Wi-Fi standard allows.
constexpr size_t kMaxPasswordBytes = 64;
constexpr size_t kMaxSSIDBytes = 32;

std::string textOf(const std::optional<std::string>& value) {
    return value ? *value : std::string();
}

// The text under key when the dictionary holds one, else nullopt.
std::optional<std::string> textAt(const Dictionary& dic, std::string_view key) {
    const Value* v = dic.find(key);
    if (!v || v->isNull()) return std::nullopt;
    return v->stringValue();
}

bool encodable(const std::string& ssid, const std::string& password) {
    if (ssid.size() <= kMaxSSIDBytes && password.size() <= kMaxPasswordBytes) return true;
    QKSDKLOG("【Quickly connect】SSID of %zu or password of %zu bytes cannot be sent", ssid.size(),
             password.size());
    return false;
}

// A run whose credentials cannot be sent ends at once, before anything starts.
bool refused(const QKDeviceApConfigParams& params, const QKSmartConnect::DeviceCompletion& done) {
    if (encodable(textOf(params.routerSSID), textOf(params.routerPwd))) return false;
    if (done) done(TelvoError::sdkErrorWithType(1, 8000), nullptr);
    return true;
}

std::string pollName(const std::string& value) {
    return "qkcCheckAPIsolateWithDeviceValue:" + value;
}

}  // namespace

QKSmartConnect::~QKSmartConnect() {
    MainLoop::cancelPreviousPerformRequests(this);
    if (timer_) timer_->cancel();
    if (korvoTimer_) korvoTimer_->cancel();
    for (auto* sock : {&multiSocket_, &broadcastSocket_}) {
        if (*sock) (*sock)->close();
    }
    for (const auto& completion : observers_) {
        QKBroadcastManager::sharedManager()->releaseBroadObserver(completion);
    }
    wipeSecrets();
}

void QKSmartConnect::wipeSecrets() {
    if (smartProtocol_) smartProtocol_->wipe();
    smartProtocol_.reset();
    crypto::wipe(randomString_);
    randomA_ = 0;
    randomB_ = 0;
    // The sequences carry the password's bytes and lengths.
    for (auto* sequence : {&multicastArray_, &broadcastArray_}) {
        for (std::string& datagram : *sequence) crypto::wipe(datagram);
        sequence->clear();
    }
    // The dictionary's own values (not const): their texts are cleansed in place.
    for (const char* key : {"homePwd", "random"}) {
        if (Value* value = configInfoDic_.find(key); value && value->isText())
            crypto::wipe(const_cast<std::string&>(value->text()));
        configInfoDic_.erase(key);
    }
}

template <class... A, class F>
std::function<void(A...)> QKSmartConnect::weakly(F block) {
    return [weak = weak_from_this(), block = std::move(block)](A... args) {
        if (auto self = weak.lock()) block(*self, std::forward<A>(args)...);
    };
}

ErrorPtr QKSmartConnect::sucErrorCode() {
    return TelvoError::sucError();
}

bool QKSmartConnect::isOldUDPVersion(const std::optional<std::string>& version) {
    return !version || version->empty() || lowercased(*version) == "00000000";
}

bool QKSmartConnect::isFullRandomUDPVersion(const std::optional<std::string>& version) {
    if (!version) return false;
    const std::string v = lowercased(*version);
    return v == "02000000" || v == "03000000";
}

bool QKSmartConnect::sendsMulticastNext() {
    return gMulticastNext.load();
}

// ---- Entry points

void QKSmartConnect::beginRun(const StepBlock& deviceConfigStep) {
    if (deviceConfigStep) deviceConfigStep(8);
    ++runId_;
    // Observers of an earlier run go first: a new run never hears an old one's replies.
    releaseObservers();
    configInfoDic_ = Dictionary{};
    device_ = std::make_shared<QKDevice>();
    broadDic_.reset();
}

void QKSmartConnect::fastConfigWithParams(const QKDeviceApConfigParams& params,
                                          StepBlock deviceConfigStep, DeviceCompletion completion) {
    if (refused(params, completion)) return;
    beginRun(deviceConfigStep);
    device_->deviceSsid = textOf(params.deviceId);
    prepareAndSend(textOf(params.routerSSID), textOf(params.routerPwd), textOf(params.routerBSSID));
    completion_ = std::move(completion);
    QKSDKLOG("【Quickly connect】start by SSID %s", textOf(params.deviceSSID).c_str());
    writeConfigInfo(params, true);
    configType_ = 2;
    isFind_ = false;
    isReported_ = false;
    searchValue_ = textOf(params.deviceSSID);
    findDeviceWithDeviceSSID(searchValue_);
    qkcCheckAPIsolateWithDeviceValue(searchValue_);
}

void QKSmartConnect::fastConfigWithDeviceType(const QKDeviceApConfigParams& params,
                                              StepBlock deviceConfigStep,
                                              DeviceCompletion completion) {
    if (refused(params, completion)) return;
    beginRun(deviceConfigStep);
    QKTool::currentWifiInfoWithBlock(
        [&](const std::optional<std::string>& ssid, const std::string&, std::optional<int64_t>) {
            if (!ssid || ssid->empty()) {
                if (completion) completion(TelvoError::sdkErrorWithType(1, 4030), nullptr);
                return;
            }
            completion_ = completion;
            prepareAndSend(textOf(params.routerSSID), textOf(params.routerPwd),
                           textOf(params.routerBSSID));
            QKSDKLOG("【Quickly connect】start by type %s", textOf(params.deviceType).c_str());
            writeConfigInfo(params, false);
            isFind_ = false;
            isReported_ = false;
            configType_ = 5;
            searchValue_ = textOf(params.deviceType);
            findDeviceWithDeviceType(searchValue_);
            qkcCheckAPIsolateWithDeviceValue(searchValue_);
            if (korvoTimer_) korvoTimer_->cancel();
            korvoTimer_ = QKTimer::timerWithBlock(
                [weak = weak_from_this()] {
                    auto self = weak.lock();
                    if (!self) return;
                    self->cancelPoll(self->searchValue_);
                    QKSDKLOG("【Quickly connect】find device by type time out");
                    self->finalResultBlock(TelvoError::sdkErrorWithType(1, 4031), nullptr);
                },
                kFindByTypeSeconds);
        });
}

void QKSmartConnect::writeConfigInfo(const QKDeviceApConfigParams& params, bool bySSID) {
    if (bySSID) {
        configInfoDic_.set("deviceSSID", textOf(params.deviceId));
    } else {
        configInfoDic_.set("deviceType", textOf(params.deviceType));
    }
    configInfoDic_.set("homeSSID", textOf(params.routerSSID));
    configInfoDic_.set("homePwd", textOf(params.routerPwd));
    configInfoDic_.set("homeBSSID", textOf(params.routerBSSID));
    Tsn_.clear();
    if (!params.extras.empty()) {
        configInfoDic_.set("extraDic", params.extras);
        const Value* tsn = params.extras.find("tsn");
        Tsn_ = tsn && !tsn->isNull() ? tsn->stringValue() : std::string();
        configInfoDic_.set("tsn", Tsn_);
    }
    configInfoDic_.set("deviceName", textOf(params.deviceName));
    configInfoDic_.set("familyId", textOf(params.familyId));
}

void QKSmartConnect::sendConfigInfoWithDeviceSSID(const std::string&, const std::string& routerSSID,
                                                  const std::string& routerPassword,
                                                  const std::string& routerBSSID) {
    if (!encodable(routerSSID, routerPassword)) return;
    initProvision(routerSSID, routerPassword, routerBSSID);
    multicastArray_ = smartProtocol_->createMulticastArray();
    startTick();
}

void QKSmartConnect::sendConfigInfoWithParams(const QKDeviceApConfigParams& params) {
    sendConfigInfoWithDeviceSSID(textOf(params.deviceSSID), textOf(params.routerSSID),
                                 textOf(params.routerPwd), textOf(params.routerBSSID));
}

// ---- Sending

void QKSmartConnect::prepareAndSend(const std::string& ssid, const std::string& password,
                                    const std::string& bssid) {
    initProvision(ssid, password, bssid);
    multicastArray_ = smartProtocol_->createMulticastArray();
    broadcastArray_ = smartProtocol_->createBroadcastArray();
    startTick();
}

void QKSmartConnect::initProvision(const std::string& ssid, const std::string& password,
                                   const std::string& bssid) {
    multiCount_ = 0;
    broadcastCount_ = 0;
    stop();
    // A sending-only run must not replay the broadcast lengths of an earlier run's credentials.
    multicastArray_.clear();
    broadcastArray_.clear();
    auto random = Random::shared();
    randomA_ = int32_t(random->uniform32() % 255) + 1;
    randomB_ = int32_t(random->uniform32() % 255) + 1;
    randomString_ = QKRandomNumObject::sharedManager()->produceRandomNumWithRandomA(
        randomA_, randomB_, bssid, ssid, password);
    QKSDKLOG("【Quickly connect】random %s", maskedSecret("code", randomString_).c_str());
    smartProtocol_ = std::make_shared<QKSmartProtocol>(ssid, password, bssid, randomA_, randomB_);
}

void QKSmartConnect::startTick() {
    timer_ = DispatchTimer::create(DispatchQueue::main(), [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->statemachineNewBroadAndMulti();
    });
    timer_->start(kTickSeconds, kTickSeconds);
}

void QKSmartConnect::statemachineNewBroadAndMulti() {
    const bool multicast = gMulticastNext.load();
    if (multicast && !multicastArray_.empty()) {
        if (size_t(multiCount_) >= multicastArray_.size()) multiCount_ = 0;
        sendDataWithAddress(multicastArray_[size_t(multiCount_)], "a", false);
        multiCount_ = size_t(multiCount_ + 1) >= multicastArray_.size() ? 0 : multiCount_ + 1;
    } else if (!multicast && !broadcastArray_.empty()) {
        if (size_t(broadcastCount_) >= broadcastArray_.size()) broadcastCount_ = 0;
        sendDataWithAddress("255.255.255.255", broadcastArray_[size_t(broadcastCount_)], true);
        broadcastCount_ =
            size_t(broadcastCount_ + 1) >= broadcastArray_.size() ? 0 : broadcastCount_ + 1;
    }
    gMulticastNext.store(!multicast);
}

void QKSmartConnect::sendDataWithAddress(const std::string& host, const std::string& data,
                                         bool broadcast) {
    auto sock = broadcast ? broadcastSocket() : multiSocket();
    sock->sendData(Bytes(data.begin(), data.end()), host, kSmartConnectPort, -1,
                   broadcast ? kBroadcastTag : kMulticastTag);
}

QKGCDAsyncUdpSocketPtr QKSmartConnect::multiSocket() {
    if (!multiSocket_) {
        multiSocket_ = std::make_shared<QKGCDAsyncUdpSocket>(weak_from_this(),
                                                             DispatchQueue::global(), nullptr);
    }
    return multiSocket_;
}

QKGCDAsyncUdpSocketPtr QKSmartConnect::broadcastSocket() {
    if (!broadcastSocket_) {
        broadcastSocket_ = std::make_shared<QKGCDAsyncUdpSocket>(weak_from_this(),
                                                                 DispatchQueue::global(), nullptr);
        if (!broadcastSocket_->enableBroadcast(true)) {
            QKSDKLOG("【Quickly connect】Error enableBroadcast");
        }
    } else if (broadcastSocket_->isClosed()) {
        broadcastSocket_->setDelegate(weak_from_this());
        if (!broadcastSocket_->enableBroadcast(true)) {
            QKSDKLOG("【Quickly connect】Error enableBroadcast");
        }
    }
    return broadcastSocket_;
}

void QKSmartConnect::stop() {
    QKSDKLOG("【Quickly connect】stop send qkc packet");
    if (timer_) {
        timer_->cancel();
        timer_.reset();
    }
    if (wifiDeviceInit_) {
        wifiDeviceInit_->stopInitWifi();
        wifiDeviceInit_.reset();
    }
    if (korvoTimer_) {
        korvoTimer_->cancel();
        korvoTimer_.reset();
    }
    for (auto* sock : {&multiSocket_, &broadcastSocket_}) {
        if (!*sock) continue;
        (*sock)->setDelegate({});
        (*sock)->close();
        sock->reset();
    }
    MainLoop::cancelPreviousPerformRequests(this);
    polling_ = false;
    releaseObservers();
    wipeSecrets();
}

void QKSmartConnect::releaseObservers() {
    auto manager = QKBroadcastManager::sharedManager();
    for (const auto& completion : observers_) manager->releaseBroadObserver(completion);
    observers_.clear();
}

// ---- Socket callbacks

void QKSmartConnect::udpSocketDidConnectToAddress(const QKGCDAsyncUdpSocketPtr&, const Bytes&) {
    QKSDKLOG("【Quickly connect】udpSocket didConnectToAddress");
}
void QKSmartConnect::udpSocketDidNotConnect(const QKGCDAsyncUdpSocketPtr&, const ErrorPtr&) {
    QKSDKLOG("【Quickly connect】udpSocket didNotConnect");
}
void QKSmartConnect::udpSocketDidSendDataWithTag(const QKGCDAsyncUdpSocketPtr&, int64_t) {
    QKSDKLOG("【Quickly connect】udpSocket didSendDataWithTag");
}
void QKSmartConnect::udpSocketDidNotSendDataWithTagDueToError(const QKGCDAsyncUdpSocketPtr&,
                                                              int64_t, const ErrorPtr&) {
    QKSDKLOG("【Quickly connect】udpSocket didNotSendDataWithTag");
}
void QKSmartConnect::udpSocketDidReceiveDataFromAddressWithFilterContext(
    const QKGCDAsyncUdpSocketPtr&, const Bytes&, const Bytes&, const std::any&) {
    QKSDKLOG("【Quickly connect】ReceiveData");
}
void QKSmartConnect::udpSocketDidCloseWithError(const QKGCDAsyncUdpSocketPtr&,
                                                const ErrorPtr& error) {
    QKSDKLOG("【Quickly connect】udpSocketDidClose error: %s",
             error ? error->localizedDescription().c_str() : "(null)");
}

// ---- LAN search

void QKSmartConnect::findDeviceWithDeviceSSID(const std::string& deviceSSID) {
    auto filter = std::make_shared<QKBroadcastFilter>();
    filter->addRulesWithFilterType(2, {deviceSSID});
    filter->setIsCheckDeviceID(true);
    auto completion = std::make_shared<const QKBroadcastCompletionBlock>(
        weakly<const Value::Array&>([run = runId_](QKSmartConnect& self, const Value::Array& list) {
            // A report already on its way when its run ended or was replaced is not heard.
            if (run != self.runId_ || self.isReported_) return;
            self.cancelPoll(self.searchValue_);
            self.stop();
            if (!list.empty() && list.front().isDictionary()) {
                self.broadDic_ = list.front().dictionary();
                QKSDKLOG("【Quickly connect】found by SSID, random %s",
                         maskedSecret("code", self.randomString_).c_str());
                self.randomIdentifyToActiveDevice(*self.broadDic_);
            } else if (list.empty()) {
                self.finalResultBlock(TelvoError::sdkErrorWithType(1, 4031), nullptr);
            }
        }));
    observers_.push_back(completion);
    QKBroadcastManager::sharedManager()->addBroadcastObserver(QKBroadcastObserver::initWithFilter(
        filter, kFindBySSIDSeconds, QKBroadcastReportFirstMatch, completion));
}

void QKSmartConnect::findDeviceWithDeviceType(const std::string& deviceType) {
    auto filter = std::make_shared<QKBroadcastFilter>();
    filter->addRulesWithFilterType(3, {deviceType});
    // The block reaches its own observer through the run's list, not through itself.
    auto completion = std::make_shared<const QKBroadcastCompletionBlock>(
        weakly<const Value::Array&>([run = runId_](QKSmartConnect& self, const Value::Array& list) {
            if (run != self.runId_ || self.isReported_) return;
            if (list.empty() || self.configType_ != 5) return;
            if (!list.front().isDictionary()) return;
            const Dictionary reply = list.front().dictionary();
            QKSDKLOG("【Quickly connect】found by type");
            if (!self.isConfigDevice(Value(reply))) return;
            QKSDKLOG("【Quickly connect】random check passed");
            self.broadDic_ = reply;
            self.releaseObservers();
            self.cancelPoll(self.searchValue_);
            self.stop();
            self.randomIdentifyToActiveDevice(reply);
        }));
    observers_.push_back(completion);
    QKBroadcastManager::sharedManager()->addBroadcastObserver(
        QKBroadcastObserver::initWithFilter(filter, -1, QKBroadcastReportEveryMatch, completion));
}

bool QKSmartConnect::isConfigDevice(const Value& reply) const {
    const Value& versionValue = reply[kQKSDKUDPVersion];
    const Value& randomValue = reply["random"];
    if (!versionValue.isText() || !randomValue.isText()) return false;
    const std::string version = lowercased(versionValue.text());
    const std::string& random = randomValue.text();
    if (version == "01000000") {
        if (random.size() < 4) return false;
        char expected[8];
        std::snprintf(expected, sizeof expected, "%02x%02x", unsigned(randomA_) & 0xFF,
                      unsigned(randomB_) & 0xFF);
        return equalsIgnoringCase(random.substr(0, 4), expected);
    }
    if (version == "02000000" || version == "03000000") return random == randomString_;
    return false;
}

// ---- Cloud polling

void QKSmartConnect::cancelPoll(const std::string& value) {
    MainLoop::cancelPreviousPerformRequests(this, pollName(value));
    polling_ = false;
}

void QKSmartConnect::qkcCheckAPIsolateWithDeviceValue(const std::string& value) {
    polling_ = true;
    QKNetWorkApplianceOperation::getApplianceDevicesnAPExistsWithDeviceSn(
        std::string("0"), randomString_, false, std::nullopt,
        weakly<const std::optional<Value>&>(
            [value, run = runId_](QKSmartConnect& self, const std::optional<Value>& reply) {
                if (run == self.runId_) self.checkSucceeded(value, reply);
            }),
        [self = shared_from_this(), value, run = runId_](const ErrorPtr& error) {
            if (run == self->runId_) self->checkFailed(value, error);
        });
    MainLoop::performAfterDelay(this, pollName(value), kPollSeconds,
                                [weak = weak_from_this(), value] {
                                    if (auto self = weak.lock())
                                        self->qkcCheckAPIsolateWithDeviceValue(value);
                                });
}

void QKSmartConnect::checkSucceeded(const std::string& value, const std::optional<Value>& reply) {
    // A reply in flight when polling ended (stop, a match, a report) is not heard.
    if (!polling_ || isReported_ || !reply || !reply->isDictionary()) return;
    const Value& data = (*reply)["data"];
    if (!data.isDictionary()) return;
    const Value& list = data["list"];
    if (!list.isArray() || list.count() == 0) return;
    const Value& entry = list.at(0);
    if (!entry.isDictionary() || !entry["sn"].isText()) return;
    const auto info = QKDataSecurity::sensitiveDataDecryption(entry["sn"].text());
    QKSDKLOG("【Quickly connect】cloud sn %s", info ? info->c_str() : "(null)");
    if (!info) return;
    const auto parts = componentsSeparatedBy(*info, '#');
    if (parts.size() < 2) return;
    const std::string serial = parts.front();
    const std::string other = parts.back();
    cancelPoll(value);
    if (other.size() <= 20) {
        QKSDKLOG("【Quickly connect】cloud sn malformed");
        return;
    }
    const std::string type = "0x" + other.substr(12, 2);
    const int subType = hextext::leadingPair(std::string_view(other).substr(16, 2)) +
                        256 * hextext::leadingPair(std::string_view(other).substr(18, 2));
    const std::string wanted = lowercased(searchValue_);
    // The appliance's SSID under each accepted prefix; the one searched for when it is one of
    // them, else the first.
    std::string ssid;
    const auto configured = QKMiddleInterface::shareInstance()->middleConfig()->SSID_FormatArray();
    for (const std::string& prefix : QKTool::acceptedSSIDPrefixes(configured)) {
        const auto candidate = QKTool::getSSIDBySN(serial, type, prefix);
        if (!candidate) break;
        if (ssid.empty() || lowercased(*candidate) == wanted) ssid = *candidate;
        if (lowercased(*candidate) == wanted) break;
    }
    Dictionary record;
    record.set(kQKSDKDeviceType, type);
    record.set(kQKSDKDeviceSSID, ssid);
    record.set(kQKSDKDeviceSn, serial);
    record.set(kQKSDKDeviceSubType, std::to_string(subType));
    if (wanted != "" && wanted != lowercased(ssid) && wanted != lowercased(type)) return;
    QKSDKLOG("【Quickly connect】found in the cloud");
    broadDic_ = record;
    setDeviceEntityWithDic(record);
    saveNewDeviceToLocalWithDict();
}

void QKSmartConnect::checkFailed(const std::string& value, const ErrorPtr& error) {
    if (!polling_ || isReported_ || !error) return;
    const int64_t code = std::llabs(error->code()) % 10000;
    const auto codes = TelvoTool::getDuplicationCodeForBindError();
    if (std::find(codes.begin(), codes.end(), code) == codes.end()) return;
    cancelPoll(value);
    // The failure's code is already composite: the SDK error is built from its plain part.
    finalResultBlock(TelvoError::sdkErrorWithType(1, code), device_);
}

// ---- Found appliance

void QKSmartConnect::setDeviceEntityWithDic(const Dictionary& reply) {
    device_->deviceType = textAt(reply, kQKSDKDeviceType).value_or("");
    device_->deviceSn = textAt(reply, kQKSDKDeviceSn).value_or("");
    device_->deviceSsid = textAt(reply, kQKSDKDeviceSSID).value_or("");
    device_->deviceSubType = textAt(reply, kQKSDKDeviceSubType).value_or("");
    device_->deviceId = textAt(reply, kQKSDKDeviceId).value_or("");
    for (const char* key : {"deviceType", "deviceId", "deviceSn", "deviceSsid", "deviceSubType",
                            "udpVersion", "random", "ip", "mac"}) {
        if (const Value* v = reply.find(key)) configInfoDic_.set(key, *v);
    }
    if (auto mac = textAt(reply, "mac")) device_->btMac = *mac;
}

void QKSmartConnect::randomIdentifyToActiveDevice(const Dictionary& reply) {
    QKSDKLOG("【Quickly connect】found appliance");
    setDeviceEntityWithDic(reply);
    if (!isOldUDPVersion(textAt(reply, kQKSDKUDPVersion)) || reply.contains(kQKSDKDeviceSubType)) {
        saveNewDeviceToLocalWithDict();
        return;
    }
    QKSDKLOG("【Quickly connect】old module without sub type");
    const Value* id = reply.find(kQKSDKDeviceId);
    if (id && id->uint64Value() != 0) {
        loadSubtypeFromDevice(device_->deviceId);
    } else {
        QKSDKLOG("【Quickly connect】no device id, setting a temporary one");
        setTemporaryDeviceIdWithDeviceDic(reply);
    }
}

void QKSmartConnect::setTemporaryDeviceIdWithDeviceDic(const Dictionary& reply) {
    QKSDKLOG("【Quickly connect】set temporary device id");
    wifiDeviceInit_ = QKConfigWifiDevice::create(textAt(reply, "ip").value_or(""),
                                                 textAt(reply, "port").value_or(""));
    wifiDeviceInit_->setApplianceSSID(textAt(reply, kQKSDKDeviceSSID).value_or(""));
    auto frame = std::make_shared<QKProtocol>();
    frame->writeTempDeviceId(Value(reply));
    wifiDeviceInit_->setDeviceIdWithProtocol(
        frame, weakly<const ErrorPtr&, std::optional<std::string>>(
                   [](QKSmartConnect& self, const ErrorPtr& error, std::optional<std::string> id) {
                       if (error && error->code() != 0) {
                           QKSDKLOG("【Quickly connect】temporary id failed, sub type 0");
                           self.saveSubType("0");
                           return;
                       }
                       const std::string deviceId = id.value_or("");
                       QKSDKLOG("【Quickly connect】temporary id %s", deviceId.c_str());
                       self.device_->deviceId = deviceId;
                       self.configInfoDic_.set(kQKSDKDeviceId, deviceId);
                       self.loadSubtypeFromDevice(deviceId);
                   }));
}

void QKSmartConnect::loadSubtypeFromDevice(const std::string& deviceId) {
    QKSDKLOG("【Quickly connect】load sub type of %s", deviceId.c_str());
    device_->deviceId = deviceId;
    configInfoDic_.set(kQKSDKDeviceId, deviceId);
    auto frame = std::make_shared<QKProtocol>();
    frame->getDeviceSubType(
        Value(Dictionary{{"deviceId", deviceId}, {"type", device_->deviceType}}));
    if (!wifiDeviceInit_) {
        const Value& ip = configInfoDic_["ip"];
        wifiDeviceInit_ =
            QKConfigWifiDevice::create(ip.isNull() ? std::string() : ip.stringValue(),
                                       std::to_string(fixedPort(NetworkPort::ApplianceSession)));
    }
    QKSDKLOG("【Quickly connect】get sub type");
    wifiDeviceInit_->getDeviceSubTypeWithProtocol(
        frame, weakly<const ErrorPtr&, std::optional<std::string>>(
                   [](QKSmartConnect& self, const ErrorPtr&, std::optional<std::string> subType) {
                       QKSDKLOG("【Quickly connect】sub type %s", subType.value_or("").c_str());
                       self.saveSubType(subType.value_or("0"));
                   }));
}

void QKSmartConnect::saveSubType(const std::string& subType) {
    QKSDKLOG("【Quickly connect】save sub type %s", subType.c_str());
    device_->deviceSubType = subType;
    configInfoDic_.set(kQKSDKDeviceSubType, subType);
    saveNewDeviceToLocalWithDict();
}

// ---- Finishing

void QKSmartConnect::saveNewDeviceToLocalWithDict() {
    QKSDKLOG("【Quickly connect】config info %s isFind %s",
             maskedJSON(Value(configInfoDic_)).c_str(), isFind_ ? "YES" : "NO");
    if (isFind_) return;
    isFind_ = true;
    if (korvoTimer_) korvoTimer_->cancel();
    QKSDKLOG("【Quickly connect】device sn %s type %s subType %s", device_->deviceSn.c_str(),
             device_->deviceType.c_str(), device_->deviceSubType.c_str());
    finalResultBlock(TelvoError::sucError(), device_);
}

void QKSmartConnect::finalResultBlock(const ErrorPtr& error, std::shared_ptr<QKDevice> device) {
    stop();
    isReported_ = true;
    if (completion_) {
        ErrorPtr result = error ? error : TelvoError::sucError();
        if (broadDic_)
            result = flowErrorAddingInfo(kClassName, result, kQKSDKUDPBroadMsg, *broadDic_);
        auto completion = completion_;
        completion(result, std::move(device));
    }
    QKBroadcastManager::sharedManager()->changeInterval(60.0);
}

}  // namespace telvo
