#pragma once

#include <cstdint>

#include "platform/net/WifiService.h"

namespace telvo {

// NetworkManager's objects as its object manager lists them: the Wi-Fi device of the primary
// connection, else of another active connection, with its access point; whether the primary
// connection runs over a modem.
class NetworkManagerObjects : public WifiServiceObjects {
  public:
    static constexpr const char* kBusName = "org.freedesktop.NetworkManager";
    static constexpr const char* kObjectManagerPath = "/org/freedesktop";
    static constexpr const char* kRootPath = "/org/freedesktop/NetworkManager";

    WifiFacts facts() const override;

    // The platform's security type number for an access point's flags: 0 open, 1 WEP,
    // 2 personal (PSK, SAE), 3 enterprise (802.1X), 4 unknown.
    static int64_t securityType(uint32_t flags, uint32_t wpaFlags, uint32_t rsnFlags);
};

}  // namespace telvo
