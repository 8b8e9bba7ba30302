#include "apconfig/QKApContect.h"

#include "apconfig/FlowResultError.h"
#include "apconfig/QKApContectInternal.h"
#include "discovery/QKBroadcastManager.h"
#include "logging/LogMask.h"
#include "logging/QKLog.h"
#include "platform/base/AsciiText.h"
#include "platform/crypto/Crypto.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/AppLifecycle.h"
#include "platform/http/URLSession.h"
#include "telvosdk/QKSDKConstants.h"

namespace telvo {

using namespace apcontect;

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
    wipeSecrets();
}

void QKApContect::wipeSecrets() {
    crypto::wipe(tlsSessionKey_);
    crypto::wipe(ecdhSessionKey_);
    crypto::wipe(iConfigModel_.routerPwd);
    // The Value is the dictionary's own (not const): its text is cleansed in place.
    if (Value* pwd = configInfoDic_.find("homePwd"); pwd && pwd->isText())
        crypto::wipe(const_cast<std::string&>(pwd->text()));
    configInfoDic_.erase("homePwd");
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
    // The cancelled poll's failure is no answer of the cloud: it neither replaces the last
    // failure code nor starts a second chain of polls beside the one started here.
    if (pollIgnored_) *pollIgnored_ = true;
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
    const std::string v = lowercased(*version);
    return std::any_of(std::begin(kKnown), std::end(kKnown), [&](const char* k) { return v == k; });
}

bool QKApContect::isThirdUDPVersion(const std::optional<std::string>& version) {
    if (!version || version->empty()) return false;
    const std::string v = lowercased(*version);
    return v != "01000000" && v != "00000000" && v != "81000000";
}

bool QKApContect::isSupportCountryCode(const std::optional<std::string>& version) {
    return version && lowercased(*version) == "03000000";
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
        text(params.deviceSSID), text(params.routerSSID),
        maskedSecret("password", params.routerPwd).c_str(), long(securityType),
        text(params.routerBSSID), maskedJSON(Value(params.extras)).c_str(),
        int(params.isChangeWiFiInfo));
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

}  // namespace telvo
