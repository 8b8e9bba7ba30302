#include "bleflows/QKBLEConnect.h"

namespace telvo {

void QKBLEConnect::statConfig(const QKDeviceBleConfigParams& params, UpdateBlock update,
                              CompletionBlock completion) {
    iConfigModel = params;
    updateCallBack = std::move(update);
    configCompletion = std::move(completion);
    startTotalTimer();
    connect();
}

}  // namespace telvo
