#include "telvosdk/QKDeviceConfigManager.h"

#include "logging/QKLog.h"
#include "platform/Registry.h"
#include "platform/Singleton.h"
#include "telvosdk/TelvoError.h"

namespace telvo {

namespace {
SharedInstance<QKDeviceConfigManager>& sharedManager() {
    return processWide([] { return new SharedInstance<QKDeviceConfigManager>(); });
}

constexpr char kBleConnectManager[] = "QKBleConnectManager";
constexpr char kDoConfigureAction[] = "doConfigureAction:resultCallback:statusChangeCallBack:";
}  // namespace

std::shared_ptr<QKDeviceConfigManager> QKDeviceConfigManager::shareInstance() {
    return sharedManager().get([] { return std::make_shared<QKDeviceConfigManager>(); });
}

void QKDeviceConfigManager::resetForTesting() {
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

void QKDeviceConfigManager::doConfigureAction(std::shared_ptr<QKConfigAction> action,
                                              QKConfigActionBlock resultCallback,
                                              QKConfigActionBlock statusChangeCallBack) {
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

    auto& registry = Registry::shared();
    RegistryInstance manager;
    if (auto shared = registry.performClassSelector(kBleConnectManager, "shareInstance")) {
        if (auto* instance = std::any_cast<RegistryInstance>(&*shared)) manager = *instance;
    }
    if (!manager) {
        QKSDKLOG("doConfigureAction: %s unavailable", kBleConnectManager);
        return;
    }
    registry.performInstanceSelector(kBleConnectManager, kDoConfigureAction, manager,
                                     {action, result, statusChange});
}

}  // namespace telvo
