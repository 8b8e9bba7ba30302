#include <mutex>

#include "apconfig/RegisterApConfig.h"
#include "blecore/QKBLEProtocol.h"
#include "bleflows/QKBLEConnect.h"
#include "bleflows/QKBleConnectManager.h"
#include "bleflows/QKSingleBLEConnect.h"
#include "entry/QKDeviceConfigManager.h"
#include "logging/QKLog.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/AppLifecycle.h"
#include "platform/net/SystemNetwork.h"
#include "security/QKDataSecurity.h"
#include "telvosdk/TelvoSDK.h"

namespace telvo {

const char* TelvoSDKVersion() {
    return TELVO_VERSION;
}

void TelvoSDKInitialize() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Each subsystem registers its run-time names and installs its hooks into the layers
        // below it here; nothing is installed by a static initialiser, which a static library
        // drops when the app references nothing else in its object file.
        registerLogging();
        registerDataSecurity();
        registerConfigManager();
        registerBleCore();
        registerApConfig();
        registerBleFirstGeneration();
        registerSingleBleFlows();
        registerBleConnectManager();
    });
    // The host's network services are asked now, so that the first question finds their
    // answers (nothing waits for them).
    SystemNetwork::shared();
}

void TelvoSDKRunMainLoop() {
    MainLoop::run();
}
void TelvoSDKStopMainLoop() {
    MainLoop::stop();
}
void TelvoSDKStartMainLoopThread() {
    MainLoop::startThread();
}
void TelvoSDKStopMainLoopThread() {
    MainLoop::stopThread();
}
void TelvoSDKPerformOnMainQueue(std::function<void()> block) {
    if (block) DispatchQueue::main()->async(std::move(block));
}
void TelvoSDKApplicationDidEnterBackground() {
    AppLifecycle::applicationDidEnterBackground();
}
void TelvoSDKApplicationWillEnterForeground() {
    AppLifecycle::applicationWillEnterForeground();
}

}  // namespace telvo
