#include "apconfig/QKDeviceManager.h"

#include "apconfig/RegisterApConfig.h"
#include "core/QKTool.h"
#include "discovery/QKBroadcastManager.h"
#include "discovery/QKBroadcastObserver.h"
#include "logging/LogMask.h"
#include "logging/QKLog.h"
#include "platform/base/Singleton.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/MainThreadRule.h"
#include "platform/foundation/Registry.h"
#include "platform/net/NetworkConfiguration.h"
#include "telvosdk/QKMiddleInterface.h"
#include "telvosdk/TelvoError.h"

namespace telvo {

namespace {

SharedInstance<QKDeviceManager>& sharedApManager() {
    return processWide([] { return new SharedInstance<QKDeviceManager>(); });
}

QKApContect::DeviceCompletion toFlow(QKDeviceManager::DeviceCompletion completion) {
    return [completion = std::move(completion)](const ErrorPtr& error,
                                                std::shared_ptr<QKDevice> device) {
        if (completion) completion(error, std::move(device));
    };
}

}  // namespace

std::shared_ptr<QKDeviceManager> QKDeviceManager::sharedManager() {
    return sharedApManager().get([]() -> std::shared_ptr<QKDeviceManager> {
        return std::make_shared<QKDeviceManagerImpl>();
    });
}

template <>
void resetForTesting<QKDeviceManager>() {
    if (auto old = sharedApManager().exchange()) QKDeviceManagerAccess::release(*old);
}

// ---- Flow choice

void QKDeviceManager::startConfigureDeviceWithParams(const QKDeviceApConfigParams& params,
                                                     int64_t type, StepBlock deviceConfigStep,
                                                     DeviceCompletion completion) {
    TELVO_MAIN_THREAD_ONLY("QKDeviceManager::startConfigureDeviceWithParams");
    if (type == 1) {
        startApConnectWithParams(params, 1, std::move(deviceConfigStep), std::move(completion));
    } else if (type == 2) {
        if (params.deviceSSID && !params.deviceSSID->empty()) {
            startSendQKCWithDevice(params, std::move(deviceConfigStep), std::move(completion));
        } else if (params.deviceType && !params.deviceType->empty()) {
            startNewSendQKCWithDeviceType(params, std::move(deviceConfigStep),
                                          std::move(completion));
        } else {
            QKSDKLOG("快连参数 错误 请检查 deviceSSID || deviceType 是否为空");
            if (completion) completion(TelvoError::sdkErrorWithType(1, 8000), nullptr);
        }
    } else {
        // No flow of this class takes the type: the caller still gets its one answer.
        QKSDKLOG("configuration type %lld starts no Wi-Fi flow", static_cast<long long>(type));
        if (completion) completion(TelvoError::sdkErrorWithType(1, 8000), nullptr);
    }
}

// ---- Access point

void QKDeviceManagerImpl::replaceSession() {
    if (apConnect) {
        apConnect->releaseAll();
        apConnect.reset();
    }
    apConnect = QKApContect::create();
    apConnect->setNeedConfirmDeviceInWan(true);
}

void QKDeviceManager::startApConnectWithParams(const QKDeviceApConfigParams& params, int64_t,
                                               StepBlock deviceConfigStep,
                                               DeviceCompletion completion) {
    TELVO_MAIN_THREAD_ONLY("QKDeviceManager::startApConnectWithParams");
    auto& flows = QKDeviceManagerImpl::of(*this);
    flows.replaceSession();
    flows.apConnect->startConfigureDeviceParams(params, std::move(deviceConfigStep),
                                                toFlow(std::move(completion)));
}

void QKDeviceManager::connectDeviceWithSSID(const std::string& ssid, ErrorCompletion completion) {
    TELVO_MAIN_THREAD_ONLY("QKDeviceManager::connectDeviceWithSSID");
    auto& flows = QKDeviceManagerImpl::of(*this);
    flows.replaceSession();
    QKDeviceApConfigParams params;
    params.deviceSSID = ssid;
    flows.apConnect->connectDeviceWithParams(params, [completion](const ErrorPtr& error) {
        if (completion) completion(error);
    });
}

void QKDeviceManager::resumeConfigWithParams(const QKDeviceApConfigParams& params) {
    TELVO_MAIN_THREAD_ONLY("QKDeviceManager::resumeConfigWithParams");
    if (auto session = QKDeviceManagerImpl::of(*this).apConnect)
        session->resumeConfigWithParams(params);
}

void QKDeviceManager::stopBindDeviceWithCompletion(ErrorCompletion completion) {
    TELVO_MAIN_THREAD_ONLY("QKDeviceManager::stopBindDeviceWithCompletion");
    std::function<void()> done;
    if (completion) done = [completion] { completion(TelvoError::sucError()); };
    if (auto session = QKDeviceManagerImpl::of(*this).apConnect)
        session->stopBindDeviceToWifiWithCompletion(std::move(done));
    else if (done)
        DispatchQueue::main()->async(std::move(done));
}

void QKDeviceManager::getWifiList(WifiListCompletion completion) {
    TELVO_MAIN_THREAD_ONLY("QKDeviceManager::getWifiList");
    auto session = QKDeviceManagerImpl::of(*this).apConnect;
    if (!session) {
        if (completion) completion(TelvoError::sdkErrorWithType(1, 4007), std::nullopt);
        return;
    }
    session->getWifiListAroundDeviceWithCompletion(
        [completion](const ErrorPtr& error, const std::optional<Value::Array>& list) {
            if (completion) completion(error, list);
        });
}

void QKDeviceManager::bindDeviceWithparams(const QKDeviceApConfigParams& params,
                                           std::function<void()> startScanInLanBlock,
                                           DeviceCompletion completion) {
    TELVO_MAIN_THREAD_ONLY("QKDeviceManager::bindDeviceWithparams");
    auto session = QKDeviceManagerImpl::of(*this).apConnect;
    if (!session) {
        if (completion) completion(TelvoError::sdkErrorWithType(1, 4007), nullptr);
        return;
    }
    const int64_t securityType = params.routerPwd && !params.routerPwd->empty() ? 1 : 0;
    session->bindDeviceWithParams(params, securityType, std::move(startScanInLanBlock),
                                  toFlow(std::move(completion)));
}

// ---- Smart connect

std::shared_ptr<QKSmartConnect> QKDeviceManagerImpl::smartConnectFlow() {
    if (!smartConnect) smartConnect = std::make_shared<QKSmartConnect>();
    return smartConnect;
}

// ---- The library's access

std::shared_ptr<QKApContect> QKDeviceManagerAccess::apConnect(const QKDeviceManager& manager) {
    return QKDeviceManagerImpl::of(manager).apConnect;
}

void QKDeviceManagerAccess::setApConnect(QKDeviceManager& manager,
                                         std::shared_ptr<QKApContect> session) {
    QKDeviceManagerImpl::of(manager).apConnect = std::move(session);
}

std::shared_ptr<QKSmartConnect> QKDeviceManagerAccess::smartConnect(QKDeviceManager& manager) {
    return QKDeviceManagerImpl::of(manager).smartConnectFlow();
}

void QKDeviceManagerAccess::setSmartConnect(QKDeviceManager& manager,
                                            std::shared_ptr<QKSmartConnect> flow) {
    QKDeviceManagerImpl::of(manager).smartConnect = std::move(flow);
}

void QKDeviceManagerAccess::release(QKDeviceManager& manager) {
    auto& flows = QKDeviceManagerImpl::of(manager);
    flows.smartConnectWait.cancel();
    if (flows.apConnect) flows.apConnect->releaseAll();
    if (flows.smartConnect) flows.smartConnect->stop();
}

void QKDeviceManagerImpl::startSmartConnect(const QKDeviceApConfigParams& params, bool byType,
                                            StepBlock deviceConfigStep,
                                            DeviceCompletion completion) {
    // Right after start-up the phone's network may still be on its way: the check waits for
    // it (on the main queue). A stop or another start meanwhile ends this one.
    smartConnectWait.start(DispatchQueue::main(), [weak = weak_from_this(), params, byType,
                                                   step = std::move(deviceConfigStep),
                                                   completion = std::move(completion)]() mutable {
        if (auto self = weak.lock())
            of(*self).checkWifiAndStartSmartConnect(params, byType, std::move(step),
                                                    std::move(completion));
    });
}

void QKDeviceManagerImpl::checkWifiAndStartSmartConnect(const QKDeviceApConfigParams& params,
                                                        bool byType, StepBlock deviceConfigStep,
                                                        DeviceCompletion completion) {
    QKTool::currentWifiInfoWithBlock(
        [&](const std::optional<std::string>& ssid, const std::string&, std::optional<int64_t>) {
            if (!ssid || ssid->empty() || !params.routerSSID || *ssid != *params.routerSSID) {
                if (completion) completion(TelvoError::sdkErrorWithType(1, 4030), nullptr);
                return;
            }
            // The flow's observers first, then the probe that may draw their replies; a run that
            // ended inside the call (credentials the air cannot carry) has nothing to find, and
            // the probe keeps its rhythm.
            auto ended = std::make_shared<bool>(false);
            auto done = [ended, completion = toFlow(std::move(completion))](
                            const ErrorPtr& error, std::shared_ptr<QKDevice> device) {
                *ended = true;
                completion(error, std::move(device));
            };
            if (byType) {
                smartConnectFlow()->fastConfigWithDeviceType(params, std::move(deviceConfigStep),
                                                             std::move(done));
            } else {
                smartConnectFlow()->fastConfigWithParams(params, std::move(deviceConfigStep),
                                                         std::move(done));
            }
            if (!*ended) startBroadCastWithInerval(1.0);
        });
}

void QKDeviceManager::startSendQKCWithDevice(const QKDeviceApConfigParams& params,
                                             StepBlock deviceConfigStep,
                                             DeviceCompletion completion) {
    TELVO_MAIN_THREAD_ONLY("QKDeviceManager::startSendQKCWithDevice");
    QKDeviceManagerImpl::of(*this).startSmartConnect(params, false, std::move(deviceConfigStep),
                                                     std::move(completion));
}

void QKDeviceManager::startNewSendQKCWithDeviceType(const QKDeviceApConfigParams& params,
                                                    StepBlock deviceConfigStep,
                                                    DeviceCompletion completion) {
    TELVO_MAIN_THREAD_ONLY("QKDeviceManager::startNewSendQKCWithDeviceType");
    QKDeviceManagerImpl::of(*this).startSmartConnect(params, true, std::move(deviceConfigStep),
                                                     std::move(completion));
}

void QKDeviceManager::stopSendQKCPacket() {
    TELVO_MAIN_THREAD_ONLY("QKDeviceManager::stopSendQKCPacket");
    QKDeviceManagerImpl::of(*this).smartConnectWait.cancel();
    QKDeviceManagerImpl::of(*this).smartConnectFlow()->stop();
    QKBroadcastManager::sharedManager()->changeInterval(60.0);
}

void QKDeviceManager::stopSendQKCWithCompletion(ErrorCompletion completion) {
    TELVO_MAIN_THREAD_ONLY("QKDeviceManager::stopSendQKCWithCompletion");
    stopSendQKCPacket();
    if (completion) completion(TelvoError::sucError());
}

// ---- LAN scan and discovery broadcast

void QKDeviceManager::startScanLanDevice(int64_t seconds, DeviceListCompletion callback) {
    TELVO_MAIN_THREAD_ONLY("QKDeviceManager::startScanLanDevice");
    // The observer first, then the probe that may draw its replies.
    scanDeviceListInLan(double(seconds), 2, std::move(callback));
    startBroadCastWithInerval(1.0);
}

void QKDeviceManager::scanDeviceListInLan(double seconds, int64_t type,
                                          DeviceListCompletion completion) {
    TELVO_MAIN_THREAD_ONLY("QKDeviceManager::scanDeviceListInLan");
    auto report =
        std::make_shared<const QKBroadcastCompletionBlock>([completion](const Value::Array& list) {
            QKBroadcastManager::sharedManager()->changeInterval(60.0);
            if (!completion) return;
            if (list.empty()) {
                completion(TelvoError::sdkErrorWithType(1, 4000), std::nullopt);
                return;
            }
            std::vector<std::shared_ptr<QKDevice>> devices;
            for (const Value& dic : list) devices.push_back(QKDevice::deviceWithDic(dic));
            QKSDKLOG("网关配网回调%s", maskedJSON(Value(list)).c_str());
            completion(TelvoError::sucError(), devices);
        });
    QKBroadcastManager::sharedManager()->addBroadcastObserver(
        QKBroadcastObserver::initWithFilter(nullptr, seconds, type, report));
}

bool QKDeviceManager::startBroadCastWithInerval(double interval) {
    TELVO_MAIN_THREAD_ONLY("QKDeviceManager::startBroadCastWithInerval");
    QKBroadcastManager::sharedManager()->startBroadCastWithInerval(interval, nullptr);
    return true;
}

void QKDeviceManager::startBroadCast() {
    TELVO_MAIN_THREAD_ONLY("QKDeviceManager::startBroadCast");
    startBroadCastWithInerval(1.0);
}

void QKDeviceManager::stopBroadCast() {
    TELVO_MAIN_THREAD_ONLY("QKDeviceManager::stopBroadCast");
    QKBroadcastManager::sharedManager()->closeBroadcast();
}

void QKDeviceManager::enableSSIDFormatWithFormatArray(const std::vector<std::string>& formatArray) {
    TELVO_MAIN_THREAD_ONLY("QKDeviceManager::enableSSIDFormatWithFormatArray");
    QKMiddleInterface::shareInstance()->middleConfig()->setSSID_FormatArray(formatArray);
}

// ---- Run-time names

namespace {

using ApManager = QKDeviceManager;
using ApParamsPtr = std::shared_ptr<QKDeviceApConfigParams>;

ApManager& apManager(const RegistryInstance& instance) {
    return *static_cast<ApManager*>(instance.get());
}

QKDeviceApConfigParams apParamsAt(const RegistryArgs& args, size_t index) {
    const ApParamsPtr& p = registryArgRef<ApParamsPtr>(args, index);
    return p ? *p : QKDeviceApConfigParams{};
}

template <class T>
T argAt(const RegistryArgs& args, size_t index) {
    return registryArgRef<T>(args, index);
}

// The configurations: starting, resuming and stopping them.
void registerConfigurationSelectors(RegisteredClass& cls) {
    cls.instanceSelector("startConfigureDeviceWithParams:type:deviceConfigStep:completion:",
                         [](const RegistryInstance& s, const RegistryArgs& a) -> std::any {
                             apManager(s).startConfigureDeviceWithParams(
                                 apParamsAt(a, 0), argAt<int64_t>(a, 1),
                                 argAt<ApManager::StepBlock>(a, 2),
                                 argAt<ApManager::DeviceCompletion>(a, 3));
                             return {};
                         })
        .instanceSelector("startApConnectWithParams:type:deviceConfigStep:completion:",
                          [](const RegistryInstance& s, const RegistryArgs& a) -> std::any {
                              apManager(s).startApConnectWithParams(
                                  apParamsAt(a, 0), argAt<int64_t>(a, 1),
                                  argAt<ApManager::StepBlock>(a, 2),
                                  argAt<ApManager::DeviceCompletion>(a, 3));
                              return {};
                          })
        .instanceSelector("startSendQKCWithDevice:deviceConfigStep:completion:",
                          [](const RegistryInstance& s, const RegistryArgs& a) -> std::any {
                              apManager(s).startSendQKCWithDevice(
                                  apParamsAt(a, 0), argAt<ApManager::StepBlock>(a, 1),
                                  argAt<ApManager::DeviceCompletion>(a, 2));
                              return {};
                          })
        .instanceSelector("startNewSendQKCWithDeviceType:deviceConfigStep:completion:",
                          [](const RegistryInstance& s, const RegistryArgs& a) -> std::any {
                              apManager(s).startNewSendQKCWithDeviceType(
                                  apParamsAt(a, 0), argAt<ApManager::StepBlock>(a, 1),
                                  argAt<ApManager::DeviceCompletion>(a, 2));
                              return {};
                          })
        .instanceSelector("resumeConfigWithParams:",
                          [](const RegistryInstance& s, const RegistryArgs& a) -> std::any {
                              apManager(s).resumeConfigWithParams(apParamsAt(a, 0));
                              return {};
                          })
        .instanceSelector(
            "stopBindDeviceWithCompletion:",
            [](const RegistryInstance& s, const RegistryArgs& a) -> std::any {
                apManager(s).stopBindDeviceWithCompletion(argAt<ApManager::ErrorCompletion>(a, 0));
                return {};
            })
        .instanceSelector("stopSendQKCPacket",
                          [](const RegistryInstance& s, const RegistryArgs&) -> std::any {
                              apManager(s).stopSendQKCPacket();
                              return {};
                          })
        .instanceSelector(
            "stopSendQKCWithCompletion:",
            [](const RegistryInstance& s, const RegistryArgs& a) -> std::any {
                apManager(s).stopSendQKCWithCompletion(argAt<ApManager::ErrorCompletion>(a, 0));
                return {};
            });
}

// The LAN: scans, the appliance's hotspot and Wi-Fi list, binding, the discovery broadcast.
void registerLanSelectors(RegisteredClass& cls) {
    cls.instanceSelector("startScanLanDevice:callback:",
                         [](const RegistryInstance& s, const RegistryArgs& a) -> std::any {
                             apManager(s).startScanLanDevice(
                                 argAt<int64_t>(a, 0),
                                 argAt<ApManager::DeviceListCompletion>(a, 1));
                             return {};
                         })
        .instanceSelector("scanDeviceListInLan:type:completion:",
                          [](const RegistryInstance& s, const RegistryArgs& a) -> std::any {
                              apManager(s).scanDeviceListInLan(
                                  argAt<double>(a, 0), argAt<int64_t>(a, 1),
                                  argAt<ApManager::DeviceListCompletion>(a, 2));
                              return {};
                          })
        .instanceSelector("connectDeviceWithSSID:completion:",
                          [](const RegistryInstance& s, const RegistryArgs& a) -> std::any {
                              apManager(s).connectDeviceWithSSID(
                                  argAt<std::string>(a, 0),
                                  argAt<ApManager::ErrorCompletion>(a, 1));
                              return {};
                          })
        .instanceSelector("getWifiList:",
                          [](const RegistryInstance& s, const RegistryArgs& a) -> std::any {
                              apManager(s).getWifiList(argAt<ApManager::WifiListCompletion>(a, 0));
                              return {};
                          })
        .instanceSelector("bindDeviceWithparams:startScanInLanBlock:completion:",
                          [](const RegistryInstance& s, const RegistryArgs& a) -> std::any {
                              apManager(s).bindDeviceWithparams(
                                  apParamsAt(a, 0), argAt<std::function<void()>>(a, 1),
                                  argAt<ApManager::DeviceCompletion>(a, 2));
                              return {};
                          })
        .instanceSelector(
            "enableSSIDFormatWithFormatArray:",
            [](const RegistryInstance& s, const RegistryArgs& a) -> std::any {
                apManager(s).enableSSIDFormatWithFormatArray(argAt<std::vector<std::string>>(a, 0));
                return {};
            })
        .instanceSelector("startBroadCast",
                          [](const RegistryInstance& s, const RegistryArgs&) -> std::any {
                              apManager(s).startBroadCast();
                              return {};
                          })
        .instanceSelector("stopBroadCast",
                          [](const RegistryInstance& s, const RegistryArgs&) -> std::any {
                              apManager(s).stopBroadCast();
                              return {};
                          })
        .instanceSelector("startBroadCastWithInerval:",
                          [](const RegistryInstance& s, const RegistryArgs& a) -> std::any {
                              return apManager(s).startBroadCastWithInerval(argAt<double>(a, 0));
                          });
}

// The flows' sessions the manager holds.
void registerSessionSelectors(RegisteredClass& cls) {
    cls.instanceSelector("smartConnect",
                         [](const RegistryInstance& s, const RegistryArgs&) -> std::any {
                             return QKDeviceManagerAccess::smartConnect(apManager(s));
                         })
        .instanceSelector("apConnect",
                          [](const RegistryInstance& s, const RegistryArgs&) -> std::any {
                              return QKDeviceManagerAccess::apConnect(apManager(s));
                          })
        .instanceSelector("setApConnect:",
                          [](const RegistryInstance& s, const RegistryArgs& a) -> std::any {
                              QKDeviceManagerAccess::setApConnect(
                                  apManager(s), argAt<std::shared_ptr<QKApContect>>(a, 0));
                              return {};
                          })
        .instanceSelector(
            "setSmartConnect:", [](const RegistryInstance& s, const RegistryArgs& a) -> std::any {
                QKDeviceManagerAccess::setSmartConnect(
                    apManager(s), argAt<std::shared_ptr<QKSmartConnect>>(a, 0));
                return {};
            });
}

}  // namespace

void registerApConfig() {
    RegisteredClass cls("QKDeviceManager");
    cls.classSelector("sharedManager", [](const RegistryArgs&) -> std::any {
        return RegistryInstance(QKDeviceManager::sharedManager());
    });
    registerConfigurationSelectors(cls);
    registerLanSelectors(cls);
    registerSessionSelectors(cls);
    Registry::shared().registerClass(std::move(cls));
}

}  // namespace telvo
