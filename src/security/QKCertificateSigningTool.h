#pragma once

#include <string>

#include "platform/crypto/KeyStore.h"
#include "telvosdk/Bytes.h"

namespace telvo {

// Builds the app's client-certificate request.
class QKCertificateSigningTool {
  public:
    // The PKCS#10 request (EC, ECDSA with SHA-256) for publicKeyData (the 65-byte uncompressed
    // P-256 point) with the subject CN=keyId, O=KorvoCA, OU=KorvoCA Operation, C=CN,
    // ST=Guangdong, L=FoShan, signed with privateKey and checked with publicKey when given.
    // Base64 without line breaks; the empty text when the request cannot be built.
    static std::string createCSRwithECKey(ByteView publicKeyData, const SecKeyRef& privateKey,
                                          const SecKeyRef& publicKey, const std::string& keyId);
};

}  // namespace telvo
