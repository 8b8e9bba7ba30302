#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "telvosdk/Export.h"
#include "telvosdk/QKDeviceConfigParams.h"

namespace telvo {

// The access-point and smart-connect parameters.
class TELVO_EXPORT QKDeviceApConfigParams : public QKDeviceConfigParams {
  public:
    std::optional<std::string> deviceSSID;
    std::optional<std::string> deviceId;
    std::optional<std::string> deviceType;
    std::optional<std::string> deviceName;
    // Seconds.
    int64_t connectNetTimeout = 0;
    // 0 new credentials, 1 continue after a pause.
    int64_t continueType = 0;
    bool isChangeWiFiInfo = false;
    bool groupDevice = false;
};

}  // namespace telvo
