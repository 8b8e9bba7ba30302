#pragma once

#include "BleFlowFixture.h"
#include "bleflows/QKBleConnectManager.h"
#include "telvosdk/TelvoSDK.h"

namespace telvo::test {

// The second-generation flow started through the dispatcher, against a version-2 appliance.
class SecondFlowFixture : public BleFlowFixture {
  public:
    SecondFlowFixture() {
        TelvoSDKInitialize();
        resetForTesting<QKBleConnectManager>();
    }
    ~SecondFlowFixture() override {
        if (auto flow = manager()->ble()) flow->QKBLEBaseConnect::stopConfig();
        resetForTesting<QKBleConnectManager>();
    }

    static std::shared_ptr<QKBleConnectManagerImpl> manager() {
        return QKBleConnectManagerImpl::shared();
    }

    // Parameters of a normal (mode 1) run on the fixture's module.
    QKDeviceBleConfigParams secondParams(int64_t mode = 1) {
        auto params = scan();
        params.bleType = 1;
        params.bleSecondConfigType = mode;
        return params;
    }
    void start(const QKDeviceBleConfigParams& params) {
        manager()->statConfig(params, int64_t(params.bleType), progress(), completion());
    }
    // Runs for `seconds` of virtual time, long enough for any later completion to show.
    void settle(double seconds = 30) { MainLoop::runFor(seconds); }
};

}  // namespace telvo::test
