#include <algorithm>
#include <cstdlib>
#include <limits>

#include "blecore/QKBLEBaseConnect.h"
#include "cloud/QKNetWorkApplianceOperation.h"
#include "core/TelvoTool.h"
#include "logging/QKLog.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainLoop.h"
#include "records/QKStepInfoSink.h"
#include "telvosdk/QKSDKConstants.h"
#include "telvosdk/TelvoError.h"

namespace telvo {

namespace {

constexpr const char* kCloudCheckStep = "startCloudCheck";
constexpr const char* kQueryStep = "checkAPExist";
constexpr const char* kSecondsStep = "startIncreaseSeconds";
constexpr uint64_t kFindDeviceTicks = 90;

bool isOpenApiMode(const std::string& mode) {
    return mode == "10004" || mode == "10002";
}

}  // namespace

// ---- The overall timer.

void QKBLEBaseConnect::startTotalTimer() {
    startTotalTimerWithTotalCount(180);
}

void QKBLEBaseConnect::startTotalTimerWithTotalCount(uint64_t seconds) {
    releaseTotalTimer();
    totalCount_ = seconds;
    isPauseConfig_ = false;
    pausedSeconds_ = 0;
    // While it runs the timer holds the session: a session started by class name has no other
    // owner. When the timer lets go, the last release happens on a later turn of the main loop,
    // never inside the session's own call that cancelled the timer.
    struct Hold {
        std::shared_ptr<QKBLEBaseConnect> session;
        ~Hold() {
            if (session) DispatchQueue::main()->async([session = std::move(session)] {});
        }
    };
    auto hold = std::make_shared<Hold>();
    hold->session = shared_from_this();
    totalTimer_ =
        DispatchTimer::create(DispatchQueue::main(), [hold] { hold->session->connectTimeout(); });
    originalFireDate_ = Clock::now() + double(seconds);
    totalTimer_->start(double(seconds));
}

void QKBLEBaseConnect::pauseTotalTimer() {
    if (!totalTimer_ || isPauseConfig_) return;
    QKSDKLOG("总超时定时器---pauseTotalTimer");
    isPauseConfig_ = true;
    pauseStartDate_ = Clock::now();
    totalTimer_->pause();
}

void QKBLEBaseConnect::resumeTotalTimer() {
    if (!totalTimer_ || !isPauseConfig_) return;
    QKSDKLOG("总超时定时器---resumeTotalTimer");
    isPauseConfig_ = false;
    // Every pause of this timer moves its deadline later by its own length.
    const double now = Clock::now();
    pausedSeconds_ += now - pauseStartDate_;
    totalTimer_->rearm(originalFireDate_ + pausedSeconds_ - now);
}

void QKBLEBaseConnect::releaseTotalTimer() {
    QKSDKLOG("总超时定时器---releaseTotalTimer beagin");
    if (!totalTimer_) return;
    QKSDKLOG("总超时定时器---releaseTotalTimer end");
    totalCount_ = std::numeric_limits<uint64_t>::max();
    totalTimer_->cancel();
    totalTimer_.reset();
    isPauseConfig_ = false;
}

void QKBLEBaseConnect::connectTimeout() {
    QKSDKLOG("蓝牙配网超时");
    int64_t code = 4089;
    const int64_t failed = checkApFailedResultCode_;
    if (moduleErrorCode_ % 10000 == 4094) {
        QKSDKLOG("蓝牙配网超时4094");
        code = 4094;
    } else if (failed % 10000 == 1307 && isFindDeviceInLAN_) {
        QKSDKLOG("蓝牙配网超时4168");
        code = 4168;
    } else if (failed != 0) {
        QKSDKLOG("蓝牙配网超时云端错误码");
        const std::string digits = std::to_string(failed);
        code = digits.size() > 6 ? Value(digits.substr(2)).int64Value() : failed % 10000;
    }
    const ErrorPtr error =
        bleErrorWithCode(code)->withUserInfo(kQKSDKErrorSubType, Value(kQKSDKErrorCheckApTimeOut));
    disconnect();
    finalResultWithError(error, nullptr, true);
}

// ---- The cloud confirmation.

void QKBLEBaseConnect::startCloudCheck() {
    releaseTimer();
    // A confirmation started again runs alone: the earlier one's counter step, next query and
    // answer in flight would otherwise run beside it.
    MainLoop::cancelPreviousPerformRequests(this, kSecondsStep);
    MainLoop::cancelPreviousPerformRequests(this, kQueryStep);
    ignoreCloudQueryInFlight();
    timeCount_ = kFindDeviceTicks;
    std::weak_ptr<QKBLEBaseConnect> weak = weak_from_this();
    auto holder = std::make_shared<std::weak_ptr<DispatchTimer>>();
    // A tick already on its way to the main queue when the ticker is released or replaced
    // counts for nothing.
    auto tick = [weak, holder] {
        auto session = weak.lock();
        auto ticker = holder->lock();
        if (!session || !ticker || session->findDeviceTimer_ != ticker) return;
        if (--session->timeCount_ > 0) return;
        ticker->cancel();
        session->findDeviceTimer_.reset();
        session->findDeviceTimeout();
    };
    findDeviceTimer_ = DispatchTimer::create(DispatchQueue::global(),
                                             [tick] { DispatchQueue::main()->async(tick); });
    *holder = findDeviceTimer_;
    findDeviceTimer_->start(0, 1.0);
    secondsCount_ = 0;
    startIncreaseSeconds();
    Dictionary step;
    step.set("QKDevice", Value::object(getDeviceInfo(Dictionary{})));
    publishStepInfo({{11, Value(std::move(step))}});
    updateBlockWithState(11);
    checkAPExist();
}

void QKBLEBaseConnect::startIncreaseSeconds() {
    if (secondsCount_ > 90.0 || secondsCount_ == -1) {
        MainLoop::cancelPreviousPerformRequests(this, kSecondsStep);
        secondsCount_ = -1;
        return;
    }
    if (isPauseConfig_) return;
    secondsCount_ += 0.5;
    std::weak_ptr<QKBLEBaseConnect> weak = weak_from_this();
    MainLoop::performAfterDelay(this, kSecondsStep, 0.5, [weak] {
        if (auto self = weak.lock()) self->startIncreaseSeconds();
    });
}

void QKBLEBaseConnect::findDeviceTimeout() {
    MainLoop::cancelPreviousPerformRequests(this, kQueryStep);
    connectTimeout();
}

void QKBLEBaseConnect::checkAPExist() {
    isConfigProcessIng_ = false;
    if (extras_) {
        const Value& condition = (*extras_)[kQKSDKConfigConnectConditionType];
        if (condition.isText() && condition.text() == kQKSDKValueConnectCombination) return;
    }
    auto ignored = std::make_shared<bool>(false);
    cloudQueryIgnored_ = ignored;
    std::weak_ptr<QKBLEBaseConnect> weak = weak_from_this();
    std::optional<std::string> sn;
    if (bleDevice_) sn = bleDevice_->deviceSn;
    std::optional<std::string> random;
    if (!randomNum_.empty()) random = randomNum_;
    cuCheckApTask_ = QKNetWorkApplianceOperation::getApplianceDevicesnAPExistsWithDeviceSn(
        sn, random, isBleForceValidRandom_, std::nullopt,
        [weak, ignored](const std::optional<Value>& reply) {
            auto self = weak.lock();
            if (self && !*ignored) self->checkAPExistReplied(reply);
        },
        [weak, ignored](const ErrorPtr& error) {
            auto self = weak.lock();
            if (self && !*ignored) self->checkAPExistFailed(error);
        });
}

void QKBLEBaseConnect::checkAPExistReplied(const std::optional<Value>& reply) {
    if (findDevice_) return;
    handleLoopCheckAPExist();
    if (!reply) return;
    if (isOpenApiMode(sdkWorkMode())) {
        const Value* data = &(*reply)["data"];
        if (!data->isDictionary() || data->dictionary().empty()) data = &*reply;
        const Value& list = (*data)["applianceList"];
        if (!list.isArray() || list.array().empty() || !list.at(0).isDictionary()) return;
        MainLoop::cancelPreviousPerformRequests(this, kQueryStep);
        QKSDKLOG("ble step6.2:云端查询设备成功");
        findDeviceDoWithDict(list.at(0).dictionary());
        return;
    }
    const Value& list = (*reply)["data"]["list"];
    if (!list.isArray() || list.array().empty() || !list.at(0).isDictionary() ||
        !list.at(0)["sn"].isText())
        return;
    MainLoop::cancelPreviousPerformRequests(this, kQueryStep);
    QKSDKLOG("ble step6.2:云端查询设备成功");
    if (bleDevice_) bleDevice_->checkRandom = true;
    findDeviceDo();
}

void QKBLEBaseConnect::checkAPExistFailed(const ErrorPtr& error) {
    if (findDevice_) return;
    const int64_t code = error ? error->code() : 0;
    QKSDKLOG("checkAPIsolate errorCode %ld errorMsg %s", long(code),
             error ? error->localizedDescription().c_str() : "(null)");
    const auto bound = TelvoTool::getDuplicationCodeForBindError();
    if (std::find(bound.begin(), bound.end(), std::llabs(code) % 10000) != bound.end()) {
        finalResultWithError(error, bleDevice_, true);
        return;
    }
    checkApFailedResultCode_ = code;
    handleLoopCheckAPExist();
    if (code == 1321 || code % 330000 == 1321) updateBlockWithState(16);
}

void QKBLEBaseConnect::handleLoopCheckAPExist() {
    if (findDevice_) return;
    const double s = secondsCount_;
    double delay;
    if (s > -1 && s < 11) {
        QKSDKLOG("checkAPIsolate again in 1~10 secondsCont %f", s);
        delay = 2.0;
    } else if (s >= 11 && s < 31) {
        QKSDKLOG("checkAPIsolate again in 10~30 secondsCont %f", s);
        delay = 0.5;
    } else if (s >= 31) {
        QKSDKLOG("checkAPIsolate again in 30~ secondsCont %f", s);
        delay = 2.0;
    } else {
        return;
    }
    std::weak_ptr<QKBLEBaseConnect> weak = weak_from_this();
    MainLoop::performAfterDelay(this, kQueryStep, delay, [weak] {
        if (auto self = weak.lock()) self->checkAPExist();
    });
}

void QKBLEBaseConnect::ignoreCloudQueryInFlight() {
    if (cloudQueryIgnored_) *cloudQueryIgnored_ = true;
    cloudQueryIgnored_.reset();
}

void QKBLEBaseConnect::stopClocks() {
    releaseTimer();
    releaseTotalTimer();
    MainLoop::cancelPreviousPerformRequests(this, kCloudCheckStep);
    // An ended session asks the cloud nothing more and hears none of its late answers.
    MainLoop::cancelPreviousPerformRequests(this, kQueryStep);
    MainLoop::cancelPreviousPerformRequests(this, kSecondsStep);
    ignoreCloudQueryInFlight();
}

void QKBLEBaseConnect::releaseTimer() {
    QKSDKLOG("releaseTimer beagin");
    secondsCount_ = -1;
    if (!findDeviceTimer_) return;
    QKSDKLOG("releaseTimer end");
    findDeviceTimer_->cancel();
    findDeviceTimer_.reset();
}

void QKBLEBaseConnect::willEnterForeground() {
    QKSDKLOG("【BLE】cuCheckApTask------%p-----state%d", static_cast<void*>(cuCheckApTask_.get()),
             cuCheckApTask_ ? int(cuCheckApTask_->state()) : 0);
    if (!cuCheckApTask_ || cuCheckApTask_->state() != URLSessionTaskState::suspended) return;
    // The cancelled query's failure is no answer of the cloud: it neither replaces the last
    // failure code nor schedules a second query.
    ignoreCloudQueryInFlight();
    cuCheckApTask_->cancel();
    handleLoopCheckAPExist();
}

// ---- Success.

void QKBLEBaseConnect::findDeviceDo() {
    if (isOpenApiMode(sdkWorkMode())) return;
    QKSDKLOG("ble findDevice,self.findDevice=%s", findDevice_ ? "YES" : "NO");
    if (findDevice_) return;
    releaseTimer();
    findDevice_ = true;
    updateBlockWithState(12);
    callBackDevice();
}

void QKBLEBaseConnect::findDeviceDoWithDict(const Dictionary& entry) {
    QKSDKLOG("ble findDevice,self.findDevice=%s", findDevice_ ? "YES" : "NO");
    if (findDevice_) return;
    releaseTimer();
    findDevice_ = true;
    updateBlockWithState(12);
    finalResultWithError(TelvoError::sucError(), getDeviceInfo(entry), true);
}

void QKBLEBaseConnect::callBackDevice() {
    const uint64_t type = iConfigModel_.bleType;
    const bool disconnectAfter = type == 0 || type == 1 || type == 2 || type == 4 || type == 10;
    finalResultWithError(TelvoError::sucError(), nullptr, disconnectAfter);
}

}  // namespace telvo
