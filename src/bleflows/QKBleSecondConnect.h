#pragma once

#include "blecore/QKBLEBaseConnect.h"

namespace telvo {

// Second-generation flow (bleType 1): status and capabilities, the Wi-Fi settings (0x69), the
// module reports and the cloud confirmation.
class QKBleSecondConnect : public QKBLEBaseConnect {
  public:
    void statConfig(const QKDeviceBleConfigParams& params, UpdateBlock update,
                    CompletionBlock completion);
    void resumeConfigWithParams(const QKDeviceBleConfigParams& params);
    // 0 pre-connect, 1 normal, 2 forced ownership confirmation (5: wired forced confirmation).
    int64_t mode = 0;

  protected:
    std::string className() const override { return "QKBleSecondConnect"; }
};

}  // namespace telvo
