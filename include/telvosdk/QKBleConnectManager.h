#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "telvosdk/Error.h"
#include "telvosdk/Export.h"
#include "telvosdk/QKConfigAction.h"
#include "telvosdk/QKConfigStatus.h"
#include "telvosdk/QKDevice.h"
#include "telvosdk/QKDeviceBleConfigParams.h"

namespace telvo {

// The dispatcher of the BLE flows: picks the flow by bleType (0 first generation, 1 second
// generation, 3 combo, 10 retry, 11 wired, 12 special mode), holds at most one session of each
// kind, carries a second-generation or retry session on when the same appliance (same
// advertised MAC) is started again, and resumes, confirms and stops them. A session it replaces
// is stopped and calls none of its blocks any more.
//
// An app usually starts the BLE flows through QKDeviceConfigManager (startBleConfig,
// resumeBleConfig, stopBleConfig, doConfigureAction), which forwards here; calling this class
// directly is the same. Before a flow the app has called TelvoSDKInitialize(), keeps the main
// loop running and has filled QKMiddleConfig (bleCommonDefaultKey, the enrolled certificates
// and key for appliances that demand a key agreement, the cloud settings for the confirmation).
//
// Callable from any thread. The flows are created, started, resumed and stopped on the main
// queue: inline when called there, else queued in call order. The one
// block called on the caller's thread is a refused confirmation's result (4100). The flows
// call the blocks on the main queue.
class TELVO_EXPORT QKBleConnectManager {
  public:
    // A progress state; the end of a configuration (code 0 with the appliance, or the error);
    // a confirmation result or status change.
    using UpdateBlock = std::function<void(int64_t state)>;
    using CompletionBlock =
        std::function<void(const ErrorPtr& error, const std::shared_ptr<QKDevice>& device)>;
    using ActionBlock = std::function<void(ErrorPtr error, std::shared_ptr<QKConfigStatus> status)>;

    static std::shared_ptr<QKBleConnectManager> shareInstance();

    // Starts the flow of bleType. Without a peripheral every type ends once with 4085 on the main
    // queue: inside the call when made on the main loop's thread, else (before the loop first
    // runs, too) once the loop runs it. Any other type with a peripheral starts nothing and
    // calls no block.
    void statConfig(const QKDeviceBleConfigParams& params, int64_t bleType, UpdateBlock update,
                    CompletionBlock completion);
    // bleType 10 resumes the retry session, any other the second-generation one; the wired
    // session is resumed in every case. Sessions not held are skipped.
    void resumeConfigWithParams(const QKDeviceBleConfigParams& params);
    // Stops the first-generation session always, and each other session whose MAC (":" and
    // case ignored) is the one params.peripheral advertises. No block is called.
    void stopConfig(const QKDeviceBleConfigParams& params);
    // actionType 1 with a combo session whose peripheral is connected goes to that session;
    // anything else calls resultCallback at once, on this thread, with 4100 and no status.
    void doConfigureAction(const std::shared_ptr<QKConfigAction>& action,
                           ActionBlock resultCallback, ActionBlock statusChangeCallBack);

    void startOneConfig(const QKDeviceBleConfigParams& params, UpdateBlock update,
                        CompletionBlock completion);
    void startSencondConfig(const QKDeviceBleConfigParams& params, UpdateBlock update,
                            CompletionBlock completion);
    void startComboBind(const QKDeviceBleConfigParams& params, UpdateBlock update,
                        CompletionBlock completion);
    void startSencondRetry(const QKDeviceBleConfigParams& params, UpdateBlock update,
                           CompletionBlock completion);
    void startSecondWired(const QKDeviceBleConfigParams& params, UpdateBlock update,
                          CompletionBlock completion);
    void startSpecialModeSet(const QKDeviceBleConfigParams& params, UpdateBlock update,
                             CompletionBlock completion);

    // The MAC the peripheral advertises ("deviceMac" of its capability dictionary); nullopt
    // without a peripheral or a recognised advertisement. Main thread.
    static std::optional<std::string> advertisedMac(const QKDeviceBleConfigParams& params);

  protected:
    // The library makes the one instance (shareInstance).
    QKBleConnectManager() = default;
};

}  // namespace telvo
