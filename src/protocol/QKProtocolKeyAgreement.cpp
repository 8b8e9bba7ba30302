#include "protocol/QKCommonProtocol.h"
#include "protocol/QKProtocol.h"

// The key-agreement messages of the LAN frame: M1 and M3 in frames of type 0x75, and the
// bind-token body of type 0x09.
namespace telvo {

Bytes QKProtocol::adoptKeyAgreementBody(Bytes body, const char* refusal) {
    if (body.empty()) {
        refuse(refusal);
        return body;
    }
    setBody(body);
    return body;
}

Bytes QKProtocol::tlsKeyAgreementWithAppCert(ByteView appCert, ByteView twoCert,
                                             ByteView randomN1) {
    msgType_ = 0x75;
    encryptType_ = 0;
    isSign_ = true;
    return adoptKeyAgreementBody(QKCommonProtocol::msgBodyM1WithAppCert(appCert, twoCert, randomN1),
                                 "M1 does not fit its length fields");
}

Bytes QKProtocol::tlsKeyAgreementConfirmWithFincData(ByteView finsc) {
    msgType_ = 0x75;
    encryptType_ = 0;
    isSign_ = true;
    return adoptKeyAgreementBody(QKCommonProtocol::msgBodyTLSAuthSecretKey(finsc),
                                 "finsc over 255 bytes");
}

Bytes QKProtocol::tlsKeyAgreementValidBindToken(ByteView token) {
    msgType_ = 0x09;
    return adoptKeyAgreementBody(QKCommonProtocol::msgBodyValidBindToken(token),
                                 "bind token over 65535 bytes");
}

}  // namespace telvo
