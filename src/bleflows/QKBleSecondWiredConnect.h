#pragma once

#include "blecore/QKBLEBaseConnect.h"

namespace telvo {

// Wired-gateway flow (bleType 11): configures a gateway over its network cable or wirelessly,
// with cable-state reports.
class QKBleSecondWiredConnect : public QKBLEBaseConnect {
  public:
    void statConfig(const QKDeviceBleConfigParams& params, UpdateBlock update,
                    CompletionBlock completion);
    void resumeConfigWithParams(const QKDeviceBleConfigParams& params);
    // 0 pre-connect, 1 normal, 2 forced ownership confirmation (5: wired forced confirmation).
    int64_t mode = 0;

  protected:
    std::string className() const override { return "QKBleSecondWiredConnect"; }
};

}  // namespace telvo
