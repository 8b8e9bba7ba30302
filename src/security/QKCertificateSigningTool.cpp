#include "security/QKCertificateSigningTool.h"

#include "security/QKCertificateSigningRequest.h"

namespace telvo {

std::string QKCertificateSigningTool::createCSRwithECKey(ByteView publicKeyData,
                                                         const SecKeyRef& privateKey,
                                                         const SecKeyRef& publicKey,
                                                         const std::string& keyId) {
    QKCertificateSigningRequest request(keyId, "KorvoCA", "KorvoCA Operation", "CN", "Guangdong",
                                        "FoShan", std::nullopt, std::nullopt, std::nullopt,
                                        KeyAlgorithm::ec(KeyAlgorithm::Signature::sha256));
    return request.buildAndEncodeDataAsString(publicKeyData, privateKey, publicKey).value_or("");
}

}  // namespace telvo
