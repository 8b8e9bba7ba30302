// Reply bodies of the key agreement (M2 and M4) as an appliance could send them.
#include <cstddef>
#include <cstdint>

#include "protocol/QKCommonProtocol.h"

using telvo::Bytes;
using telvo::ByteView;
using telvo::QKCommonProtocol;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ByteView body(data, size);
    QKCommonProtocol::dicForAesKeyTLSReplyWithDataSub1(body);
    QKCommonProtocol::dicForAesKeyTLSReplyWithDataSub2(body);
    QKCommonProtocol::dicForValidBindTokenWithData(body);
    auto dict = QKCommonProtocol::dicForAesKeyTLSReplyWithData(body);
    if (!dict) return 0;
    if (dict->contains("m4Data")) {
        dict->set("tlsSessionKey", Bytes(16, 0x2B));
        dict->set("tlsRandomN2", Bytes(16, 0x07));
        auto result = QKCommonProtocol::checkTLSAuthSecretReply(*dict);
        if (!result.contains("errCode")) __builtin_trap();
    } else {
        dict->set("tlsRandomN1", Bytes(16, 0x01));
        dict->set("tlsDataM1", Bytes{1, 1});
        // No root is configured: every M2 must end in code 2 without a key.
        auto result = QKCommonProtocol::checkTLSKeyAgreementBackDict(*dict, {});
        if (result["errCode"].intValue() != 2 || result.contains("tlsSessionKey")) __builtin_trap();
    }
    return 0;
}
