#pragma once

#include <optional>

#include "telvosdk/Bytes.h"
#include "telvosdk/Export.h"
#include "telvosdk/Value.h"

namespace telvo {

// Parsers of access-point replies for the app. Stateless class operations, callable from any
// thread.
class TELVO_EXPORT QKDataTransform {
  public:
    // The Wi-Fi list reply (message type 0x6B): N, then per network the SSID length, the
    // security type (0 to 2) and the SSID. A list of {"ssid", "miType"} in body order, without
    // networks whose SSID is empty or not UTF-8. Nothing for a body under 3 bytes or one whose
    // entries do not add up to N; an entry that does not fit or has an unknown security type
    // ends the list there.
    static std::optional<Value::Array> getWifiListWithByteArray(ByteView body);
    // {kQKSDKUDPModuleVersion: the bytes as lowercase hex}.
    static Dictionary wifiModuleWithMessageArray(ByteView messageArray);
};

}  // namespace telvo
