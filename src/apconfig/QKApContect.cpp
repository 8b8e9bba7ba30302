#include "apconfig/QKApContect.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>

#include "apconfig/FlowResultError.h"
#include "apconfig/QKConfigWifiDevice.h"
#include "cloud/QKNetWorkApplianceOperation.h"
#include "cloud/QKRandomNumObject.h"
#include "core/QKTool.h"
#include "core/TelvoTimer.h"
#include "core/TelvoTool.h"
#include "core/TextSplit.h"
#include "discovery/QKBroadcastFilter.h"
#include "discovery/QKBroadcastManager.h"
#include "logging/QKLog.h"
#include "platform/crypto/Random.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/AppLifecycle.h"
#include "platform/http/URLSession.h"
#include "protocol/LanText.h"
#include "protocol/QKCommonProtocol.h"
#include "protocol/QKProtocol.h"
#include "records/QKStepInfoSink.h"
#include "security/QKDataSecurity.h"
#include "telvosdk/NetworkConfiguration.h"
#include "telvosdk/QKMiddleInterface.h"
#include "telvosdk/QKSDKConstants.h"
#include "telvosdk/QKUserDefault.h"
#include "telvosdk/TelvoError.h"

namespace telvo {

namespace {

constexpr const char* kFallbackIp = "192.168.1.1";

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::toupper(c)); });
    return text;
}

int64_t nextCounter(std::atomic<int64_t>& counter) {
    int64_t current = counter.load();
    int64_t next;
    do {
        next = current + 1 >= 0x10000 ? 1 : current + 1;
    } while (!counter.compare_exchange_weak(current, next));
    return next;
}

int64_t plainCode(const ErrorPtr& error) {
    return error ? TelvoError::codeForSDKError(error) : 0;
}

bool failed(const ErrorPtr& error) {
    return error && error->code() != 0;
}

const char* text(const std::optional<std::string>& value) {
    return value ? value->c_str() : "(null)";
}

std::shared_ptr<QKMiddleConfig> middleConfig() {
    return QKMiddleInterface::shareInstance()->middleConfig();
}

bool isOpenPlatformWorkMode() {
    const std::string mode =
        QKUserDefault::standardUserDefaults()->valueForKey("sdkWorkMode").stringValue();
    return mode == "10004" || mode == "10002";
}

}  // namespace

// ---- Lifecycle

std::shared_ptr<QKApContect> QKApContect::create() {
    auto run = std::make_shared<QKApContect>(Token{});
    run->setUp();
    return run;
}

QKApContect::QKApContect(Token) {}

QKApContect::~QKApContect() {
    MainLoop::cancelPreviousPerformRequests(this);
    removeNotifiCenterObserver();
}

void QKApContect::setUp() {
    notifications_.addNotifiCenterObserverName(UIApplicationWillEnterForegroundNotification,
                                               [weak = weak_from_this()](const Notification&) {
                                                   if (auto self = weak.lock())
                                                       self->willEnterForeground();
                                               });
}

void QKApContect::willEnterForeground() {
    QKSDKLOG("cuCheckApTask:------%p-----state:%ld", static_cast<void*>(cuCheckApTask_.get()),
             long(cuCheckApTask_ ? int64_t(cuCheckApTask_->state()) : 0));
    if (!cuCheckApTask_ || cuCheckApTask_->state() != URLSessionTaskState::suspended) return;
    auto task = std::move(cuCheckApTask_);
    cuCheckApTask_.reset();
    task->cancel();
    handleLoopCheckAPIsolate();
}

void QKApContect::removeNotifiCenterObserver() {
    notifications_.removeNotifiCenterObserverName(UIApplicationWillEnterForegroundNotification);
    cuCheckApTask_.reset();
}

std::function<void()> QKApContect::weakly(std::function<void(QKApContect&)> block) {
    return [weak = weak_from_this(), block = std::move(block)] {
        if (auto self = weak.lock()) block(*self);
    };
}

template <class... A, class F>
std::function<void(A...)> QKApContect::weakly(F block) {
    return [weak = weak_from_this(), block = std::move(block)](A... args) {
        if (auto self = weak.lock()) block(*self, std::forward<A>(args)...);
    };
}

void QKApContect::after(const char* name, double delay, std::function<void(QKApContect&)> block) {
    MainLoop::performAfterDelay(this, name, delay, weakly(std::move(block)));
}

int64_t QKApContect::apFindDeviceTimeout() {
    if (apFindDeviceTimeout_ <= 0) apFindDeviceTimeout_ = 90;
    return apFindDeviceTimeout_;
}

int64_t QKApContect::getApAntiReplayCount() {
    return nextCounter(*tlsAntiReplayCnt_);
}

ErrorPtr QKApContect::errorWithCode(int64_t code) {
    return TelvoError::sdkErrorWithType(1, code);
}

ErrorPtr QKApContect::errWithCode(int64_t code, const std::string& des) {
    return TelvoError::errorWithType(1, 1, code, des);
}

// ---- Module generation

bool QKApContect::isSupportUDPVersion(const std::optional<std::string>& version) {
    if (!version || version->empty()) return true;
    static const char* const kKnown[] = {"00000000", "01000000", "81000000",
                                         "02000000", "03000000", "04000000"};
    const std::string v = lower(*version);
    return std::any_of(std::begin(kKnown), std::end(kKnown), [&](const char* k) { return v == k; });
}

bool QKApContect::isThirdUDPVersion(const std::optional<std::string>& version) {
    if (!version || version->empty()) return false;
    const std::string v = lower(*version);
    return v != "01000000" && v != "00000000" && v != "81000000";
}

bool QKApContect::isSupportCountryCode(const std::optional<std::string>& version) {
    return version && lower(*version) == "03000000";
}

std::optional<std::string> QKApContect::udpVersion() const {
    return configDeivceInfo_[kQKSDKUDPVersion].optionalText();
}

// ---- Steps and results

void QKApContect::configStepWithType(int64_t type) {
    // A stopped run reports nothing more.
    if (isCancel_ || !stepBlock_) return;
    stepBlock_(type);
}

void QKApContect::startConfigureDeviceParams(const QKDeviceApConfigParams& params,
                                             StepBlock deviceConfigStep,
                                             DeviceCompletion completion) {
    if (params.connectNetTimeout >= 1) apFindDeviceTimeout_ = params.connectNetTimeout;
    const int64_t securityType = params.routerPwd && !params.routerPwd->empty() ? 1 : 0;
    QKSDKLOG(
        "【AP】startConfigure deviceSSID:%s routerSSID:%s routerPwd:%s securityType:%ld "
        "routerBSSID:%s extras:%s isChangeWiFiInfo:%d",
        text(params.deviceSSID), text(params.routerSSID), text(params.routerPwd),
        long(securityType), text(params.routerBSSID),
        Value(params.extras).toJSON().value_or("").c_str(), int(params.isChangeWiFiInfo));
    totalCompletion_ = std::move(completion);
    stepBlock_ = std::move(deviceConfigStep);
    connectDeviceWithParams(
        params,
        weakly<const ErrorPtr&>([params, securityType](QKApContect& self, const ErrorPtr& error) {
            if (failed(error)) {
                self.configStepWithType(9);
                self.totalFinalResult(error, nullptr);
                return;
            }
            self.configStepWithType(8);
            self.bindDeviceWithParams(
                params, securityType, nullptr,
                self.weakly<const ErrorPtr&, std::shared_ptr<QKDevice>>(
                    [](QKApContect& self, const ErrorPtr& error, std::shared_ptr<QKDevice> device) {
                        self.totalFinalResult(error, std::move(device));
                    }));
        }));
}

void QKApContect::totalFinalResult(const ErrorPtr& error, std::shared_ptr<QKDevice> device) {
    if (totalCompletion_ && !isCancel_) {
        ErrorPtr result = error ? error : TelvoError::sucError();
        if (broadDic_) {
            if (device) device->moduleVersion = (*broadDic_)[kQKSDKUDPModuleVersion].stringValue();
            Dictionary broad = *broadDic_;
            if (isOpenPlatformWorkMode()) broad.erase(kQKSDKDeviceSn);
            result = flowErrorAddingInfo(kClassName, result, kQKSDKUDPBroadMsg, broad);
        }
        auto completion = totalCompletion_;
        completion(result, std::move(device));
    }
    dealCloseBroadcast();
}

void QKApContect::connectFinalResult(const ErrorPtr& error) {
    if (!connectCompletion_ || isCancel_) return;
    const ErrorPtr given = error ? error : TelvoError::sucError();
    auto completion = connectCompletion_;
    completion(broadDic_ ? flowErrorAddingInfo(kClassName, given, kQKSDKUDPBroadMsg, *broadDic_)
                         : given);
}

void QKApContect::bindFinalResult(const ErrorPtr& error, std::shared_ptr<QKDevice> device) {
    if (bindCompletion_ && !isCancel_) {
        ErrorPtr result = error ? error : TelvoError::sucError();
        if (checkFormerConfigEnable_ && formerConfigInfoDic_ && result->code() != 0) {
            result = flowErrorAddingInfo(kClassName, result, kQKSDKFormerConfigInfo,
                                         *formerConfigInfoDic_);
        }
        auto completion = bindCompletion_;
        completion(result, std::move(device));
    }
    removeNotifiCenterObserver();
}

void QKApContect::dealCloseBroadcast() {
    QKBroadcastManager::sharedManager()->closeBroadcast();
}

// ---- Connect half

void QKApContect::connectDeviceWithParams(const QKDeviceApConfigParams& params,
                                          ErrorCompletion completion) {
    connectCompletion_ = std::move(completion);
    deviceSSID_ = params.deviceSSID;
    checkFormerConfigEnable_ = false;
    isConnect_ = false;
    isPauseConfig_ = false;
    broadDic_.reset();
    configInfoDic_.clear();
    configDeivceInfo_.clear();
    if (!QKTool::isKorvoSSID(deviceSSID_, middleConfig()->SSID_FormatArray())) {
        connectFinalResult(errorWithCode(4006));
        return;
    }
    QKSDKLOG("【AP】deviceSSID = %s", text(deviceSSID_));
    iConfigModel_ = QKDeviceApConfigParams();
    iConfigModel_.isChangeWiFiInfo = params.isChangeWiFiInfo;
    configInfoDic_.set("deviceSSID", *deviceSSID_);
    findAPDevice();
}

void QKApContect::findAPDevice() {
    QKSDKLOG("【AP】step 1:findAPDevice deviceSSID is %s", text(deviceSSID_));
    auto manager = QKBroadcastManager::sharedManager();
    manager->changeInterval(1.0);
    manager->openBroadcast(nullptr);
    findDeviceWithFilterType(
        QKBroadcastFilterTypeTypeOrSSID, deviceSSID_.value_or(""), double(apFindDeviceTimeout()),
        weakly<const Value::Array&>([](QKApContect& self, const Value::Array& list) {
            if (!self.isCancel_) self.foundAPDevices(list);
        }));
}

void QKApContect::findDeviceWithFilterType(int64_t filterType, const std::string& filterValue,
                                           double timeOut,
                                           std::function<void(const Value::Array&)> done) {
    auto filter = std::make_shared<QKBroadcastFilter>();
    filter->addRulesWithFilterType(filterType, {filterValue});
    auto completion = std::make_shared<const QKBroadcastCompletionBlock>(std::move(done));
    observers_.push_back(completion);
    QKBroadcastManager::sharedManager()->addBroadcastObserver(QKBroadcastObserver::initWithFilter(
        std::move(filter), timeOut, QKBroadcastReportFirstMatch, completion));
}

void QKApContect::foundAPDevices(const Value::Array& list) {
    if (list.empty() || !list.front().isDictionary()) {
        QKSDKLOG("【AP】 step 1:findAPDevice fail,time out");
        if (ErrorPtr socketError = QKBroadcastManager::sharedManager()->socketError())
            connectFinalResult(makeError("", 4011, socketError->localizedDescription()));
        else
            connectFinalResult(errorWithCode(4011));
        return;
    }
    QKSDKLOG("【AP】step 1:findAPDevice suc,list = %s", Value(list).toJSON().value_or("").c_str());
    dealCloseBroadcast();
    const Dictionary& reply = list.front().dictionary();
    broadDic_ = reply;
    ip_ = reply[kQKSDKDeviceIP].stringValue();
    if (ip_ == "0.0.0.0") ip_ = kFallbackIp;
    if (!isSupportUDPVersion(reply[kQKSDKUDPVersion].optionalText())) {
        QKSDKLOG("【AP】 step 1:configVersion nonsupport");
        connectFinalResult(errorWithCode(4032));
        return;
    }
    initDeviceEntityWithDic(reply);
    configDeivceInfo_ = reply;
    for (const auto& [key, value] : reply) configInfoDic_.set(key, value);
    publishStepInfo({{0, Value(reply)}});
    configStepWithType(0);
    parseAPDeviceBroadcastBack(reply);
}

void QKApContect::initDeviceEntityWithDic(const Dictionary& dic) {
    auto device = std::make_shared<QKDevice>();
    device->deviceId = dic[kQKSDKDeviceId].stringValue();
    device->deviceSubType = dic[kQKSDKDeviceSubType].stringValue();
    device->deviceSn = dic[kQKSDKDeviceSn].stringValue();
    const std::string type = dic[kQKSDKDeviceType].stringValue();
    device->deviceType = type.size() >= 4 ? upper(type.substr(2)) : "FF";
    device->deviceSsid = dic[kQKSDKDeviceSSID].stringValue();
    device->isWanOnline = "0";
    device_ = std::move(device);
}

void QKApContect::parseAPDeviceBroadcastBack(const Dictionary& dic) {
    const std::string port =
        std::to_string(NetworkConfiguration::port(NetworkPort::ApplianceSession));
    const std::optional<std::string> version = dic[kQKSDKUDPVersion].optionalText();
    if (!isThirdUDPVersion(version)) {
        wifiDeviceInit_ = QKConfigWifiDevice::create(ip_, port, [](const ErrorPtr&) {});
        isConnect_ = true;
        auto session = wifiDeviceInit_;
        if (dic[kQKSDKDeviceId].stringValue() == "0") {
            session->setDeviceID(0);
            after("setDeviceIDWithDic", 2.0,
                  [dic](QKApContect& self) { self.setDeviceIDWithDic(dic); });
        } else {
            session->setDeviceID(int64_t(dic[kQKSDKDeviceId].uint64Value()));
            if (const Value* subType = dic.find(kQKSDKDeviceSubType); subType && !subType->isNull())
                saveSubType(subType->stringValue());
            else
                loadSubtypeFromDevice();
        }
        session->startConnecWithEnableHeart(true);
        return;
    }

    const std::string v = lower(*version);
    if (v == "02000000" || v == "03000000") connectProtocolType_ = 1;
    if (v == "04000000") connectProtocolType_ = 3;
    if (dic["channelEnable"].boolValue()) {
        iConfigModel_.channelEnable = true;
        QKSDKLOG("【AP】step 1:channel enable");
    }
    if (dic["checkFormerConfigEnable"].boolValue()) {
        checkFormerConfigEnable_ = true;
        QKSDKLOG("【AP】step 1:checkformerconfig info enable");
    }
    if (isSupportCountryCode(version)) {
        iConfigModel_.countryCodeEnable = true;
        QKSDKLOG("【AP】step 1:countryCode enable");
    }
    isForceValidRandom_ = !iConfigModel_.isChangeWiFiInfo;
    QKSDKLOG("【AP】 step 1:force check random enable");
    const bool functionSet = dic["functionSetEnable"].boolValue();
    if (functionSet) {
        iConfigModel_.functionSetEnable = true;
        iConfigModel_.countryCodeEnable = true;
        QKSDKLOG("【AP】 step 1:functionSet enable");
    }
    if (dic["regionIDEnable"].boolValue()) {
        iConfigModel_.regionIdEnable = true;
        QKSDKLOG("【AP】 step 1:regionId enable");
        if (functionSet) {
            iConfigModel_.adsEnable = true;
            QKSDKLOG("【AP】 step 1:ADS enable");
        }
    }
    iConfigModel_.groupDevice = dic["groupDevice"].boolValue();
    iConfigModel_.adnsIPEnable = dic["adnsIp"].boolValue();
    device_->isSupportAuthtrue = dic["SUPPORDEVICETAUTH"].boolValue();

    wifiDeviceInit_ = QKConfigWifiDevice::create(ip_, port);
    wifiDeviceInit_->setConnectProtocolVer(connectProtocolType_);
    // The session draws its heartbeat counters on its own queue.
    wifiDeviceInit_->setAntiReplayCountBlock(
        [counter = tlsAntiReplayCnt_] { return nextCounter(*counter); });
    wifiDeviceInit_->startConnecWithEnableHeart(true);
    isConnect_ = true;
    connectFinalResult(TelvoError::sucError());
}

void QKApContect::setDeviceIDWithDic(const Dictionary& dic) {
    if (isCancel_ || !wifiDeviceInit_) return;
    QKSDKLOG("AP step 2:setTempDeviceId dic is %s", Value(dic).toJSON().value_or("").c_str());
    auto frame = std::make_shared<QKProtocol>();
    frame->writeTempDeviceId(dic);
    wifiDeviceInit_->setDeviceIdWithProtocol(
        frame, weakly<const ErrorPtr&, std::optional<std::string>>(
                   [](QKApContect& self, const ErrorPtr& error, std::optional<std::string> id) {
                       if (self.isCancel_) return;
                       if (failed(error) || !id) {
                           self.device_.reset();
                           QKSDKLOG("【AP】回调：AP配网error:设置临时Id失败:超时");
                           self.connectFinalResult(failed(error) ? error : errorWithCode(4014));
                           return;
                       }
                       QKSDKLOG("【AP】回调：AP配网设置临时Id成功，临时Id为%s", id->c_str());
                       if (self.wifiDeviceInit_)
                           self.wifiDeviceInit_->setDeviceID(int64_t(Value(*id).uint64Value()));
                       if (self.device_) self.device_->deviceId = *id;
                       self.loadSubtypeFromDevice();
                   }));
}

void QKApContect::loadSubtypeFromDevice() {
    QKSDKLOG("step 4:AP直连获取设备子类型");
    if (device_ && !device_->deviceSubType.empty() && device_->deviceSubType != "0") {
        saveSubType(device_->deviceSubType);
        return;
    }
    if (!wifiDeviceInit_) return;
    configStepWithType(1);
    Dictionary query{{kQKSDKDeviceId, device_ ? device_->deviceId : std::string()},
                     {"type", device_ ? device_->deviceType : std::string()}};
    auto frame = std::make_shared<QKProtocol>();
    frame->getDeviceSubType(query);
    wifiDeviceInit_->getDeviceSubTypeWithProtocol(
        frame, weakly<const ErrorPtr&, std::optional<std::string>>(
                   [](QKApContect& self, const ErrorPtr&, std::optional<std::string> subType) {
                       if (self.isCancel_) return;
                       QKSDKLOG("【AP】回调：AP配网获取子类型成功，子类型为%s", text(subType));
                       self.saveSubType(subType);
                   }));
}

void QKApContect::saveSubType(const std::optional<std::string>& subType) {
    QKSDKLOG("【AP】step 5:AP直连存储子类型，子类型为%s", text(subType));
    configStepWithType(2);
    if (device_) device_->deviceSubType = subType.value_or("");
    if (subType)
        configDeivceInfo_.set(kQKSDKDeviceSubType, *subType);
    else
        configDeivceInfo_.erase(kQKSDKDeviceSubType);
    configInfoDic_.set(kQKSDKDeviceSubType, subType.value_or(""));
    isConnect_ = true;
    connectFinalResult(TelvoError::sucError());
}

// ---- Bind half

void QKApContect::bindDeviceWithParams(const QKDeviceApConfigParams& params, int64_t securityType,
                                       StartScanBlock startScanInLanBlock,
                                       DeviceCompletion completion) {
    QKSDKLOG("【AP】bind routerSSID:%s routerPwd:%s securityType:%ld routerBSSID:%s extras:%s",
             text(params.routerSSID), text(params.routerPwd), long(securityType),
             text(params.routerBSSID), Value(params.extras).toJSON().value_or("").c_str());
    isFindDeviceInWan_ = false;
    bindCompletion_ = std::move(completion);
    startScanCompletion_ = std::move(startScanInLanBlock);
    QKTool::currentWifiInfoWithBlock([&](const std::optional<std::string>& ssid, const std::string&,
                                         std::optional<int64_t> phoneSecurityType) {
        bindWithCurrentWifi(params, ssid, phoneSecurityType);
    });
}

void QKApContect::bindWithCurrentWifi(const QKDeviceApConfigParams& params,
                                      const std::optional<std::string>& phoneSSID,
                                      std::optional<int64_t> phoneSecurityType) {
    // The phone must still be on the appliance's hotspot when its SSID can be read.
    if (phoneSSID && !QKTool::isKorvoSSID(phoneSSID, middleConfig()->SSID_FormatArray())) {
        QKSDKLOG("【AP】bind: the phone is on %s, not on the appliance's network",
                 phoneSSID->c_str());
        bindFinalResult(errorWithCode(4007), nullptr);
        return;
    }
    const std::string routerSSID = params.routerSSID.value_or("");
    const std::string routerBSSID = params.routerBSSID.value_or("");
    iConfigModel_.routerSSID = routerSSID;
    iConfigModel_.routerBSSID = routerBSSID;
    configInfoDic_.set("homeSSID", routerSSID);
    configInfoDic_.set("homeBSSID", routerBSSID);
    if (params.routerPwd) {
        configInfoDic_.set("homePwd", *params.routerPwd);
        iConfigModel_.routerPwd = params.routerPwd;
        iConfigModel_.securityType = "1";
    } else {
        configInfoDic_.erase("homePwd");
        iConfigModel_.routerPwd.reset();
        iConfigModel_.securityType = "0";
    }
    iConfigModel_.checkPasswordEnable = true;
    configInfoDic_.set(kQKSDKConfigNeedCheckPassword, true);
    if (phoneSecurityType) configInfoDic_.set("securityType", std::to_string(*phoneSecurityType));
    iConfigModel_.channelList = params.channelList;
    iConfigModel_.countryCode = params.countryCode;
    iConfigModel_.timeZone = params.timeZone;
    iConfigModel_.moduleServerDomain = params.moduleServerDomain;
    iConfigModel_.adnsIPList = params.adnsIPList;
    iConfigModel_.adnsIPPort = params.adnsIPPort;
    iConfigModel_.moduleServerPort = params.moduleServerPort;
    iConfigModel_.regionId = params.regionId;
    iConfigModel_.functionType = params.functionType;
    iConfigModel_.adsClusterId = params.adsClusterId;
    iConfigModel_.adsDomain = params.adsDomain;
    iConfigModel_.adsPort = params.adsPort;

    if (ErrorPtr error = checkParamIntegrity()) {
        bindFinalResult(error, nullptr);
        return;
    }
    homeSSID_ = params.routerSSID;
    if (!wifiDeviceInit_) {
        // No session to hand the credentials to (no connect half, or released).
        bindFinalResult(errorWithCode(4007), nullptr);
        return;
    }
    if (!isThirdUDPVersion(udpVersion())) {
        oldModuleSetting();
        return;
    }
    const size_t parts = componentsSeparatedBy(routerBSSID, ':').size();
    if (!routerBSSID.empty() && parts != 6) {
        bindFinalResult(errorWithCode(4012), nullptr);
        return;
    }
    if (connectProtocolType_ == 3)
        sendlTLSKeyAgreementCommand();
    else
        dealNextConnectCommand();
}

ErrorPtr QKApContect::checkParamIntegrity() const {
    const QKDeviceApConfigParams& m = iConfigModel_;
    if (m.functionSetEnable || m.countryCodeEnable) {
        if (m.functionSetEnable) {
            if (!m.moduleServerDomain) return errorWithCode(4136);
            if (!m.moduleServerPort) return errorWithCode(4137);
            if (!m.functionType) return errorWithCode(4139);
        }
        if (!m.countryCode) return errorWithCode(4127);
        // A channel list is an array here: an empty one counts as missing.
        if (m.channelList.empty()) return errorWithCode(4129);
        if (!m.timeZone) return errorWithCode(4128);
    }
    if (m.adsEnable && !m.adsClusterId) return errorWithCode(4160);
    if (m.regionIdEnable && !m.regionId) return errorWithCode(4138);
    return nullptr;
}

void QKApContect::dealNextConnectCommand() {
    if (checkFormerConfigEnable_)
        checkFormerConfigInfo();
    else if (iConfigModel_.groupDevice)
        getGroupDeviceInfo();
    else
        newModuleSetting();
}

// ---- Key agreement

void QKApContect::sendlTLSKeyAgreementCommand() {
    auto config = middleConfig();
    const Bytes appCer = config->tlsAppCer();
    const Bytes twoCer = config->tlsTwoCer();
    const Bytes privateKey = config->tlsPrivateKey();
    if (appCer.empty() || twoCer.empty() || privateKey.empty()) {
        QKSDKLOG("AP】step 6-0:发送TLS的密钥协商指令, app证书数据为空，配网失败 %ld, %ld, %ld",
                 long(appCer.size()), long(twoCer.size()), long(privateKey.size()));
        bindFinalResult(errWithCode(4188, "app证书数据为空"), nullptr);
        return;
    }
    QKSDKLOG("【AP】step 6-0:发送TLS的密钥协商指令，model为%s deviceId is %s",
             text(iConfigModel_.routerSSID), device_ ? device_->deviceId.c_str() : "(null)");
    tlsRandomN1_ = QKCommonProtocol::randomToken();
    auto frame =
        std::make_shared<QKProtocol>(connectProtocolType_, ecdhSessionKey_, getApAntiReplayCount());
    tlsDataM1_ = frame->tlsKeyAgreementWithAppCert(appCer, twoCer, tlsRandomN1_);
    wifiDeviceInit_->sendTLSKeyAgreementWithProtocol(
        frame, 1,
        weakly<const ErrorPtr&, std::optional<Dictionary>>(
            [](QKApContect& self, const ErrorPtr& error, std::optional<Dictionary> m2) {
                if (self.isCancel_) return;
                if (failed(error)) return self.bindFinalResult(error, nullptr);
                if (!m2)
                    return self.bindFinalResult(errWithCode(4182, "发送TLS的协商指令失败"),
                                                nullptr);
                self.dealTLSKeyAgreementBackDict(*m2);
            }));
}

void QKApContect::dealTLSKeyAgreementBackDict(const Dictionary& m2) {
    QKSDKLOG("ap step4:发起密钥协商应答TLS dict:%s", Value(m2).toJSON().value_or("").c_str());
    Dictionary dict = m2;
    dict.set("tlsRandomN1", tlsRandomN1_);
    dict.set("tlsDataM1", tlsDataM1_);
    tlsRandomN2_ = m2["randomData"].bytes();
    const Dictionary result = QKCommonProtocol::checkTLSKeyAgreementBackDict(dict, {});
    const int64_t errCode = result["errCode"].int64Value();
    static const char* const kM2Failures[] = {"校验二级证书失败", "校验设备证书失败",
                                              "校验fins失败"};
    if (errCode >= 1 && errCode <= 3) {
        bindFinalResult(errWithCode(4182, kM2Failures[errCode - 1]), nullptr);
        return;
    }
    if (errCode > 3) {
        bindFinalResult(errWithCode(errCode, "校验秘密协商失败1"), nullptr);
        return;
    }
    tlsSessionKey_ = result["tlsSessionKey"].bytes();
    auto frame =
        std::make_shared<QKProtocol>(connectProtocolType_, ecdhSessionKey_, getApAntiReplayCount());
    frame->tlsKeyAgreementConfirmWithFincData(result["finscData"].bytes());
    wifiDeviceInit_->sendTLSKeyAgreementWithProtocol(
        frame, 2,
        weakly<const ErrorPtr&, std::optional<Dictionary>>(
            [](QKApContect& self, const ErrorPtr& error, std::optional<Dictionary> m4) {
                if (self.isCancel_) return;
                if (failed(error)) return self.bindFinalResult(error, nullptr);
                if (!m4) return self.bindFinalResult(errWithCode(4182, "发送Finc失败"), nullptr);
                self.dealTLSKeyAgreementConfirmBackDict(*m4);
            }));
}

void QKApContect::dealTLSKeyAgreementConfirmBackDict(const Dictionary& m4) {
    Dictionary dict = m4;
    dict.set("tlsSessionKey", tlsSessionKey_);
    dict.set("tlsRandomN2", tlsRandomN2_);
    const Dictionary result = QKCommonProtocol::checkTLSAuthSecretReply(dict);
    const int64_t errCode = result["errCode"].int64Value();
    static const char* const kM4Failures[] = {"M4数据长度不对", "模组协商结果失败",
                                              "验证随机数n2失败"};
    if (errCode >= 1 && errCode <= 3) {
        bindFinalResult(errWithCode(4183, kM4Failures[errCode - 1]), nullptr);
        return;
    }
    if (errCode > 3) {
        bindFinalResult(errWithCode(errCode, "校验秘密协商失败2"), nullptr);
        return;
    }
    ecdhSessionKey_ = tlsSessionKey_;
    wifiDeviceInit_->setEcdhSessionKey(ecdhSessionKey_);
    QKSDKLOG("密钥协商成功");
    dealNextConnectCommand();
}

// ---- Credentials

void QKApContect::oldModuleSetting() {
    auto frame = std::make_shared<QKProtocol>();
    frame->writeWiFiSSIDWithConfigModel(iConfigModel_);
    frame->setDeviceID(device_ ? int64_t(Value(device_->deviceId).uint64Value()) : 0);
    wifiDeviceInit_->linkWifiAPWithProtocol(
        frame, weakly<const ErrorPtr&>([](QKApContect& self, const ErrorPtr& error) {
            if (self.isCancel_) return;
            const int64_t code = plainCode(error);
            if (code == 0 || code == 4029) {
                self.configStepWithType(5);
                self.confirmDeviceInWan();
                return;
            }
            self.bindFinalResult(error, nullptr);
        }));
}

void QKApContect::newModuleSetting() {
    if (!wifiDeviceInit_) {
        bindFinalResult(errorWithCode(4007), nullptr);
        return;
    }
    auto random = Random::shared();
    int32_t a = int32_t(random->uniform32() % 255 + 1);
    int32_t b = int32_t(random->uniform32() % 255 + 1);
    const std::string code = QKRandomNumObject::sharedManager()->produceRandomNumWithRandomA(
        a, b, iConfigModel_.routerBSSID.value_or(""), iConfigModel_.routerSSID.value_or(""),
        iConfigModel_.routerPwd.value_or(""));
    randomUUID_ = code;
    iConfigModel_.randomNum = code;
    configInfoDic_.set(kQKSDKRandomNum, code);

    auto frame =
        std::make_shared<QKProtocol>(connectProtocolType_, ecdhSessionKey_, getApAntiReplayCount());
    frame->writeNewWiFiSSIDWithConfigModel(iConfigModel_);
    wifiDeviceInit_->linkWifiAPWithNewDeviceProtocol(
        frame, weakly<const ErrorPtr&>([](QKApContect& self, const ErrorPtr& error) {
            if (!self.isCancel_) self.moduleSettingResult(error);
        }));
}

void QKApContect::moduleSettingResult(const ErrorPtr& error) {
    switch (plainCode(error)) {
        case 0:
            configStepWithType(4);
            confirmDeviceInWan();
            return;
        case 4023:
            configStepWithType(14);
            configStepWithType(4);
            confirmDeviceInWan();
            return;
        case 4090:
            passwordWrongDo();
            return;
        default:
            bindFinalResult(error, nullptr);
    }
}

void QKApContect::passwordWrongDo() {
    if (bindCompletion_ && !isCancel_) {
        auto completion = bindCompletion_;
        completion(errorWithCode(4090), nullptr);
    }
}

void QKApContect::checkFormerConfigInfo() {
    auto frame =
        std::make_shared<QKProtocol>(connectProtocolType_, ecdhSessionKey_, getApAntiReplayCount());
    frame->checkFormerConfigInfo();
    wifiDeviceInit_->checkFormerConfigInfoWithProtocol(
        frame,
        weakly<std::optional<Dictionary>>([](QKApContect& self, std::optional<Dictionary> dic) {
            if (!self.isCancel_) self.checkConfigResult(dic);
        }));
}

void QKApContect::checkConfigResult(const std::optional<Dictionary>& dic) {
    auto next = [this] {
        if (iConfigModel_.groupDevice)
            getGroupDeviceInfo();
        else
            newModuleSetting();
    };
    if (!dic) return next();
    const int64_t formerError = (*dic)[kQKSDKFormerErrorCode].int64Value();
    const std::optional<std::string> formerSSID = (*dic)[kQKSDKFormerRouterSSID].optionalText();
    const std::optional<std::string> formerPwd = (*dic)[kQKSDKFormerRouterPassword].optionalText();
    const Value& status = (*dic)[kQKSDKFormerStatusCode];
    publishStepInfo({{13, Value(formerError)}});
    configStepWithType(13);
    if (formerError == 0) return next();
    const std::string& home = configInfoDic_["homeSSID"].text();
    const std::string rebuilt = lantext::bytesAsCharacters(
        ByteView(reinterpret_cast<const uint8_t*>(home.data()), home.size()));
    if (formerSSID != rebuilt) return next();
    if (formerError == 4) {
        if (const Value* pwd = configInfoDic_.find("homePwd"); pwd && pwd->isText()) {
            if (formerPwd == QKDataSecurity::getSha256String(pwd->text())) {
                passwordWrongDo();
                return;
            }
        }
        return next();
    }
    const bool routerRefused = !status.isNull() && status.int64Value() == 17;
    formerConfigInfoDic_ =
        Dictionary{{kQKSDKFormerErrorCode, routerRefused ? "4192" : std::to_string(formerError)}};
    next();
}

void QKApContect::getGroupDeviceInfo() {
    auto frame =
        std::make_shared<QKProtocol>(connectProtocolType_, ecdhSessionKey_, getApAntiReplayCount());
    frame->getGroupDeviceInfo();
    wifiDeviceInit_->getGroupDeviceWithProtocol(
        frame, weakly<const ErrorPtr&, std::optional<Value::Array>>(
                   [](QKApContect& self, const ErrorPtr&, std::optional<Value::Array> list) {
                       if (self.isCancel_) return;
                       self.configDeivceInfo_.set(kQKSDKConfigGroupDeviceInfo,
                                                  list.value_or(Value::Array{}));
                       self.newModuleSetting();
                   }));
}

// ---- Confirmation

std::shared_ptr<QKDevice> QKApContect::unconfirmedDevice() const {
    auto record = std::make_shared<QKDevice>();
    record->deviceSn = configDeivceInfo_[kQKSDKDeviceSn].stringValue();
    record->randomCode = randomUUID_.value_or("");
    const std::string version = configInfoDic_[kQKSDKUDPVersion].stringValue();
    record->udpVersion = version.empty() ? "00000000" : version;
    record->isSupportAuthtrue = device_ && device_->isSupportAuthtrue;
    return record;
}

void QKApContect::confirmDeviceInWan() {
    if (isCancel_) return;
    if (!needConfirmDeviceInWan_) {
        bindFinalResult(TelvoError::sucError(), unconfirmedDevice());
        return;
    }
    QKSDKLOG("【AP】confirmDeviceInWan");
    secondsCount_ = 0;
    startIncreaseSeconds();
    checkAPIsolate();
    checkLANOnlineBroadcast();
    after("startTimer", 10.0, [](QKApContect& self) { self.startTimer(); });
    after("checkCurrentWifiReachable", 15.0,
          [](QKApContect& self) { self.checkCurrentWifiReachable(); });
}

void QKApContect::startIncreaseSeconds() {
    if (secondsCount_ > double(apFindDeviceTimeout()) || secondsCount_ == -1) {
        MainLoop::cancelPreviousPerformRequests(this, "startIncreaseSeconds");
        secondsCount_ = -1;
        return;
    }
    if (isPauseConfig_) return;
    secondsCount_ += 0.5;
    after("startIncreaseSeconds", 0.5, [](QKApContect& self) { self.startIncreaseSeconds(); });
}

void QKApContect::startTimer() {
    // The run has ended (or was stopped) meanwhile: the mark is stale.
    if (isCancel_ || isFindDeviceInWan_) return;
    if (startScanCompletion_) {
        auto block = startScanCompletion_;
        block();
    }
    configStepWithType(10);
    releaseTimer();
    findDeviceTimer_ = TelvoTimer::timerWithBlock(
        weakly([](QKApContect& self) { self.findDeviceTimeOut(); }), double(apFindDeviceTimeout()));
}

void QKApContect::findDeviceTimeOut() {
    MainLoop::cancelPreviousPerformRequests(this, "checkAPIsolate");
    if (isFindDeviceInWan_) return;
    isFindDeviceInWan_ = true;
    endConfirmation();
    const int64_t f = checkApFailedResultCode_;
    const std::string digits = std::to_string(f);
    int64_t plain;
    if (f % 10000 == 1307 && isFindDeviceInLAN_)
        plain = 4169;
    else if (f == 0)
        plain = 4013;
    else if (digits.size() <= 6)
        plain = f % 10000;
    else
        plain = Value(digits.substr(2)).int64Value();
    const ErrorPtr error = errorWithCode(plain);
    bindFinalResult(error->withUserInfo(kQKSDKErrorSubType, kQKSDKErrorCheckApTimeOut), nullptr);
}

void QKApContect::endConfirmation() {
    // Whatever ended the run, its pending marks and polls reach nobody any more.
    MainLoop::cancelPreviousPerformRequests(this, "startTimer");
    MainLoop::cancelPreviousPerformRequests(this, "checkCurrentWifiReachable");
    MainLoop::cancelPreviousPerformRequests(this, "checkAPIsolate");
    releaseTimer();
    secondsCount_ = -1;
}

void QKApContect::checkCurrentWifiReachable() {
    if (isReachable_ || isCancel_ || isPauseConfig_ || isFindDeviceInWan_) return;
    if (!bindCompletion_) return;
    isPauseConfig_ = true;
    if (findDeviceTimer_) findDeviceTimer_->pause();
    auto completion = bindCompletion_;
    completion(errorWithCode(4122), nullptr);
}

void QKApContect::checkAPIsolate() {
    if (isCancel_ || isFindDeviceInWan_ || isPauseConfig_) return;
    cuCheckApTask_ = QKNetWorkApplianceOperation::getApplianceDevicesnAPExistsWithDeviceSn(
        configDeivceInfo_[kQKSDKDeviceSn].optionalText(), randomUUID_, isForceValidRandom_,
        std::nullopt,
        weakly<const std::optional<Value>&>(
            [](QKApContect& self, const std::optional<Value>& reply) {
                self.checkAPIsolateSucceeded(reply.value_or(Value(Dictionary{})));
            }),
        weakly<const ErrorPtr&>(
            [](QKApContect& self, const ErrorPtr& error) { self.checkAPIsolateFailed(error); }));
}

void QKApContect::checkAPIsolateSucceeded(const Value& reply) {
    // A poll in flight when the run was stopped or ended reports nothing.
    if (isCancel_ || isFindDeviceInWan_) return;
    handleLoopCheckAPIsolate();
    if (!isReachable_) configStepWithType(15);
    isReachable_ = true;
    if (isPauseConfig_) return;
    if (isOpenPlatformWorkMode())
        findOEMOpenDeviceDoWithDict(reply);
    else
        saveDeviceToLocalWithDict(configDeivceInfo_);
}

void QKApContect::checkAPIsolateFailed(const ErrorPtr& error) {
    if (isCancel_ || isFindDeviceInWan_) return;
    const int64_t k = error ? error->code() : 0;
    const auto bound = TelvoTool::getDuplicationCodeForBindError();
    if (std::find(bound.begin(), bound.end(), std::llabs(k % 10000)) != bound.end()) {
        // Already bound: the run ends here, as its other ends do.
        isFindDeviceInWan_ = true;
        endConfirmation();
        auto record = std::make_shared<QKDevice>();
        record->deviceSn = configDeivceInfo_[kQKSDKDeviceSn].stringValue();
        bindFinalResult(error, record);
        return;
    }
    checkApFailedResultCode_ = k;
    handleLoopCheckAPIsolate();
    if (!isReachable_ && plainCode(error) != 9002) {
        configStepWithType(15);
        isReachable_ = true;
    }
    if (k == 1321 || k % 330000 == 1321) configStepWithType(11);
}

void QKApContect::handleLoopCheckAPIsolate() {
    if (isFindDeviceInWan_) return;
    const double s = secondsCount_;
    double delay;
    if (s > -1 && s < 11)
        delay = 2.0;
    else if (s > 10 && s < 31)
        delay = 0.5;
    else if (s > 30)
        delay = 2.0;
    else
        return;
    after("checkAPIsolate", delay, [](QKApContect& self) { self.checkAPIsolate(); });
}

void QKApContect::saveDeviceToLocalWithDict(const Dictionary& dic) {
    MainLoop::cancelPreviousPerformRequests(this, "checkAPIsolate");
    releaseTimer();
    if (isFindDeviceInWan_) return;
    isFindDeviceInWan_ = true;
    endConfirmation();
    auto record = std::make_shared<QKDevice>(Value(dic));
    const bool authenticated = device_ && device_->isSupportAuthtrue;
    const std::string learnedSubType = device_ ? device_->deviceSubType : std::string();
    record->isSupportAuthtrue = authenticated;
    if (!learnedSubType.empty()) record->deviceSubType = learnedSubType;
    const std::string version = configInfoDic_[kQKSDKUDPVersion].stringValue();
    record->udpVersion = version.empty() ? "00000000" : version;
    record->randomCode = randomUUID_.value_or("");
    device_ = record;
    configStepWithType(6);
    bindFinalResult(TelvoError::sucError(), device_);
}

void QKApContect::findOEMOpenDeviceDoWithDict(const Value& reply) {
    const Value* data = &reply["data"];
    if (!data->isDictionary() || data->dictionary().empty()) data = &reply;
    const Value& list = (*data)["applianceList"];
    if (!list.isArray() || list.array().empty() || !list.at(0).isDictionary()) return;
    MainLoop::cancelPreviousPerformRequests(this, "checkAPIsolate");
    releaseTimer();
    if (isFindDeviceInWan_) return;
    isFindDeviceInWan_ = true;
    endConfirmation();
    configStepWithType(6);
    const Value& first = list.at(0);
    auto record = std::make_shared<QKDevice>(Value(configInfoDic_));
    record->verificationCode = first["verificationCode"].text();
    record->applianceCode = first["applianceCode"].text();
    const std::string version = configInfoDic_[kQKSDKUDPVersion].stringValue();
    record->udpVersion = version.empty() ? "00000000" : version;
    record->randomCode = randomUUID_.value_or("");
    record->deviceSn.clear();
    record->deviceSn8.clear();
    device_ = record;
    bindFinalResult(TelvoError::sucError(), device_);
}

void QKApContect::checkLANOnlineBroadcast() {
    std::optional<std::string> phoneSSID;
    QKTool::currentWifiInfoWithBlock([&](const std::optional<std::string>& ssid, const std::string&,
                                         std::optional<int64_t>) { phoneSSID = ssid; });
    if (phoneSSID != iConfigModel_.routerSSID) {
        if (!isCancel_)
            after("checkLANOnlineBroadcast", 2.0,
                  [](QKApContect& self) { self.checkLANOnlineBroadcast(); });
        return;
    }
    MainLoop::cancelPreviousPerformRequests(this, "checkLANOnlineBroadcast");
    if (isCancel_) return;
    auto manager = QKBroadcastManager::sharedManager();
    manager->changeInterval(1.0);
    manager->openBroadcast(nullptr);
    findDeviceWithFilterType(
        QKBroadcastFilterTypeTypeOrSSID, deviceSSID_.value_or(""), double(apFindDeviceTimeout()),
        weakly<const Value::Array&>([](QKApContect& self, const Value::Array& list) {
            if (self.isCancel_ || self.isFindDeviceInWan_ || list.empty()) return;
            self.dealCloseBroadcast();
            self.isFindDeviceInLAN_ = true;
            self.configStepWithType(12);
        }));
}

void QKApContect::releaseTimer() {
    if (!findDeviceTimer_) return;
    secondsCount_ = -1;
    findDeviceTimer_->cancel();
    findDeviceTimer_.reset();
}

// ---- Wi-Fi list

void QKApContect::getWifiListAroundDeviceWithCompletion(WifiListCompletion completion) {
    findWifiCompletion_ = std::move(completion);
    if (!wifiDeviceInit_) {
        // No session to ask (never opened, or released).
        getWifiListFinalResult(errorWithCode(4007), std::nullopt);
        return;
    }
    auto frame = std::make_shared<QKProtocol>();
    frame->getWiFiList();
    frame->setDeviceID(device_ ? int64_t(Value(device_->deviceId).uint64Value()) : 0);
    wifiDeviceInit_->findWifiAPListWithProtocol(
        frame, weakly<const ErrorPtr&, std::optional<Value::Array>>(
                   [](QKApContect& self, const ErrorPtr& error, std::optional<Value::Array> list) {
                       self.getWifiListFinalResult(error, list);
                   }));
}

void QKApContect::getWifiListFinalResult(const ErrorPtr& error,
                                         const std::optional<Value::Array>& list) {
    if (!findWifiCompletion_ || isCancel_) return;
    auto completion = std::move(findWifiCompletion_);
    findWifiCompletion_ = nullptr;
    completion(error, list);
}

// ---- Resume

void QKApContect::resumeConfigWithParams(const QKDeviceApConfigParams& params) {
    QKSDKLOG("【AP】resumeConfigWithParams continueType:%ld", long(params.continueType));
    if (isCancel_) return;
    if (params.continueType == 1) {
        // Only a paused run goes on; a second counter and poll chain would run beside the first.
        if (!isPauseConfig_) return;
        isPauseConfig_ = false;
        if (findDeviceTimer_) findDeviceTimer_->continueTimer();
        startIncreaseSeconds();
        checkAPIsolate();
        checkLANOnlineBroadcast();
        return;
    }
    if (params.continueType != 0) return;
    if (params.routerPwd) {
        configInfoDic_.set("homePwd", *params.routerPwd);
        iConfigModel_.routerPwd = params.routerPwd;
        configInfoDic_.set("securityType", "1");
        iConfigModel_.securityType = "1";
    } else {
        configInfoDic_.erase("homePwd");
        iConfigModel_.routerPwd.reset();
        configInfoDic_.set("securityType", "0");
        iConfigModel_.securityType = "0";
    }
    iConfigModel_.routerSSID = params.routerSSID;
    iConfigModel_.routerBSSID = params.routerBSSID.value_or("");
    configInfoDic_.set(kQKSDKConfigNeedCheckPassword, params.checkPasswordEnable);
    iConfigModel_.checkPasswordEnable = params.checkPasswordEnable;
    newModuleSetting();
}

// ---- Stop and release

void QKApContect::stopBindDeviceToWifiWithCompletion(std::function<void()>) {
    QKSDKLOG("【AP】stopBindDeviceToWifi");
    isCancel_ = true;
    releaseAll();
    MainLoop::cancelPreviousPerformRequests(this);
    connectCompletion_ = nullptr;
    findWifiCompletion_ = nullptr;
    bindCompletion_ = nullptr;
    startScanCompletion_ = nullptr;
}

void QKApContect::releaseAll() {
    releaseTCP();
    releaseTimer();
    MainLoop::cancelPreviousPerformRequests(this);
    auto manager = QKBroadcastManager::sharedManager();
    for (const auto& completion : observers_) manager->releaseBroadObserver(completion);
    observers_.clear();
    removeNotifiCenterObserver();
}

void QKApContect::releaseTCP() {
    if (!wifiDeviceInit_) return;
    wifiDeviceInit_->stopInitWifi();
    wifiDeviceInit_.reset();
}

}  // namespace telvo
