// Decrypted reply bodies as an appliance could send them, through every reply parser.
#include <cstddef>
#include <cstdint>

#include "protocol/QKProtocol.h"
#include "telvosdk/QKDataTransform.h"

using telvo::ByteView;
using telvo::QKProtocol;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const ByteView body(data, size);
    QKProtocol::handleConfigWiFiAndPWDResp(body);
    QKProtocol::handleLastTimeConfigResp(body);
    auto group = QKProtocol::handleGroupDeviceResp(body);
    if (group.size() > (size ? data[0] : 0)) __builtin_trap();
    auto list = QKProtocol::getWifiListWithByteArray(body);
    if (list && list->size() > size) __builtin_trap();
    if (telvo::QKDataTransform::getWifiListWithByteArray(body) != list) __builtin_trap();
    telvo::getChkSum(body);
    return 0;
}
