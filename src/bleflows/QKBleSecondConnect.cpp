#include "bleflows/QKBleSecondConnect.h"

namespace telvo {

void QKBleSecondConnect::statConfig(const QKDeviceBleConfigParams& params, UpdateBlock update,
                                    CompletionBlock completion) {
    iConfigModel = params;
    updateCallBack = std::move(update);
    configCompletion = std::move(completion);
    startTotalTimer();
    connect();
}

void QKBleSecondConnect::resumeConfigWithParams(const QKDeviceBleConfigParams&) {}

}  // namespace telvo
