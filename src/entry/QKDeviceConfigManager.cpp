#include "entry/QKDeviceConfigManager.h"

#include <algorithm>
#include <initializer_list>

#include "logging/QKLog.h"
#include "platform/base/Singleton.h"
#include "platform/dispatch/MainThreadRule.h"
#include "platform/foundation/Registry.h"
#include "records/QKStepInfoSink.h"
#include "telvosdk/QKBleConnectManager.h"
#include "telvosdk/TelvoError.h"

namespace telvo {

namespace {
SharedInstance<QKDeviceConfigManager>& sharedManager() {
    return processWide([] { return new SharedInstance<QKDeviceConfigManager>(); });
}

}  // namespace

void registerConfigManager() {
    setStepInfoSink([](QKStepInfo info) {
        QKDeviceConfigManager::shareInstance()->setStepInfoData(std::move(info));
    });
}

std::shared_ptr<QKDeviceConfigManager> QKDeviceConfigManager::shareInstance() {
    return sharedManager().get([] { return std::make_shared<QKDeviceConfigManager>(); });
}

template <>
void resetForTesting<QKDeviceConfigManager>() {
    sharedManager().exchange();
}

void QKDeviceConfigManager::setStepInfoData(QKStepInfo stepInfo) {
    std::lock_guard lock(mutex_);
    stepInfoData_ = std::move(stepInfo);
}

QKStepInfo QKDeviceConfigManager::stepInfoData() const {
    std::lock_guard lock(mutex_);
    return stepInfoData_;
}

void QKDeviceConfigManager::bletoothruntimeMap(const std::string& className,
                                               std::shared_ptr<QKDeviceBleConfigParams> device,
                                               QKConfigStepBlock progressCallback,
                                               QKConfigCompletionBlock completioncallback) {
    TELVO_MAIN_THREAD_ONLY("QKDeviceConfigManager::bletoothruntimeMap");
    // The forwarding blocks hold only the caller's blocks: nothing here keeps the flow alive.
    QKConfigStepBlock progress = [progressCallback](int64_t step) {
        if (progressCallback) progressCallback(step);
    };
    QKConfigCompletionBlock completion = [completioncallback](ErrorPtr error,
                                                              std::shared_ptr<QKDevice> found) {
        if (completioncallback) completioncallback(std::move(error), std::move(found));
    };

    auto& registry = Registry::shared();
    RegistryInstance flow;
    if (auto made = registry.performClassSelector(className, "initWithParam:", {device})) {
        if (auto* instance = std::any_cast<RegistryInstance>(&*made)) flow = *instance;
    }
    if (flow && registry.performInstanceSelector(className, "statConfig:connectUpdate:completion:",
                                                 flow, {device, progress, completion})) {
        return;
    }
    QKSDKLOG("bletoothruntimeMap: class %s cannot be started", className.c_str());
    completion(TelvoError::configNetErrorWithCode(8000), nullptr);
}

namespace {

bool isOneOf(uint64_t type, std::initializer_list<uint64_t> types) {
    return std::find(types.begin(), types.end(), type) != types.end();
}

}  // namespace

void QKDeviceConfigManager::startBleConfig(std::shared_ptr<QKDeviceBleConfigParams> device,
                                           QKConfigStepBlock progressCallback,
                                           QKConfigCompletionBlock completioncallback) {
    TELVO_MAIN_THREAD_ONLY("QKDeviceConfigManager::startBleConfig");
    const uint64_t type = device ? device->bleType : 0;
    const char* byName = type == 2    ? "QKSingleBLEConnect"
                         : type == 4  ? "QKSingleBLENetworkBridgeConnect"
                         : type == 98 ? "QKBLEConnect"
                                      : nullptr;
    if (byName) {
        bletoothruntimeMap(byName, std::move(device), std::move(progressCallback),
                           std::move(completioncallback));
        return;
    }
    QKBleConnectManager::shareInstance()->statConfig(
        device ? *device : QKDeviceBleConfigParams{}, static_cast<int64_t>(type),
        std::move(progressCallback), std::move(completioncallback));
}

void QKDeviceConfigManager::resumeBleConfig(std::shared_ptr<QKDeviceBleConfigParams> device) {
    TELVO_MAIN_THREAD_ONLY("QKDeviceConfigManager::resumeBleConfig");
    if (!device || !isOneOf(device->bleType, {1, 10, 11})) {
        QKSDKLOG("resumeBleConfig: no resume for this bleType");
        return;
    }
    QKBleConnectManager::shareInstance()->resumeConfigWithParams(*device);
}

void QKDeviceConfigManager::stopBleConfig(std::shared_ptr<QKDeviceBleConfigParams> device) {
    TELVO_MAIN_THREAD_ONLY("QKDeviceConfigManager::stopBleConfig");
    if (!device || !isOneOf(device->bleType, {0, 1, 3, 10, 11, 12})) {
        QKSDKLOG("stopBleConfig: no stop for this bleType");
        return;
    }
    QKBleConnectManager::shareInstance()->stopConfig(*device);
}

void QKDeviceConfigManager::doConfigureAction(std::shared_ptr<QKConfigAction> action,
                                              QKConfigActionBlock resultCallback,
                                              QKConfigActionBlock statusChangeCallBack) {
    TELVO_MAIN_THREAD_ONLY("QKDeviceConfigManager::doConfigureAction");
    if (!action || (action->actionType != 0 && action->actionType != 1)) {
        QKSDKLOG("doConfigureAction: unsupported action type %lld",
                 static_cast<long long>(action ? action->actionType : -1));
        return;
    }
    QKConfigActionBlock result = [resultCallback](ErrorPtr error,
                                                  std::shared_ptr<QKConfigStatus> status) {
        if (resultCallback) resultCallback(std::move(error), std::move(status));
    };
    QKConfigActionBlock statusChange = [statusChangeCallBack](
                                           ErrorPtr error, std::shared_ptr<QKConfigStatus> status) {
        if (statusChangeCallBack) statusChangeCallBack(std::move(error), std::move(status));
    };
    QKBleConnectManager::shareInstance()->doConfigureAction(action, std::move(result),
                                                            std::move(statusChange));
}

}  // namespace telvo
