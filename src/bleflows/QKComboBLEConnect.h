#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "blecore/QKBLEBaseConnect.h"
#include "telvosdk/QKConfigAction.h"
#include "telvosdk/QKConfigStatus.h"

namespace telvo {

// Combo bind flow (bleType 3): binds a module that offers both BLE and Wi-Fi with a random
// token (0x04) and keeps the link for the user's confirmation on the appliance, which the app
// drives through doConfigureAction (0x66); the module's authorisation reports (0x0D) go to the
// status-change block. Sends no router credentials.
//
// Main thread only, like its base. The completion gets the bind result (success keeps the
// link) and later, once the link is lost for good, 4085, also after an earlier success. The
// result and status-change blocks are called synchronously while an answer is handled; the
// status-change block also gets 4085 when the link is lost. No timer runs after the bind.
class QKComboBLEConnect : public QKBLEBaseConnect {
  public:
    using ActionBlock = std::function<void(ErrorPtr error, std::shared_ptr<QKConfigStatus> status)>;

    // The 16 random bytes of the latest bind-and-verify; unset before the first.
    std::optional<Bytes> token;
    // Set (replaced) by each confirmation action; unset before the first.
    ActionBlock resultCompletion;
    ActionBlock statusChangeCompletion;

    // Starts the bind phase: takes the regional settings, the bind action type and bleType
    // from params (no router credentials), starts the 180-s overall timer and connects; a
    // peripheral that is already connected is released and connected again 0.5 s later.
    void statConfig(const QKDeviceBleConfigParams& params, UpdateBlock update,
                    CompletionBlock completion);
    // One confirmation step: stores both blocks and sends the confirmation set. Checks neither
    // the phase nor the link (the dispatcher forwards only action type 1 on a connected link).
    void doConfigureAction(const std::shared_ptr<QKConfigAction>& action,
                           ActionBlock resultCallback, ActionBlock statusChangeCallBack);

    void blueDisconnect() override;
    void disconnect() override;
    void isReady() override;
    void receiveProtocol(const std::shared_ptr<QKBLEProtocol>& protocol) override;

    // Internal steps.
    void checkBleStatus();
    void bindAndVerify();
    void confirmDevice(int64_t actionType);
    void receiveCheckStatusCommondWithData(ByteView data);
    void receiveBindAndVerifyCommondWithData(ByteView data);
    void receiveConfirmCommondWithData(ByteView data);
    void receiveUpdateStatusCommondWithData(ByteView data);

  protected:
    std::string className() const override { return "QKComboBLEConnect"; }

  private:
    // A bind-and-verify is out and unanswered: a late or repeated answer (after a resend, or
    // replayed) must not end the bind phase a second time.
    bool bindPending_ = false;
};

}  // namespace telvo
