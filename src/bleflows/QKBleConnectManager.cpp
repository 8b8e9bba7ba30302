#include "bleflows/QKBleConnectManager.h"

#include "blecore/QKBLEDeviceManager.h"
#include "core/QKTool.h"
#include "logging/QKLog.h"
#include "platform/base/Singleton.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/Registry.h"
#include "telvosdk/TelvoError.h"

namespace telvo {

namespace {

SharedInstance<QKBleConnectManager>& sharedConnectManager() {
    return processWide([] { return new SharedInstance<QKBleConnectManager>(); });
}

// Runs work on the main queue: at once when already there, else queued in call order.
void onMain(std::function<void()> work) {
    auto main = DispatchQueue::main();
    if (main->isCurrent() || MainLoop::isMainThread()) {
        work();
    } else {
        main->async(std::move(work));
    }
}

std::string btMacOf(const std::shared_ptr<QKBLEBaseConnect>& session) {
    return session && session->bleDevice() ? session->bleDevice()->btMac : std::string();
}

std::shared_ptr<QKBleConnectManagerImpl> sharedConnectImpl() {
    return QKBleConnectManagerImpl::shared();
}

// Takes a replaced session out of service: no block of it reaches the app any more.
void retireSession(const std::shared_ptr<QKBLEBaseConnect>& session) {
    session->setBlocks(nullptr, nullptr);
    session->removeNotifiCenterObserver();
    // The link goes down at once (no cancel command first): the session that replaces this
    // one may want the same appliance.
    session->QKBLEBaseConnect::stopConfig();
}

void stopSession(const std::shared_ptr<QKBLEBaseConnect>& session) {
    session->removeNotifiCenterObserver();
    session->stopConfig();
}

}  // namespace

std::shared_ptr<QKBleConnectManager> QKBleConnectManager::shareInstance() {
    return sharedConnectManager().get([] { return std::make_shared<QKBleConnectManagerImpl>(); });
}

template <>
void resetForTesting<QKBleConnectManager>() {
    sharedConnectManager().exchange();
}

std::optional<std::string> QKBleConnectManager::advertisedMac(
    const QKDeviceBleConfigParams& params) {
    if (!params.peripheral) return std::nullopt;
    auto dict = QKBLEProtocol::bleDeviceModelForAdvertisementData(params.peripheral);
    if (!dict) return std::nullopt;
    const Value& mac = (*dict)["deviceMac"];
    if (!mac.isText()) return std::nullopt;
    return mac.stringValue();
}

template <class T>
std::shared_ptr<T> QKBleConnectManagerImpl::keepOrReplace(std::shared_ptr<T>& slot,
                                                          const QKDeviceBleConfigParams& params,
                                                          bool forceNew) {
    std::shared_ptr<T> held;
    {
        std::lock_guard lock(mutex);
        held = slot;
    }
    if (held && !forceNew) {
        // Exact text: case and separators count here, unlike in stopConfig.
        auto mac = advertisedMac(params);
        if (mac && !mac->empty() && *mac == btMacOf(held)) {
            // A new session stops the scan as it is made; a kept one does so here, so that
            // every start ends the app's scan.
            QKBLEDeviceManager::shareInstance()->stopScan();
            held->beginRun();
            return held;
        }
    }
    if (held) {
        {
            std::lock_guard lock(mutex);
            slot = nullptr;
        }
        retireSession(held);
    }
    auto made = QKBLEBaseConnect::initWithParam<T>(params);
    std::lock_guard lock(mutex);
    slot = made;
    return made;
}

// ---- Starts.

void QKBleConnectManager::statConfig(const QKDeviceBleConfigParams& params, int64_t bleType,
                                     UpdateBlock update, CompletionBlock completion) {
    switch (bleType) {
        case 0:
            return startOneConfig(params, std::move(update), std::move(completion));
        case 1:
            return startSencondConfig(params, std::move(update), std::move(completion));
        case 3:
            return startComboBind(params, std::move(update), std::move(completion));
        case 10:
            return startSencondRetry(params, std::move(update), std::move(completion));
        case 11:
            return startSecondWired(params, std::move(update), std::move(completion));
        case 12:
            return startSpecialModeSet(params, std::move(update), std::move(completion));
        default:
            QKSDKLOG("【BLE】statConfig: bleType %lld starts no flow", (long long)bleType);
            // Without a peripheral it answers as the flows do.
            if (!params.peripheral && completion)
                onMain([completion = std::move(completion)] {
                    completion(TelvoError::sdkErrorWithType(1, 4085), nullptr);
                });
    }
}

void QKBleConnectManager::startOneConfig(const QKDeviceBleConfigParams& params, UpdateBlock update,
                                         CompletionBlock completion) {
    onMain([self = sharedConnectImpl(), params, update = std::move(update),
            completion = std::move(completion)]() mutable {
        auto flow = self->keepOrReplace(self->oneBle_, params, true);
        flow->statConfig(params, std::move(update), std::move(completion));
    });
}

void QKBleConnectManager::startSencondConfig(const QKDeviceBleConfigParams& params,
                                             UpdateBlock update, CompletionBlock completion) {
    onMain([self = sharedConnectImpl(), params, update = std::move(update),
            completion = std::move(completion)]() mutable {
        auto flow = self->keepOrReplace(self->ble_, params, params.bleSecondConfigType == 0);
        flow->mode = params.bleSecondConfigType;
        flow->statConfig(params, std::move(update), std::move(completion));
    });
}

void QKBleConnectManager::startSencondRetry(const QKDeviceBleConfigParams& params,
                                            UpdateBlock update, CompletionBlock completion) {
    onMain([self = sharedConnectImpl(), params, update = std::move(update),
            completion = std::move(completion)]() mutable {
        auto flow = self->keepOrReplace(self->bleRetry_, params, false);
        flow->mode = params.bleSecondConfigType;
        flow->statConfig(params, std::move(update), std::move(completion));
    });
}

void QKBleConnectManager::startSecondWired(const QKDeviceBleConfigParams& params,
                                           UpdateBlock update, CompletionBlock completion) {
    onMain([self = sharedConnectImpl(), params, update = std::move(update),
            completion = std::move(completion)]() mutable {
        auto flow = self->keepOrReplace(self->wiredBle_, params, true);
        flow->mode = params.bleSecondConfigType;
        flow->statConfig(params, std::move(update), std::move(completion));
    });
}

void QKBleConnectManager::startSpecialModeSet(const QKDeviceBleConfigParams& params,
                                              UpdateBlock update, CompletionBlock completion) {
    onMain([self = sharedConnectImpl(), params, update = std::move(update),
            completion = std::move(completion)]() mutable {
        auto flow = self->keepOrReplace(self->specialModedBle_, params, true);
        flow->statConfig(params, std::move(update), std::move(completion));
    });
}

void QKBleConnectManager::startComboBind(const QKDeviceBleConfigParams& params, UpdateBlock update,
                                         CompletionBlock completion) {
    onMain([self = sharedConnectImpl(), params, update = std::move(update),
            completion = std::move(completion)]() mutable {
        auto flow = self->keepOrReplace(self->comboBle_, params, true);
        flow->statConfig(params, std::move(update), std::move(completion));
    });
}

// ---- Resume, stop, confirmation.

void QKBleConnectManager::resumeConfigWithParams(const QKDeviceBleConfigParams& params) {
    onMain([self = sharedConnectImpl(), params] {
        std::shared_ptr<QKBleSecondRetryConnect> retry;
        std::shared_ptr<QKBleSecondConnect> second;
        std::shared_ptr<QKBleSecondWiredConnect> wired;
        {
            std::lock_guard lock(self->mutex);
            retry = self->bleRetry_;
            second = self->ble_;
            wired = self->wiredBle_;
        }
        if (params.bleType == 10) {
            if (retry) retry->resumeConfigWithParams(params);
        } else if (second) {
            second->resumeConfigWithParams(params);
        }
        if (wired) wired->resumeConfigWithParams(params);
    });
}

void QKBleConnectManager::stopConfig(const QKDeviceBleConfigParams& params) {
    onMain([self = sharedConnectImpl(), params] {
        std::shared_ptr<QKBLEConnect> one;
        {
            std::lock_guard lock(self->mutex);
            one.swap(self->oneBle_);
        }
        if (one) stopSession(one);

        const std::optional<std::string> mac = advertisedMac(params);
        if (!mac || mac->empty()) return;
        auto stopIfSame = [&](auto& slot) {
            std::shared_ptr<QKBLEBaseConnect> held;
            {
                std::lock_guard lock(self->mutex);
                if (!slot || !QKTool::isEqualMacStr(mac, btMacOf(slot))) return;
                held = slot;
                slot = nullptr;
            }
            stopSession(held);
        };
        stopIfSame(self->ble_);
        stopIfSame(self->bleRetry_);
        stopIfSame(self->comboBle_);
        stopIfSame(self->wiredBle_);
        stopIfSame(self->specialModedBle_);
    });
}

void QKBleConnectManager::doConfigureAction(const std::shared_ptr<QKConfigAction>& action,
                                            ActionBlock resultCallback,
                                            ActionBlock statusChangeCallBack) {
    auto combo = QKBleConnectManagerImpl::of(*this).comboBle();
    if (action && action->actionType == 1 && combo && combo->peripheral() &&
        combo->peripheral()->state() == CBPeripheralState::Connected) {
        onMain([combo, action, resultCallback = std::move(resultCallback),
                statusChangeCallBack = std::move(statusChangeCallBack)]() mutable {
            combo->doConfigureAction(action, std::move(resultCallback),
                                     std::move(statusChangeCallBack));
        });
        return;
    }
    QKSDKLOG("【BLE】doConfigureAction refused");
    if (resultCallback) resultCallback(TelvoError::configNetErrorWithCode(4100), nullptr);
}

// ---- Held sessions.

std::shared_ptr<QKBLEConnect> QKBleConnectManagerImpl::oneBle() const {
    std::lock_guard lock(mutex);
    return oneBle_;
}
std::shared_ptr<QKBleSecondConnect> QKBleConnectManagerImpl::ble() const {
    std::lock_guard lock(mutex);
    return ble_;
}
std::shared_ptr<QKBleSecondRetryConnect> QKBleConnectManagerImpl::bleRetry() const {
    std::lock_guard lock(mutex);
    return bleRetry_;
}
std::shared_ptr<QKComboBLEConnect> QKBleConnectManagerImpl::comboBle() const {
    std::lock_guard lock(mutex);
    return comboBle_;
}
std::shared_ptr<QKBleSecondWiredConnect> QKBleConnectManagerImpl::wiredBle() const {
    std::lock_guard lock(mutex);
    return wiredBle_;
}
std::shared_ptr<QKBleSpecialModeConnect> QKBleConnectManagerImpl::specialModedBle() const {
    std::lock_guard lock(mutex);
    return specialModedBle_;
}

// ---- Run-time names.

namespace {

using Self = QKBleConnectManager;
using ParamsPtr = std::shared_ptr<QKDeviceBleConfigParams>;
// The blocks as a caller by name passes them (the configuration entry's block types).
using StepBlock = std::function<void(int64_t)>;
using EndBlock = std::function<void(ErrorPtr, std::shared_ptr<QKDevice>)>;
using StatusBlock = std::function<void(ErrorPtr, std::shared_ptr<QKConfigStatus>)>;

Self& self(const RegistryInstance& instance) {
    return *static_cast<Self*>(instance.get());
}

QKDeviceBleConfigParams paramsAt(const RegistryArgs& args, size_t index) {
    const ParamsPtr& p = registryArgRef<ParamsPtr>(args, index);
    return p ? *p : QKDeviceBleConfigParams{};
}

Self::UpdateBlock stepAt(const RegistryArgs& args, size_t index) {
    const StepBlock* block = registryArg<StepBlock>(args, index);
    if (!block || !*block) return {};
    return [block = *block](int64_t step) { block(step); };
}

Self::CompletionBlock endAt(const RegistryArgs& args, size_t index) {
    const EndBlock* block = registryArg<EndBlock>(args, index);
    if (!block || !*block) return {};
    return [block = *block](const ErrorPtr& error, const std::shared_ptr<QKDevice>& device) {
        block(error, device);
    };
}

Self::ActionBlock statusAt(const RegistryArgs& args, size_t index) {
    const StatusBlock* block = registryArg<StatusBlock>(args, index);
    return block ? *block : Self::ActionBlock{};
}

void statConfigWith(Self& manager, const RegistryArgs& a) {
    manager.statConfig(paramsAt(a, 0), registryArgRef<int64_t>(a, 1), stepAt(a, 2), endAt(a, 3));
}

void doConfigureActionWith(Self& manager, const RegistryArgs& a) {
    manager.doConfigureAction(registryArgRef<std::shared_ptr<QKConfigAction>>(a, 0), statusAt(a, 1),
                              statusAt(a, 2));
}

}  // namespace

void registerBleConnectManager() {
    RegisteredClass cls("QKBleConnectManager");
    cls.classSelector(
           "shareInstance",
           [](const RegistryArgs&) -> std::any { return RegistryInstance(Self::shareInstance()); })
        .classSelector("statConfig:bleType:connectUpdate:completion:",
                       [](const RegistryArgs& a) -> std::any {
                           statConfigWith(*Self::shareInstance(), a);
                           return {};
                       })
        .classSelector("doConfigureAction:resultCallback:statusChangeCallBack:",
                       [](const RegistryArgs& a) -> std::any {
                           doConfigureActionWith(*Self::shareInstance(), a);
                           return {};
                       })
        .instanceSelector("statConfig:bleType:connectUpdate:completion:",
                          [](const RegistryInstance& s, const RegistryArgs& a) -> std::any {
                              statConfigWith(self(s), a);
                              return {};
                          })
        .instanceSelector("resumeConfigWithParams:",
                          [](const RegistryInstance& s, const RegistryArgs& a) -> std::any {
                              self(s).resumeConfigWithParams(paramsAt(a, 0));
                              return {};
                          })
        .instanceSelector("stopConfig:",
                          [](const RegistryInstance& s, const RegistryArgs& a) -> std::any {
                              self(s).stopConfig(paramsAt(a, 0));
                              return {};
                          })
        .instanceSelector("doConfigureAction:resultCallback:statusChangeCallBack:",
                          [](const RegistryInstance& s, const RegistryArgs& a) -> std::any {
                              doConfigureActionWith(self(s), a);
                              return {};
                          });
    Registry::shared().registerClass(std::move(cls));
}

}  // namespace telvo
