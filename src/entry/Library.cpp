#include <mutex>

#include "blecore/QKBLEProtocol.h"
#include "logging/QKLog.h"
#include "telvosdk/TelvoSDK.h"

namespace telvo {

const char* TelvoSDKVersion() {
    return TELVO_VERSION;
}

void TelvoSDKInitialize() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Each subsystem registers its run-time names here.
        registerLogging();
        registerBleCore();
    });
}

}  // namespace telvo
