#include "bleflows/QKBleSpecialModeConnect.h"

namespace telvo {

void QKBleSpecialModeConnect::statConfig(const QKDeviceBleConfigParams& params, UpdateBlock update,
                                         CompletionBlock completion) {
    iConfigModel = params;
    updateCallBack = std::move(update);
    configCompletion = std::move(completion);
    startTotalTimer();
    connect();
}

}  // namespace telvo
