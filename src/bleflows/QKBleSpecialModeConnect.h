#pragma once

#include "blecore/QKBLEBaseConnect.h"

namespace telvo {

// Special-mode flow (bleType 12): switches the appliance's demonstration mode on or off (0x0E).
class QKBleSpecialModeConnect : public QKBLEBaseConnect {
  public:
    void statConfig(const QKDeviceBleConfigParams& params, UpdateBlock update,
                    CompletionBlock completion);

  protected:
    std::string className() const override { return "QKBleSpecialModeConnect"; }
};

}  // namespace telvo
