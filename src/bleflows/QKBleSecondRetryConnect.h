#pragma once

#include "blecore/QKBLEBaseConnect.h"

namespace telvo {

// Second-generation retry flow (bleType 10): re-verifies a bound or configured appliance with
// its bind code (0x04) and gives it a router update (0x67) or new Wi-Fi settings.
class QKBleSecondRetryConnect : public QKBLEBaseConnect {
  public:
    void statConfig(const QKDeviceBleConfigParams& params, UpdateBlock update,
                    CompletionBlock completion);
    void resumeConfigWithParams(const QKDeviceBleConfigParams& params);
    // 0 pre-connect, 1 normal, 2 forced ownership confirmation (5: wired forced confirmation).
    int64_t mode = 0;

  protected:
    std::string className() const override { return "QKBleSecondRetryConnect"; }
};

}  // namespace telvo
