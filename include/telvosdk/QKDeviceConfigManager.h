#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "telvosdk/Error.h"
#include "telvosdk/Export.h"
#include "telvosdk/QKConfigAction.h"
#include "telvosdk/QKConfigBlocks.h"
#include "telvosdk/QKConfigStatus.h"
#include "telvosdk/QKDevice.h"
#include "telvosdk/QKDeviceBleConfigParams.h"
#include "telvosdk/Value.h"

namespace telvo {

// The configuration entry point of the BLE flows: startBleConfig starts the flow that the
// parameters' bleType names; resumeBleConfig, stopBleConfig and doConfigureAction reach the
// running one. Call it on the main thread, the one that runs the main loop (while no loop
// runs, any one thread). Steps and the one completion arrive on the main queue; a
// confirmation the dispatcher refuses (4100) answers inside the call.
class TELVO_EXPORT QKDeviceConfigManager {
  public:
    static std::shared_ptr<QKDeviceConfigManager> shareInstance();

    // Stores a copy, replacing the previous step information. The flows publish theirs here
    // as they run, once TelvoSDKInitialize has run; stepInfoData reads the latest.
    void setStepInfoData(QKStepInfo stepInfo);
    QKStepInfo stepInfoData() const;

    // Starts the BLE flow of the class named className ("QKSingleBLEConnect",
    // "QKSingleBLENetworkBridgeConnect" or "QKBLEConnect"); every step and the completion go
    // to the caller's blocks. The manager keeps no reference to the flow. Another name: the
    // completion gets error 8000 ("Invalid Parameter") at once.
    void bletoothruntimeMap(const std::string& className,
                            std::shared_ptr<QKDeviceBleConfigParams> device,
                            QKConfigStepBlock progressCallback,
                            QKConfigCompletionBlock completioncallback);

    // The BLE branch of a configuration, by the parameters' bleType: 2, 4 and 98 through
    // bletoothruntimeMap ("QKSingleBLEConnect", "QKSingleBLENetworkBridgeConnect",
    // "QKBLEConnect"); every other type to QKBleConnectManager::statConfig, which starts types
    // 0, 1, 3, 10, 11 and 12 and ignores the rest. Without a peripheral, every type answers
    // once, with no step: 4085 ("BLE connect peripheral fail"; type 4 without a family id:
    // 4170). Types 2, 4 and 98 answer inside the call; the others on the main queue: inside
    // the call when it is made on the main loop's thread, and once the loop runs when it is
    // made before the loop first runs.
    void startBleConfig(std::shared_ptr<QKDeviceBleConfigParams> device,
                        QKConfigStepBlock progressCallback,
                        QKConfigCompletionBlock completioncallback);
    // Resumes (bleType 1, 10, 11) and stops (0, 1, 3, 10, 11, 12) through QKBleConnectManager;
    // other types are only logged.
    void resumeBleConfig(std::shared_ptr<QKDeviceBleConfigParams> device);
    void stopBleConfig(std::shared_ptr<QKDeviceBleConfigParams> device);

    // Action types 0 and 1 go to QKBleConnectManager::doConfigureAction; any other type (or no
    // action) is only logged and calls no block.
    void doConfigureAction(std::shared_ptr<QKConfigAction> action,
                           QKConfigActionBlock resultCallback,
                           QKConfigActionBlock statusChangeCallBack);

  private:
    mutable std::mutex mutex_;
    QKStepInfo stepInfoData_;
};

}  // namespace telvo
