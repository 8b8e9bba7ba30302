#include <cstdlib>

#include "apconfig/QKApContect.h"
#include "apconfig/QKApContectInternal.h"
#include "cloud/QKNetWorkApplianceOperation.h"
#include "core/QKTool.h"
#include "core/TelvoTimer.h"
#include "core/TelvoTool.h"
#include "discovery/QKBroadcastFilter.h"
#include "discovery/QKBroadcastManager.h"
#include "logging/QKLog.h"
#include "platform/dispatch/MainLoop.h"
#include "telvosdk/QKSDKConstants.h"

namespace telvo {

using namespace apcontect;

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
    auto ignored = std::make_shared<bool>(false);
    pollIgnored_ = ignored;
    cuCheckApTask_ = QKNetWorkApplianceOperation::getApplianceDevicesnAPExistsWithDeviceSn(
        configDeivceInfo_[kQKSDKDeviceSn].optionalText(), randomUUID_, isForceValidRandom_,
        std::nullopt,
        weakly<const std::optional<Value>&>(
            [ignored](QKApContect& self, const std::optional<Value>& reply) {
                if (!*ignored) self.checkAPIsolateSucceeded(reply.value_or(Value(Dictionary{})));
            }),
        weakly<const ErrorPtr&>([ignored](QKApContect& self, const ErrorPtr& error) {
            if (!*ignored) self.checkAPIsolateFailed(error);
        }));
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
    // The observer first, then the probe that may draw its reply.
    findDeviceWithFilterType(
        QKBroadcastFilterTypeTypeOrSSID, deviceSSID_.value_or(""), double(apFindDeviceTimeout()),
        weakly<const Value::Array&>([](QKApContect& self, const Value::Array& list) {
            if (self.isCancel_ || self.isFindDeviceInWan_ || list.empty()) return;
            self.dealCloseBroadcast();
            self.isFindDeviceInLAN_ = true;
            self.configStepWithType(12);
        }));
    auto manager = QKBroadcastManager::sharedManager();
    manager->changeInterval(1.0);
    manager->openBroadcast(nullptr);
}

void QKApContect::releaseTimer() {
    if (!findDeviceTimer_) return;
    secondsCount_ = -1;
    findDeviceTimer_->cancel();
    findDeviceTimer_.reset();
}

}  // namespace telvo
