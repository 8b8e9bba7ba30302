#pragma once

// A P-256 key pair for a configuration session, its public key in the forms appliances
// expect, and the ECDH session key with an appliance's public key. One holder per session,
// used by one caller at a time.

#include <memory>
#include <optional>

#include "telvosdk/Bytes.h"

namespace telvo {

class QKEllipticCurveSecret {
  public:
    // A holder with a fresh key pair; when key making fails, every field is empty.
    static std::shared_ptr<QKEllipticCurveSecret> createECCSecret();

    // X of d*Q (32 bytes, no key derivation) for an appliance key of 33 (compressed), 65
    // (04, X, Y) or 64 (X, Y) bytes and a 32-byte private key; nullopt for anything else,
    // for a point that is not on P-256 and for a scalar out of range. Never raises.
    static std::optional<Bytes> computeECDHWithPublicKeyData(ByteView publicKey,
                                                             ByteView privateKey);

    // Sets the session key from the appliance's key (absent when the computation fails).
    void setDevPublicKey(ByteView devPublicKey);

    const Bytes& privateKeyData() const { return privateKeyData_; }
    const Bytes& publicKeyData() const { return publicKeyData_; }
    const Bytes& specialPublicKeyData() const { return specialPublicKeyData_; }
    const std::optional<Bytes>& sessionKey() const { return sessionKey_; }
    void setPrivateKeyData(Bytes data) { privateKeyData_ = std::move(data); }
    void setPublicKeyData(Bytes data) { publicKeyData_ = std::move(data); }
    void setSpecialPublicKeyData(Bytes data) { specialPublicKeyData_ = std::move(data); }
    void setSessionKey(std::optional<Bytes> key) { sessionKey_ = std::move(key); }
    // Cleanses the private key and the session key and empties them (also when destroyed).
    void wipe();
    ~QKEllipticCurveSecret();

  private:
    Bytes privateKeyData_;        // 32 bytes
    Bytes publicKeyData_;         // 65 bytes: 04, X, Y
    Bytes specialPublicKeyData_;  // 64 bytes: X, Y
    std::optional<Bytes> sessionKey_;
};

}  // namespace telvo
