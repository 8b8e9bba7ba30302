#include "bleflows/QKBleSecondWiredConnect.h"

namespace telvo {

void QKBleSecondWiredConnect::statConfig(const QKDeviceBleConfigParams& params, UpdateBlock update,
                                         CompletionBlock completion) {
    iConfigModel = params;
    updateCallBack = std::move(update);
    configCompletion = std::move(completion);
    startTotalTimer();
    connect();
}

void QKBleSecondWiredConnect::resumeConfigWithParams(const QKDeviceBleConfigParams&) {}

}  // namespace telvo
