#include "security/QKEllipticCurveSecret.h"

#include "platform/crypto/Crypto.h"
#include "telvosdk/QKEllipticCurveCrypto.h"

namespace telvo {

std::shared_ptr<QKEllipticCurveSecret> QKEllipticCurveSecret::createECCSecret() {
    auto secret = std::make_shared<QKEllipticCurveSecret>();
    auto crypto = QKEllipticCurveCrypto::cryptoForCurve(256);
    if (!crypto->generateNewKeyPair()) return secret;
    auto compressed = crypto->publicKey();
    auto uncompressed = compressed ? crypto->decompressPublicKey(*compressed) : std::nullopt;
    if (!uncompressed || !crypto->privateKey()) return secret;
    secret->publicKeyData_ = *uncompressed;
    if (uncompressed->size() == 65) {
        secret->specialPublicKeyData_.assign(uncompressed->begin() + 1, uncompressed->end());
    }
    secret->privateKeyData_ = *crypto->privateKey();
    return secret;
}

QKEllipticCurveSecret::~QKEllipticCurveSecret() {
    wipe();
}

void QKEllipticCurveSecret::wipe() {
    crypto::wipe(privateKeyData_);
    crypto::wipe(sessionKey_);
}

void QKEllipticCurveSecret::setDevPublicKey(ByteView devPublicKey) {
    sessionKey_ = computeECDHWithPublicKeyData(devPublicKey, privateKeyData_);
}

std::optional<Bytes> QKEllipticCurveSecret::computeECDHWithPublicKeyData(ByteView publicKey,
                                                                         ByteView privateKey) {
    if (publicKey.empty() || privateKey.empty()) return std::nullopt;
    Bytes peer;
    if (publicKey.size() == 64) peer.push_back(0x04);
    peer.insert(peer.end(), publicKey.begin(), publicKey.end());
    // The key object raises on misuse; input from outside only ever gives nullopt here.
    try {
        auto crypto = QKEllipticCurveCrypto::cryptoForCurve(256);
        crypto->setPrivateKey(privateKey);
        auto compressed = crypto->compressPublicKey(peer);
        if (!compressed) return std::nullopt;
        return crypto->sharedSecretForPublicKey(*compressed);
    } catch (const NamedException&) {
        return std::nullopt;
    }
}

}  // namespace telvo
