#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "telvosdk/Export.h"
#include "telvosdk/QKDeviceConfigParams.h"

namespace telvo {

class CBPeripheral;

// The BLE configuration parameters.
class TELVO_EXPORT QKDeviceBleConfigParams : public QKDeviceConfigParams {
  public:
    bool isFactoryModeEnable = false;
    bool onlyCheckCountOutEnable = false;
    // The gateway can take its configuration over its cable / the cable is plugged in.
    bool isWiredConfigurable = false;
    bool isWiredStatus = false;
    bool isHaveNoBleConfig = false;

    // 0 first generation, 1 second generation, 2 single BLE, 3 combo, 4 network bridge,
    // 10 retry, 11 wired, 12 special mode, 98 first generation by class name.
    uint64_t bleType = 0;
    // 0 pre-connect, 1 normal, 2 forced confirmation.
    int64_t bleSecondConfigType = 0;
    // 1 switch the special mode on, 2 off.
    int64_t specialModeType = 0;
    // The action type of the bind-and-verify body.
    int64_t bleBindActionType = 0;

    std::optional<std::string> deviceSN;
    std::optional<std::string> bindCode;

    // The appliance to configure.
    std::shared_ptr<CBPeripheral> peripheral;
};

}  // namespace telvo
