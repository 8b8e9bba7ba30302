#include "telvosdk/QKDataTransform.h"

#include "core/QKStringFormat.h"
#include "protocol/QKProtocol.h"
#include "telvosdk/QKSDKConstants.h"

namespace telvo {

std::optional<Value::Array> QKDataTransform::getWifiListWithByteArray(ByteView body) {
    return QKProtocol::getWifiListWithByteArray(body);
}

Dictionary QKDataTransform::wifiModuleWithMessageArray(ByteView messageArray) {
    return Dictionary{{kQKSDKUDPModuleVersion, QKStringFormat::dataToHexStr(messageArray)}};
}

}  // namespace telvo
