#pragma once

#include "blecore/QKBLEBaseConnect.h"
#include "telvosdk/QKConfigAction.h"
#include "telvosdk/QKConfigStatus.h"

namespace telvo {

// Combo bind flow (bleType 3): binds with a random token and keeps the link for the user's
// confirmation on the appliance, which the app drives through doConfigureAction.
class QKComboBLEConnect : public QKBLEBaseConnect {
  public:
    using ActionBlock = std::function<void(ErrorPtr error, std::shared_ptr<QKConfigStatus> status)>;
    void statConfig(const QKDeviceBleConfigParams& params, UpdateBlock update,
                    CompletionBlock completion);
    void doConfigureAction(const std::shared_ptr<QKConfigAction>& action,
                           ActionBlock resultCallback, ActionBlock statusChangeCallBack);

  protected:
    std::string className() const override { return "QKComboBLEConnect"; }
};

}  // namespace telvo
