#include "apconfig/QKApContect.h"
#include "apconfig/QKApContectInternal.h"
#include "apconfig/QKConfigWifiDevice.h"
#include "cloud/QKRandomNumObject.h"
#include "core/QKTool.h"
#include "core/TextSplit.h"
#include "logging/LogMask.h"
#include "logging/QKLog.h"
#include "platform/crypto/Random.h"
#include "platform/net/NetworkConfiguration.h"
#include "protocol/LanText.h"
#include "protocol/QKProtocol.h"
#include "records/QKStepInfoSink.h"
#include "security/QKDataSecurity.h"
#include "telvosdk/QKSDKConstants.h"

namespace telvo {

using namespace apcontect;

// ---- Bind half

void QKApContect::bindDeviceWithParams(const QKDeviceApConfigParams& params, int64_t securityType,
                                       StartScanBlock startScanInLanBlock,
                                       DeviceCompletion completion) {
    QKSDKLOG("【AP】bind routerSSID:%s routerPwd:%s securityType:%ld routerBSSID:%s extras:%s",
             text(params.routerSSID), maskedSecret("password", params.routerPwd).c_str(),
             long(securityType), text(params.routerBSSID),
             maskedJSON(Value(params.extras)).c_str());
    if (isCancel_) {
        // The stop released the session: this new request is answered all the same.
        if (completion) completion(errorWithCode(4007), nullptr);
        return;
    }
    isFindDeviceInWan_ = false;
    bindCompletion_ = std::move(completion);
    startScanCompletion_ = std::move(startScanInLanBlock);
    // Right after start-up the phone's network may still be on its way: wait for it (on the
    // main queue); a stop or a new bind meanwhile ends this one.
    bindWait_.start(DispatchQueue::main(), weakly([params](QKApContect& self) {
                        if (self.isCancel_) return;
                        QKTool::currentWifiInfoWithBlock(
                            [&](const std::optional<std::string>& ssid, const std::string&,
                                std::optional<int64_t> phoneSecurityType) {
                                self.bindWithCurrentWifi(params, ssid, phoneSecurityType);
                            });
                    }));
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
        if (!m.channelList) return errorWithCode(4129);
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
    // Built in place: GCC 12 at -O1 reports a moved Value here as maybe uninitialized.
    publishStepInfo({{13, formerError}});
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

}  // namespace telvo
