#include "apconfig/QKApContect.h"
#include "apconfig/QKApContectInternal.h"
#include "apconfig/QKConfigWifiDevice.h"
#include "core/TelvoTimer.h"
#include "discovery/QKBroadcastManager.h"
#include "logging/QKLog.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/MainLoop.h"
#include "protocol/QKProtocol.h"
#include "telvosdk/QKSDKConstants.h"

namespace telvo {

using namespace apcontect;

// ---- Wi-Fi list

void QKApContect::getWifiListAroundDeviceWithCompletion(WifiListCompletion completion) {
    findWifiCompletion_ = std::move(completion);
    if (!wifiDeviceInit_) {
        // No session to ask (never opened, or released). A stop silences the stopped run's
        // blocks, not this new request: it is answered even then.
        auto answer = std::exchange(findWifiCompletion_, nullptr);
        if (answer) answer(errorWithCode(4007), std::nullopt);
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

void QKApContect::stopBindDeviceToWifiWithCompletion(std::function<void()> completion) {
    QKSDKLOG("【AP】stopBindDeviceToWifi");
    isCancel_ = true;
    releaseAll();
    wipeSecrets();
    MainLoop::cancelPreviousPerformRequests(this);
    connectCompletion_ = nullptr;
    findWifiCompletion_ = nullptr;
    bindCompletion_ = nullptr;
    startScanCompletion_ = nullptr;
    if (completion) DispatchQueue::main()->async(std::move(completion));
}

void QKApContect::releaseAll() {
    bindWait_.cancel();
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
