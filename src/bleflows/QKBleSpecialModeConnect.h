#pragma once

#include "blecore/QKBLEBaseConnect.h"

namespace telvo {

// Special-mode flow (bleType 12): switches the appliance's demonstration mode on or off with
// one command, 0x0E, and ends with the module's answer: the success error (code 0) or 4187.
//
// Main thread only, like the base. The completion is called synchronously by the answer's
// handling or by the base's ends (4085 link lost, time-out); never after stopConfig. A start on
// a peripheral that is still connected releases it and connects 0.5 s later; that delayed
// step holds the session until it runs and is cancelled by disconnect.
class QKBleSpecialModeConnect : public QKBLEBaseConnect {
  public:
    void statConfig(const QKDeviceBleConfigParams& params, UpdateBlock update,
                    CompletionBlock completion);
    void disconnect() override;

  protected:
    void isReady() override;
    void receiveProtocol(const std::shared_ptr<QKBLEProtocol>& protocol) override;
    std::string className() const override { return "QKBleSpecialModeConnect"; }
};

}  // namespace telvo
