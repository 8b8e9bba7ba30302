#include "bleflows/QKComboBLEConnect.h"

namespace telvo {

void QKComboBLEConnect::statConfig(const QKDeviceBleConfigParams& params, UpdateBlock update,
                                   CompletionBlock completion) {
    iConfigModel = params;
    updateCallBack = std::move(update);
    configCompletion = std::move(completion);
    startTotalTimer();
    connect();
}

void QKComboBLEConnect::doConfigureAction(const std::shared_ptr<QKConfigAction>&, ActionBlock,
                                          ActionBlock) {}

}  // namespace telvo
