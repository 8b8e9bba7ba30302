#include "bleflows/QKBleSecondRetryConnect.h"

namespace telvo {

void QKBleSecondRetryConnect::statConfig(const QKDeviceBleConfigParams& params, UpdateBlock update,
                                         CompletionBlock completion) {
    iConfigModel = params;
    updateCallBack = std::move(update);
    configCompletion = std::move(completion);
    startTotalTimer();
    connect();
}

void QKBleSecondRetryConnect::resumeConfigWithParams(const QKDeviceBleConfigParams&) {}

}  // namespace telvo
