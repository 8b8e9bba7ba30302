#include "apconfig/QKApContect.h"
#include "apconfig/QKApContectInternal.h"
#include "apconfig/QKConfigWifiDevice.h"
#include "core/QKTool.h"
#include "discovery/QKBroadcastFilter.h"
#include "discovery/QKBroadcastManager.h"
#include "logging/LogMask.h"
#include "logging/QKLog.h"
#include "platform/base/AsciiText.h"
#include "platform/net/NetworkConfiguration.h"
#include "protocol/QKProtocol.h"
#include "records/QKStepInfoSink.h"
#include "telvosdk/QKSDKConstants.h"

namespace telvo {

using namespace apcontect;

namespace {

constexpr const char* kFallbackIp = "192.168.1.1";

}  // namespace

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
    // The observer first, then the probe that may draw its reply.
    findDeviceWithFilterType(
        QKBroadcastFilterTypeTypeOrSSID, deviceSSID_.value_or(""), double(apFindDeviceTimeout()),
        weakly<const Value::Array&>([](QKApContect& self, const Value::Array& list) {
            if (!self.isCancel_) self.foundAPDevices(list);
        }));
    auto manager = QKBroadcastManager::sharedManager();
    manager->changeInterval(1.0);
    manager->openBroadcast(nullptr);
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
    QKSDKLOG("【AP】step 1:findAPDevice suc,list = %s", maskedJSON(Value(list)).c_str());
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
    device->deviceType = type.size() >= 4 ? uppercased(type.substr(2)) : "FF";
    device->deviceSsid = dic[kQKSDKDeviceSSID].stringValue();
    device->isWanOnline = "0";
    device_ = std::move(device);
}

void QKApContect::parseAPDeviceBroadcastBack(const Dictionary& dic) {
    const std::string port = std::to_string(fixedPort(NetworkPort::ApplianceSession));
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

    const std::string v = lowercased(*version);
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
    QKSDKLOG("AP step 2:setTempDeviceId dic is %s", maskedJSON(Value(dic)).c_str());
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

}  // namespace telvo
