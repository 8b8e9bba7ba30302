#pragma once

#include "blecore/QKBLEBaseConnect.h"

namespace telvo {

// First-generation flow (bleType 0 through the dispatcher, 98 by class name): router settings
// (0x68) and, on request, regional settings (0x67).
class QKBLEConnect : public QKBLEBaseConnect {
  public:
    void statConfig(const QKDeviceBleConfigParams& params, UpdateBlock update,
                    CompletionBlock completion);

  protected:
    std::string className() const override { return "QKBLEConnect"; }
};

}  // namespace telvo
